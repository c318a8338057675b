// Name resolution of TSMSignService.SignDocument in the started server's method registry: the
// alias as registered, in another case (both found by the first lookup), spread over blanks and
// quotes (found by the identifier scanner), and a whole preparation on one connection. Prints
// nanoseconds per lookup, the median of several runs; also with other threads looking up at the
// same time, since every connection thread reads the same tables.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/container/sign_service_class.h"
#include "transport/server/method_provider.h"
#include "transport/server/server_connection.h"
#include "transport/server/server_method.h"

namespace {

constexpr int kRuns = 7;

template <class TAction>
double NanosecondsPer(int ACount, TAction&& AAction) {
  std::vector<double> runs;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < ACount; ++i) AAction();
    const std::chrono::duration<double, std::nano> elapsed =
        std::chrono::steady_clock::now() - start;
    runs.push_back(elapsed.count() / ACount);
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main() {
  TDSServerClass serverClass;
  serverClass.OnGetClass = DSServerClass1GetClass;
  TDSServer server;
  server.SetName(u"dsSvr");
  serverClass.SetServer(&server);
  server.Start();
  TDSServerMethodProvider& provider = *server.ServerMethodProvider();

  const Text exact = u"TSMSignService.SignDocument";
  const Text otherCase = u"tsmsignservice.SIGNDOCUMENT";
  const Text scanned = u"\"TSMSignService\" . \"SignDocument\"";
  std::atomic<std::size_t> sink{0};
  const auto resolve = [&](const Text& AText) {
    return [&provider, &sink, &AText] {
      sink += provider.ResolveMethod(AText).Method->MethodName.size();
    };
  };

  std::printf("name resolution of TSMSignService.SignDocument, ns per lookup (median of %d)\n",
              kRuns);
  const auto report = [&](const char* ALabel) {
    std::printf("  %-36s exact %7.1f   other case %7.1f   scanner %7.1f\n", ALabel,
                NanosecondsPer(1000000, resolve(exact)),
                NanosecondsPer(1000000, resolve(otherCase)),
                NanosecondsPer(300000, resolve(scanned)));
  };
  report("one thread");

  {
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
      readers.emplace_back([&] {
        while (!stop) sink += provider.HasServerMethod(exact) ? 1 : 0;
      });
    }
    report("while 2 threads look up too");
    stop = true;
    for (auto& reader : readers) reader.join();
  }

  TDSServerConnection connection(&server);
  std::printf("  %-36s %7.1f ns\n", "whole preparation (exact name)", NanosecondsPer(200000, [&] {
                sink += provider.PrepareMethod(connection, exact)->Parameters().size();
              }));
  return sink.load() == 0 ? 1 : 0;
}
