// Throughput of the compression filter on 32 KiB NFS-e-like blocks (one message writer buffer),
// against zlib's own deflate (level 1) and inflate called directly on the same blocks with
// buffers prepared in advance. Prints MB/s of uncompressed bytes and the filter's share of
// zlib's rate (target: at least 0.9). Best of several interleaved rounds, to ride out noise.
//
//   ./build/release/compression_bench [seconds-per-measure, default 0.3]

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "transport/filter/compression_filter.h"
#include "transport/filter/filter_format.h"

namespace {

constexpr std::size_t kBlockSize = 32768;
constexpr int kBlocks = 64;
constexpr int kRounds = 5;

// A reply carrying signed NFS-e XML, as the JSON stream writes it: escaped quotes, numbers,
// names and free text that vary from document to document.
std::vector<TBytes> MakeBlocks() {
  static const char* const kWords[] = {"servico",   "consultoria", "manutencao", "sistema",
                                       "licenca",   "suporte",     "tecnico",    "mensal",
                                       "referente", "contrato",    "ao",         "de",
                                       "para",      "periodo",     "software"};
  std::mt19937 random(20240611);
  auto number = [&](int digits) {
    std::string s;
    for (int i = 0; i < digits; ++i) s.push_back(static_cast<char>('0' + random() % 10));
    return s;
  };
  std::vector<TBytes> blocks;
  std::string stream = R"({"result":[")";
  for (int doc = 0; blocks.size() < kBlocks; ++doc) {
    std::string text;
    for (int w = 0; w < 12; ++w) text += std::string(kWords[random() % 15]) + " ";
    stream +=
        R"(<Rps><InfDeclaracaoPrestacaoServico Id=\"rps)" + number(9) +
        R"(\"><Rps><IdentificacaoRps><Numero>)" + number(6) +
        "</Numero><Serie>A1</Serie><Tipo>1</Tipo></IdentificacaoRps><DataEmissao>2024-0" +
        number(1) + "-1" + number(1) +
        "</DataEmissao><Status>1</Status></Rps><Competencia>2024-06-01"
        "</Competencia><Servico><Valores><ValorServicos>" +
        number(4) + "." + number(2) + "</ValorServicos><ValorIss>" + number(3) + "." + number(2) +
        "</ValorIss><Aliquota>2.00</Aliquota></Valores><IssRetido>2</IssRetido>"
        "<ItemListaServico>01.07</ItemListaServico><Discriminacao>" +
        text + "</Discriminacao><CodigoMunicipio>35" + number(5) +
        "</CodigoMunicipio></Servico><Prestador><CpfCnpj><Cnpj>" + number(14) +
        "</Cnpj></CpfCnpj><InscricaoMunicipal>" + number(8) +
        "</InscricaoMunicipal></Prestador><Tomador><RazaoSocial>EMPRESA " + number(4) +
        " LTDA</RazaoSocial></Tomador></InfDeclaracaoPrestacaoServico><Signature><SignatureValue>" +
        number(88) + "</SignatureValue></Signature></Rps>";
    while (stream.size() >= kBlockSize && blocks.size() < kBlocks) {
      blocks.emplace_back(stream.begin(), stream.begin() + kBlockSize);
      stream.erase(0, kBlockSize);
    }
  }
  return blocks;
}

// Best rate in MB/s of uncompressed bytes over ASeconds of repeated passes over the blocks.
double Rate(const std::function<std::size_t(const TBytes&, std::size_t)>& APass,
            const std::vector<TBytes>& ABlocks, double ASeconds) {
  using Clock = std::chrono::steady_clock;
  std::size_t bytes = 0, sink = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    for (std::size_t i = 0; i < ABlocks.size(); ++i) sink += APass(ABlocks[i], i);
    bytes += ABlocks.size() * kBlockSize;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < ASeconds);
  if (sink == 1) std::puts("");  // keeps the work observable
  return static_cast<double>(bytes) / elapsed / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.3;
  const std::vector<TBytes> blocks = MakeBlocks();

  TTransportCompressionFilter filter;
  std::vector<TBytes> encoded;
  std::size_t encodedBytes = 0;
  for (const TBytes& block : blocks) {
    encoded.push_back(filter.ProcessInput(block));
    encodedBytes += encoded.back().size();
  }
  std::vector<TBytes> streams;  // the same zlib streams without the marker, for zlib's inflate
  for (const TBytes& body : encoded) streams.emplace_back(body.begin() + 1, body.end());

  TBytes out(compressBound(kBlockSize) + 64);
  auto filterEncode = [&](const TBytes& block, std::size_t) {
    return filter.ProcessInput(block).size();
  };
  auto zlibDeflate = [&](const TBytes& block, std::size_t) -> std::size_t {
    z_stream stream{};
    deflateInit2(&stream, filter_format::kZLibLevel, Z_DEFLATED, filter_format::kZLibWindowBits,
                 filter_format::kZLibMemLevel, Z_DEFAULT_STRATEGY);
    stream.next_in = const_cast<Bytef*>(block.data());
    stream.avail_in = static_cast<uInt>(block.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
    deflateEnd(&stream);
    return stream.total_out;
  };
  auto filterDecode = [&](const TBytes&, std::size_t i) {
    return filter.ProcessOutput(encoded[i]).size();
  };
  auto zlibInflate = [&](const TBytes&, std::size_t i) -> std::size_t {
    z_stream stream{};
    inflateInit2(&stream, filter_format::kZLibWindowBits);
    stream.next_in = const_cast<Bytef*>(streams[i].data());
    stream.avail_in = static_cast<uInt>(streams[i].size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
    inflateEnd(&stream);
    return stream.total_out;
  };

  double best[4] = {0, 0, 0, 0};
  for (int round = 0; round < kRounds; ++round) {
    best[0] = std::max(best[0], Rate(filterEncode, blocks, seconds));
    best[1] = std::max(best[1], Rate(zlibDeflate, blocks, seconds));
    best[2] = std::max(best[2], Rate(filterDecode, blocks, seconds));
    best[3] = std::max(best[3], Rate(zlibInflate, blocks, seconds));
  }

  std::printf("compression filter on %d blocks of %zu bytes (compressed to %.1f%%)\n", kBlocks,
              kBlockSize, 100.0 * static_cast<double>(encodedBytes) / (kBlocks * kBlockSize));
  std::printf("  encode: filter %8.1f MB/s   zlib deflate level 1 %8.1f MB/s   ratio %.3f\n",
              best[0], best[1], best[0] / best[1]);
  std::printf("  decode: filter %8.1f MB/s   zlib inflate         %8.1f MB/s   ratio %.3f\n",
              best[2], best[3], best[2] / best[3]);
  return 0;
}
