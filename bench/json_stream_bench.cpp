// Throughput of the message writer and reader on one 2 MB string parameter, against a plain
// memcpy of the same bytes. Prints MB/s (1 MB = 2^20 bytes of wire text).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_channels.h"
#include "transport/stream/json_stream_reader.h"
#include "transport/stream/json_stream_writer.h"

namespace {

constexpr std::size_t kValueLength = 2 * 1024 * 1024;
constexpr int kRounds = 40;

// NFS-e-like text: XML markup with Portuguese accents (single bytes on the wire) and a few
// characters that need escapes (quotes, line breaks).
Text MakeValue() {
  const Text piece =
      u"<InfDeclaracaoPrestacaoServico Id=\"rps1\"><Servico><Discriminacao>Servi\u00E7o de "
      u"manuten\u00E7\u00E3o el\u00E9trica</Discriminacao><ValorServicos>1500.00</ValorServicos>"
      u"</Servico></InfDeclaracaoPrestacaoServico>\n";
  Text value;
  value.reserve(kValueLength);
  while (value.size() < kValueLength) value += piece;
  value.resize(kValueLength);
  return value;
}

double MBps(std::size_t bytes, double seconds) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

// Times kRounds runs of one round each; the machine may be shared, so the best and the median
// round are reported rather than the mean.
struct TFigures {
  double Best;
  double Median;
};

template <class TRound>
TFigures Measure(std::size_t bytesPerRound, TRound round) {
  std::vector<double> seconds;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    round(i);
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return {MBps(bytesPerRound, seconds.front()), MBps(bytesPerRound, seconds[seconds.size() / 2])};
}

}  // namespace

int main() {
  const Text value = MakeValue();

  // The wire form of the parameter, to size the work and feed the reader.
  TCaptureChannel capture;
  {
    TDBXJSonStreamWriter writer(capture);
    writer.WriteString(value);
    writer.Flush();
  }
  const std::size_t wireBytes = capture.Captured.size();

  TSinkChannel sink;
  TDBXJSonStreamWriter writer(sink);
  const TFigures write = Measure(wireBytes, [&](int) {
    writer.WriteString(value);
    writer.Flush();
  });

  TRepeatChannel source(capture.Captured);
  TDBXJSonStreamReader reader(source);
  const TFigures read = Measure(wireBytes, [&](int) { reader.ReadString(); });
  if (reader.StringValue() != value) {
    std::fprintf(stderr, "read back a different text\n");
    return 1;
  }

  std::vector<char> from(capture.Captured.begin(), capture.Captured.end());
  std::vector<char> to(from.size());
  const TFigures copy = Measure(wireBytes, [&](int i) {
    from[static_cast<std::size_t>(i) % from.size()] ^= 1;  // keeps each copy from being elided
    std::memcpy(to.data(), from.data(), from.size());
  });
  volatile char keep = to[static_cast<std::size_t>(kRounds) % to.size()];
  (void)keep;

  std::printf(
      "JSON message stream, 2 MB string parameter (%zu code units, %zu wire bytes), "
      "%d rounds, MB/s best / median\n",
      value.size(), wireBytes, kRounds);
  std::printf("  writer WriteString+Flush: %8.1f / %8.1f  (%zu bytes to the channel)\n", write.Best,
              write.Median, sink.Bytes);
  std::printf("  reader ReadString:        %8.1f / %8.1f\n", read.Best, read.Median);
  std::printf("  memcpy of the same bytes: %8.1f / %8.1f\n", copy.Best, copy.Median);
  std::printf("  median writer / memcpy: %.3f   reader / memcpy: %.3f\n",
              write.Median / copy.Median, read.Median / copy.Median);
  return 0;
}
