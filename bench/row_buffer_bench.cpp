// Throughput of the parameter row on one text parameter of 8 KB and of 2 MB, pure ISO 8859-1
// and mixed (wider characters from the middle on), against a plain memcpy of the same encoded
// bytes in the same run. Prints MB/s (1 MB = 2^20 encoded bytes) and the ratio to memcpy.
//
// encode: Clear + WriteString (in place, or into the continuation past the inline budget).
// decode: ReadValue of the loaded row; a 2 MB text continues through more_blob, so its decode
//         includes the server's requests and the client's data blocks through the message
//         stream on an in-memory channel (LoadData included).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_channels.h"
#include "tests/support/row_data_block.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"
#include "transport/stream/row_buffer.h"

namespace {

constexpr int kRounds = 31;

// NFS-e-like text: XML markup with Portuguese accents, all single bytes on the row. The mixed
// form turns the second half wide with one character above U+00FF.
Text MakeText(std::size_t ALength, bool AMixed) {
  const Text piece =
      u"<InfDeclaracaoPrestacaoServico Id=\"rps1\"><Servico><Discriminacao>Servi\u00E7o de "
      u"manuten\u00E7\u00E3o el\u00E9trica</Discriminacao><ValorServicos>1500.00</ValorServicos>"
      u"</Servico></InfDeclaracaoPrestacaoServico>\n";
  Text text;
  text.reserve(ALength);
  while (text.size() < ALength) text += piece;
  text.resize(ALength);
  if (AMixed) text[ALength / 2] = u'\u2014';  // em dash
  return text;
}

double MBps(std::size_t bytes, double seconds) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

// kRounds rounds of ARepeat runs each; the machine may be shared, so the median round is
// reported.
template <class TRun>
double MedianMBps(std::size_t bytesPerRun, int ARepeat, TRun run) {
  std::vector<double> seconds;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < ARepeat; ++r) run(r);
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return MBps(bytesPerRun * static_cast<std::size_t>(ARepeat), seconds[seconds.size() / 2]);
}

std::size_t EncodedLength(const Text& AText) {
  std::size_t firstWide = 0;
  return TDBXStringEncoder::EncodedLength(AText, firstWide);
}

// The client's side of a continued text: the row block and every more_blob answer, as the
// server would write them for its own reply.
std::string ClientBytes(const Text& AText) {
  TCaptureChannel capture;
  TDBXJSonStreamReader reader(capture);
  TDBXJSonStreamWriter writer(capture);
  TDBXRowBuffer row(reader, writer, writer.CalcRowBufferSize());
  row.Clear();
  row.WriteString(AText);
  row.WriteData();
  TDBXContinuations continuations = row.TakeContinuations();
  if (auto* stream = continuations.Find(row_format::kParameterRowHandle, 0))
    while (!writer.WriteDataObject(*stream)) {
    }
  writer.Flush();
  return capture.Captured;
}

struct TFigures {
  double Encode;
  double Decode;
  double Memcpy;
};

TFigures Measure(const Text& AText) {
  const std::size_t encoded = EncodedLength(AText);
  const int repeat = std::max<int>(1, static_cast<int>((8u << 20) / encoded));

  TSinkChannel sink;
  TDBXJSonStreamReader sinkReader(sink);
  TDBXJSonStreamWriter sinkWriter(sink);
  TDBXRowBuffer encoder(sinkReader, sinkWriter, sinkWriter.CalcRowBufferSize());
  TFigures figures{};
  figures.Encode = MedianMBps(encoded, repeat, [&](int) {
    encoder.Clear();
    encoder.WriteString(AText);
  });

  TRepeatChannel source(ClientBytes(AText));
  TDBXJSonStreamReader reader(source);
  TDBXJSonStreamWriter writer(source);
  TDBXRowBuffer decoder(reader, writer, writer.CalcRowBufferSize());
  const bool inRow = encoded <= 30717;
  if (inRow) test_support::ReadRowDataBlock(reader, decoder);
  const auto decode = [&] {
    if (!inRow) test_support::ReadRowDataBlock(reader, decoder);
    return decoder.ReadValue(0, dtWideString, 0);
  };
  if (std::get<Text>(decode()) != AText) {
    std::fprintf(stderr, "read back a different text\n");
    std::exit(1);
  }
  figures.Decode = MedianMBps(encoded, repeat, [&](int) { decode(); });

  std::vector<char> from(encoded, 'x');
  std::vector<char> to(encoded);
  figures.Memcpy = MedianMBps(encoded, repeat, [&](int r) {
    from[static_cast<std::size_t>(r) % from.size()] ^= 1;  // keeps each copy from being elided
    std::memcpy(to.data(), from.data(), from.size());
  });
  volatile char keep = to[to.size() / 2];
  (void)keep;
  return figures;
}

}  // namespace

int main() {
  std::printf(
      "Parameter row, one text parameter, median of %d rounds, MB/s of encoded bytes "
      "(ratio to memcpy of the same bytes)\n",
      kRounds);
  std::printf("  %-22s %10s %16s %16s %10s\n", "text", "bytes", "encode", "decode", "memcpy");
  struct Case {
    const char* name;
    std::size_t length;
    bool mixed;
  };
  const Case cases[] = {
      {"8 KB ISO-8859-1", 8 * 1024, false},
      {"2 MB ISO-8859-1", 2 * 1024 * 1024, false},
      {"8 KB mixed", 8 * 1024, true},
      {"2 MB mixed", 2 * 1024 * 1024, true},
  };
  for (const auto& c : cases) {
    const Text text = MakeText(c.length, c.mixed);
    const TFigures f = Measure(text);
    std::printf("  %-22s %10zu %9.0f (%.2f) %9.0f (%.2f) %10.0f\n", c.name, EncodedLength(text),
                f.Encode, f.Encode / f.Memcpy, f.Decode, f.Decode / f.Memcpy, f.Memcpy);
  }
  return 0;
}
