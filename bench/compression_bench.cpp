// Throughput of the compression filter's codec (body_codec::FastCodecName(): ISA-L's igzip where
// the build found it) against zlib at level 1, on NFS-e reply blocks of 8 KiB, 32 KiB (one message
// writer buffer) and 2 MiB, each figure sampled alternately with its zlib reference in the same
// run. Encode: the filter against zlib's deflate. Decode: the filter against zlib's inflate, on
// streams zlib made at level 1 (what deployed clients send) and on the filter's own. Prints MB/s
// of uncompressed bytes (medians), the compressed size and the filter/zlib ratio.
//
//   ./build/release/compression_bench [seconds-per-figure, default 0.5]
//
// Instructions, for ratios that must hold on a shared machine: each operation alone, counted by
// callgrind inside CountedOperation only (OPERATION: filter-encode, zlib-encode, filter-decode,
// zlib-decode; SIZE in bytes):
//
//   valgrind --tool=callgrind --toggle-collect='*CountedOperation*'
//     --callgrind-out-file=/dev/null ./build/release/compression_bench once OPERATION SIZE

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "transport/filter/body_codec.h"
#include "transport/filter/compression_filter.h"
#include "transport/filter/filter_format.h"

namespace {

// A reply carrying signed NFS-e XML, as the JSON stream writes it: escaped quotes, numbers,
// names and free text that vary from document to document.
TBytes MakeBlock(std::size_t ASize) {
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
  std::string stream = R"({"result":[")";
  while (stream.size() < ASize) {
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
  }
  stream.resize(ASize);
  return TBytes(stream.begin(), stream.end());
}

TBytes WithMarker(const TBytes& AStream) {
  TBytes body{filter_format::kCompressedMarker};
  body.insert(body.end(), AStream.begin(), AStream.end());
  return body;
}

// One block and what each side needs to work on it, prepared in advance.
struct TWork {
  explicit TWork(std::size_t ASize)
      : Block(MakeBlock(ASize)), Out(compressBound(static_cast<uLong>(ASize)) + 64) {
    Ours = Filter.ProcessInput(Block);
    TBytes zlibStream;
    body_codec::ZLibDeflate(Block, zlibStream);
    ZLibBody = WithMarker(zlibStream);
  }
  std::size_t FilterEncode() { return Filter.ProcessInput(Block).size(); }
  std::size_t ZLibEncode() {
    z_stream stream{};
    deflateInit2(&stream, filter_format::kZLibLevel, Z_DEFLATED, filter_format::kZLibWindowBits,
                 filter_format::kZLibMemLevel, Z_DEFAULT_STRATEGY);
    stream.next_in = Block.data();
    stream.avail_in = static_cast<uInt>(Block.size());
    stream.next_out = Out.data();
    stream.avail_out = static_cast<uInt>(Out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
    deflateEnd(&stream);
    return stream.total_out;
  }
  std::size_t FilterDecode(const TBytes& ABody) { return Filter.ProcessOutput(ABody).size(); }
  std::size_t ZLibDecode(const TBytes& ABody) {
    z_stream stream{};
    inflateInit2(&stream, filter_format::kZLibWindowBits);
    stream.next_in = const_cast<Bytef*>(ABody.data() + 1);
    stream.avail_in = static_cast<uInt>(ABody.size() - 1);
    stream.next_out = Out.data();
    stream.avail_out = static_cast<uInt>(Out.size());
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
    inflateEnd(&stream);
    return stream.total_out;
  }

  TTransportCompressionFilter Filter;
  TBytes Block, Out, Ours, ZLibBody;
};

// What callgrind counts in `once` mode.
[[gnu::noinline]] std::size_t CountedOperation(const std::function<std::size_t()>& AWork) {
  return AWork();
}

int RunOnce(const std::string& AOperation, std::size_t ASize) {
  TWork work(ASize);
  const std::map<std::string, std::function<std::size_t()>> operations = {
      {"filter-encode", [&] { return work.FilterEncode(); }},
      {"zlib-encode", [&] { return work.ZLibEncode(); }},
      {"filter-decode", [&] { return work.FilterDecode(work.ZLibBody); }},
      {"zlib-decode", [&] { return work.ZLibDecode(work.ZLibBody); }},
  };
  const auto operation = operations.find(AOperation);
  if (operation == operations.end()) {
    std::fprintf(stderr, "unknown operation %s\n", AOperation.c_str());
    return 2;
  }
  std::printf("%s of %zu bytes: %zu bytes\n", AOperation.c_str(), ASize,
              CountedOperation(operation->second));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "once") == 0)
    return RunOnce(argv[2], static_cast<std::size_t>(std::atoll(argv[3])));
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  std::printf("compression filter codec: %s, against zlib level 1 (medians, sampled alternately)\n",
              std::string(body_codec::FastCodecName()).c_str());
  for (const std::size_t size :
       {std::size_t{8} << 10, std::size_t{32} << 10, std::size_t{2} << 20}) {
    TWork work(size);
    std::size_t sink = 0;
    const auto rate = [&](double ASeconds) { return static_cast<double>(size) / ASeconds / 1e6; };
    const auto figure = [&](const char* AName, const std::function<void()>& AFilter,
                            const std::function<void()>& AZLib) {
      const auto [filter, zlib] = PairedMedianSeconds(AFilter, AZLib, seconds);
      std::printf("  %-34s filter %8.1f MB/s   zlib %8.1f MB/s   ratio %.2f\n", AName, rate(filter),
                  rate(zlib), zlib / filter);
    };
    std::printf("%zu-byte block: compressed to %zu bytes (zlib level 1: %zu)\n", size,
                work.Ours.size() - 1, work.ZLibBody.size() - 1);
    figure(
        "encode", [&] { sink += work.FilterEncode(); }, [&] { sink += work.ZLibEncode(); });
    figure(
        "decode zlib's stream", [&] { sink += work.FilterDecode(work.ZLibBody); },
        [&] { sink += work.ZLibDecode(work.ZLibBody); });
    figure(
        "decode the filter's stream", [&] { sink += work.FilterDecode(work.Ours); },
        [&] { sink += work.ZLibDecode(work.Ours); });
    if (sink == 1) std::puts("");  // keeps the work observable
  }
  return 0;
}
