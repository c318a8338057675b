// The built assinador-nfsed under load and faults, as a child process on a loopback port with
// a throw-away store, its clients in this process (and in copies of it run as "client ...", to
// be killed mid-call):
//   a. 16 connections x 500 SignDocument calls of an ~8 KB NFS-e: errors, signatures that do
//      not verify, calls per second, p50/p99 latency
//   c. clients killed mid-negotiation, mid-request and mid-continuation of a huge parameter
//      while others sign: the others' errors, and the daemon's descriptors, threads and VmRSS
//      against their values after warm-up
//   b. 1000 connected idle clients, then SIGTERM: the time until the daemon has exited, and
//      that every client saw its connection end (run last: it ends the daemon)
// Every figure is printed with its target and PASS or MISS; the exit status is 1 when one misses.
//
// Verification: each connection signs its own document (its own lot number) and the first
// signature of each is verified in this process with xmlsec against the certificate. RSA PKCS#1
// v1.5 signatures are deterministic, so every later result of that document must equal it byte
// for byte; a result that differs is verified on its own.
//
// Usage: daemon_load_bench [path/to/assinador-nfsed [path/to/nfse_sample.xml]]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xmlsec/crypto.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_daemon.h"
#include "bench/bench_store.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "platform/sys/unique_fd.h"
#include "platform/text.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/xml_handles.h"
#include "tests/support/free_port.h"
#include "transport/client/dbx_client.h"

extern char** environ;

namespace {

using namespace bench_daemon;

constexpr int kConnections = 16;
constexpr int kCallsPerConnection = 500;
constexpr std::size_t kDocumentBytes = 8 << 10;
constexpr int kIdleClients = 1000;
constexpr double kStopTargetSeconds = 2.0;
constexpr int kSigners = 4;  // connections that keep signing while others are killed
constexpr int kWarmUpRounds = 5;
constexpr int kPoolBurst = 16;  // more at once than the pool keeps idle (10)
constexpr int kFaultRounds = 15;
constexpr std::size_t kHugeBytes = 8 << 20;
constexpr double kRssTolerance = 0.10;

// ---- the client copies of this program -----------------------------------------------------
//
// "client loop PORT SAMPLE": signs 8 KB documents without end.
// "client huge PORT SAMPLE": sends one SignDocument with a kHugeBytes document (its text goes
// through continuation blocks).
// Each writes "ready" once connected and negotiated, then works until it is killed.

int RunClient(const std::string& AMode, std::uint16_t APort, const fs::path& ASample) {
  const std::string sample = ReadFile(ASample);
  const bool huge = AMode == "huge";
  Check(huge || AMode == "loop", "modo desconhecido: " + AMode);
  const Text document =
      text::FromUtf8(DocumentOfSize(sample, huge ? kHugeBytes : kDocumentBytes, 99));
  const auto client = OpenClient(APort);
  std::printf("ready\n");
  std::fflush(stdout);
  const auto start = Clock::now();
  do {
    client->CallTextMethod(u"TSMSignService.SignDocument", {document, text::FromAscii(kSerial)});
  } while (!huge);
  std::printf("%.6f\n", Seconds(start));
  std::fflush(stdout);
  return 0;
}

// ---- the figures ---------------------------------------------------------------------------

std::string Format(const char* AFormat, double AValue) {
  char text[64];
  std::snprintf(text, sizeof text, AFormat, AValue);
  return text;
}

double Percentile(std::vector<double>& AValues, double AFraction) {
  if (AValues.empty()) return 0;
  const auto at = static_cast<std::size_t>(AFraction * static_cast<double>(AValues.size() - 1));
  std::nth_element(AValues.begin(), AValues.begin() + static_cast<std::ptrdiff_t>(at),
                   AValues.end());
  return AValues[at];
}

// Verifies what differed from the references; returns how many failed.
long VerifyDifferent(const TVerifier& AVerifier, TResults& AResults, std::string& AFirstFailure) {
  long failed = 0;
  for (const Text& result : AResults.Different) {
    const std::string problem = AVerifier.Verify(result);
    if (!problem.empty() && failed++ == 0)
      AFirstFailure = problem + ": " + text::ToUtf8(result.substr(0, 200));
  }
  return failed;
}

struct TBench {
  fs::path Daemon;
  fs::path Sample;
  fs::path Self;
};

int RunBench(const TBench& APaths) {
  TReport report;
  const TScratchDirectory scratch("daemon-load-bench");
  fs::create_directory(scratch.Path() / "store");
  const fs::path certificate = MakeStore(scratch.Path() / "store");
  const TVerifier verifier(certificate);
  const fs::path ini = scratch.Path() / "assinador-nfsed.ini";
  std::ofstream(ini) << "[CONFIGURACAO]\nPORTA=" << FreePort() << "\n";
  const fs::path errors = scratch.Path() / "stderr.txt";
  const std::string sample = ReadFile(APaths.Sample);

  // The daemon gets the soft descriptor limit of a desktop session; this process, with its
  // thousand clients, takes the hard one.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t hard = limit.rlim_max;
  limit.rlim_cur = std::min<rlim_t>(1024, hard);
  ::setrlimit(RLIMIT_NOFILE, &limit);
  TChild daemon({APaths.Daemon.string(), "--config", ini.string(), "--log",
                 (scratch.Path() / "assinador-nfsed.log").string()},
                {"ASSINADOR_NFSE_STORE=" + (scratch.Path() / "store").string(), "LC_ALL=C.UTF-8"},
                errors);
  limit.rlim_cur = hard;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  const auto listening = daemon.ReadLine();
  const std::string prefix = "assinador-nfsed: servidor iniciado, atendendo na porta TCP ";
  Check(listening && listening->starts_with(prefix),
        "o servidor não iniciou: " + listening.value_or("") + ReadFile(errors));
  const auto port = static_cast<std::uint16_t>(std::stoi(listening->substr(prefix.size())));
  std::printf("daemon %s, pid %d, 127.0.0.1:%u, open files limit %s\n", APaths.Daemon.c_str(),
              daemon.Pid(), port, OpenFilesLimit(daemon.Pid()).c_str());

  // One document per connection, each signed once and verified: the references.
  std::vector<Text> documents, references;
  {
    const auto client = OpenClient(port);
    for (int i = 0; i < kConnections; ++i) {
      documents.push_back(text::FromUtf8(DocumentOfSize(sample, kDocumentBytes, i + 1)));
      references.push_back(client->CallTextMethod(u"TSMSignService.SignDocument",
                                                  {documents.back(), text::FromAscii(kSerial)}));
      const std::string problem = verifier.Verify(references.back());
      Check(problem.empty(), "assinatura de referência: " + problem + " " +
                                 text::ToUtf8(references.back().substr(0, 300)));
    }
  }
  std::printf(
      "documents of %zu bytes (UTF-8), RSA-2048 key, compression on, %u hardware threads\n\n",
      text::ToUtf8(documents[0]).size(), std::thread::hardware_concurrency());

  // a. Throughput and latency.
  std::printf("a. %d connections x %d SignDocument calls\n", kConnections, kCallsPerConnection);
  {
    TResults results;
    std::vector<std::vector<double>> latencies(kConnections);
    std::latch ready(kConnections + 1);
    std::latch go(1);
    Clock::time_point start;
    {
      std::vector<std::jthread> threads;
      for (int i = 0; i < kConnections; ++i)
        threads.emplace_back([&, i] {
          std::unique_ptr<TDBXClient> client;
          try {
            client = OpenClient(port);
          } catch (const std::exception& e) {
            results.Error(text::ToUtf8(MessageOf(e)));
          }
          ready.count_down();
          go.wait();
          if (!client) return;
          latencies[i].reserve(kCallsPerConnection);
          for (int call = 0; call < kCallsPerConnection; ++call) {
            const auto begin = Clock::now();
            SignAndCompare(*client, documents[i], references[i], results);
            latencies[i].push_back(Seconds(begin));
          }
        });
      ready.arrive_and_wait();
      start = Clock::now();
      go.count_down();
    }
    const double seconds = Seconds(start);
    std::vector<double> all;
    for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::string firstFailure;
    const long unverified = VerifyDifferent(verifier, results, firstFailure);
    const long calls = static_cast<long>(kConnections) * kCallsPerConnection;
    report.Figure("errors", std::to_string(results.Errors), "0", results.Errors == 0);
    if (results.Errors) std::printf("    first: %s\n", results.FirstError.c_str());
    report.Figure("signatures that do not verify (of " + std::to_string(calls) + ")",
                  std::to_string(unverified), "0", unverified == 0);
    if (unverified) std::printf("    first: %s\n", firstFailure.c_str());
    std::printf("    (%zu results differed from their reference and were verified one by one)\n",
                results.Different.size());
    report.Figure("calls per second", Format("%.1f", static_cast<double>(all.size()) / seconds), "",
                  {});
    report.Figure("latency p50", Format("%.2f ms", Percentile(all, 0.50) * 1e3), "", {});
    report.Figure("latency p99", Format("%.2f ms", Percentile(all, 0.99) * 1e3), "", {});
  }

  // c. Clients killed mid-call while others sign.
  std::printf(
      "\nc. clients killed mid-negotiation, mid-request and mid-continuation while %d sign\n",
      kSigners);
  {
    TResults results;
    std::atomic<bool> stop{false};
    std::atomic<long> signedCalls{0};
    std::vector<std::jthread> signers;
    for (int i = 0; i < kSigners; ++i)
      signers.emplace_back([&, i] {
        std::unique_ptr<TDBXClient> client;
        try {
          client = OpenClient(port);
        } catch (const std::exception& e) {
          results.Error(text::ToUtf8(MessageOf(e)));
          return;
        }
        while (!stop.load())
          if (SignAndCompare(*client, documents[i], references[i], results)) ++signedCalls;
      });
    std::mt19937 random(12345);
    const std::vector<std::string> loop = {APaths.Self.string(), "client", "loop",
                                           std::to_string(port), APaths.Sample.string()};
    std::vector<std::string> huge = loop;
    huge[2] = "huge";
    const auto faultRound = [&] {
      TChild request(loop, {}, errors);
      TChild continuation(huge, {}, errors);
      Check(request.ReadLine() == "ready" && continuation.ReadLine() == "ready", "cliente pronto");
      std::vector<UniqueFd> negotiating;
      for (int i = 0; i < 3; ++i) {
        negotiating.push_back(ConnectTcp(port));
        SendAll(negotiating.back().get(), std::string(static_cast<std::size_t>(i + 1), '\x05'));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30 + 1));
      request.Kill();
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30 + 1));
      continuation.Kill();
      for (auto& socket : negotiating) Abort(socket);
    };
    // How long the huge call takes when left alone: the kills above land well inside it.
    {
      TChild whole(huge, {}, errors);
      Check(whole.ReadLine() == "ready", "cliente pronto");
      const auto seconds = whole.ReadLine();
      std::printf("    a %zu MB document takes %s s through the protocol when not killed\n",
                  kHugeBytes >> 20, seconds.value_or("?").c_str());
    }
    // The connection threads' pool keeps up to 10 idle threads, as many as the busiest moment
    // so far left behind: a burst fills it, so that the count after warm-up is its steady one.
    {
      std::vector<UniqueFd> burst;
      for (int i = 0; i < kPoolBurst; ++i) {
        burst.push_back(ConnectTcp(port));
        Check(Negotiate(burst.back().get()), "negociação");
      }
    }
    for (int i = 0; i < kWarmUpRounds; ++i) faultRound();
    const auto settled = [&](const TProcessFigures* ATarget) {
      TProcessFigures now = FiguresOf(daemon.Pid());
      for (const auto deadline = Clock::now() + std::chrono::seconds(5); Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const TProcessFigures next = FiguresOf(daemon.Pid());
        const bool same = next.Descriptors == now.Descriptors && next.Threads == now.Threads &&
                          std::abs(next.RssKb - now.RssKb) * 100 <= now.RssKb;
        now = next;
        if (same && (!ATarget ||
                     (now.Descriptors == ATarget->Descriptors && now.Threads == ATarget->Threads)))
          break;
      }
      return now;
    };
    // Settled: descriptors and threads steady, VmRSS within 1% over 100 ms.
    const TProcessFigures before = settled(nullptr);
    const long callsBefore = signedCalls.load();
    const auto faultStart = Clock::now();
    std::vector<long> rssByRound;  // a leak grows round after round; a high-water mark does not
    for (int i = 0; i < kFaultRounds; ++i) {
      faultRound();
      rssByRound.push_back(FiguresOf(daemon.Pid()).RssKb);
    }
    const double faultSeconds = Seconds(faultStart);
    const long callsDuring = signedCalls.load() - callsBefore;
    const TProcessFigures after = settled(&before);
    stop = true;
    signers.clear();
    std::string firstFailure;
    const long unverified = VerifyDifferent(verifier, results, firstFailure);
    std::printf(
        "    %d rounds in %.1f s, each: a client killed while signing in a loop, one "
        "killed while sending a %zu MB document, 3 resets mid-negotiation; "
        "%ld calls signed meanwhile\n",
        kFaultRounds, faultSeconds, kHugeBytes >> 20, callsDuring);
    std::printf("    daemon VmRSS after each round: first %ld kB, last %ld kB, highest %ld kB\n",
                rssByRound.front(), rssByRound.back(),
                *std::max_element(rssByRound.begin(), rssByRound.end()));
    report.Figure("errors of the signing connections", std::to_string(results.Errors), "0",
                  results.Errors == 0);
    if (results.Errors) std::printf("    first: %s\n", results.FirstError.c_str());
    report.Figure("their signatures that do not verify", std::to_string(unverified), "0",
                  unverified == 0);
    report.Figure("daemon descriptors: after warm-up -> after faults",
                  std::to_string(before.Descriptors) + " -> " + std::to_string(after.Descriptors),
                  "equal", before.Descriptors == after.Descriptors);
    report.Figure("daemon threads: after warm-up -> after faults",
                  std::to_string(before.Threads) + " -> " + std::to_string(after.Threads), "equal",
                  before.Threads == after.Threads);
    const double growth =
        static_cast<double>(after.RssKb - before.RssKb) / static_cast<double>(before.RssKb);
    report.Figure(
        "daemon VmRSS: after warm-up -> after faults",
        std::to_string(before.RssKb / 1024) + " -> " + std::to_string(after.RssKb / 1024) + " MB",
        "within 10%", growth <= kRssTolerance && growth >= -kRssTolerance);
  }

  // b. A thousand idle clients, then SIGTERM.
  std::printf("\nb. %d connected idle clients, then SIGTERM\n", kIdleClients);
  {
    std::vector<UniqueFd> idle;
    idle.reserve(kIdleClients);
    const auto connectStart = Clock::now();
    long refused = 0;
    for (int i = 0; i < kIdleClients; ++i) {
      try {
        idle.push_back(ConnectTcp(port));
        if (!Negotiate(idle.back().get())) ++refused;
      } catch (const std::exception& e) {
        if (refused++ == 0) std::printf("    first failure: %s\n", e.what());
      }
    }
    const double connectSeconds = Seconds(connectStart);
    const TProcessFigures loaded = FiguresOf(daemon.Pid());
    std::printf(
        "    connected and negotiated in %.2f s; daemon: %zu descriptors, %ld threads, "
        "VmRSS %ld MB\n",
        connectSeconds, loaded.Descriptors, loaded.Threads, loaded.RssKb / 1024);
    report.Figure("clients not served", std::to_string(refused), "0", refused == 0);
    const auto stopStart = Clock::now();
    ::kill(daemon.Pid(), SIGTERM);
    const auto status = daemon.Wait(std::chrono::seconds(20));
    const double stopSeconds = Seconds(stopStart);
    report.Figure("time from SIGTERM to exit", Format("%.3f s", stopSeconds), "< 2 s",
                  status && stopSeconds < kStopTargetSeconds);
    report.Figure("exit status", status ? std::to_string(*status) : "still running", "0",
                  status && *status == 0);
    long open = 0;
    for (const auto& socket : idle)
      if (!SawEnd(socket.get(), 1000)) ++open;
    report.Figure("clients that did not see their connection end", std::to_string(open), "0",
                  open == 0);
    const std::string rest = daemon.Rest();
    report.Figure("\"servidor parado.\" printed",
                  rest.find("servidor parado.") != std::string::npos ? "yes" : "no", "yes",
                  rest.find("servidor parado.") != std::string::npos);
  }
  const std::string stderrText = ReadFile(errors);
  if (!stderrText.empty())
    std::printf("\nstandard error of the processes:\n%s", stderrText.c_str());
  double load[3] = {0, 0, 0};
  ::getloadavg(load, 3);
  std::printf("\nload average %.2f (other processes compete for the cores)\n", load[0]);
  return report.AllPassed() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  try {
    if (argc == 5 && std::strcmp(argv[1], "client") == 0)
      return RunClient(argv[2], static_cast<std::uint16_t>(std::atoi(argv[3])), argv[4]);
    const TXmlLibraryScope libraries;
    TBench paths;
    paths.Self = fs::read_symlink("/proc/self/exe");
    paths.Daemon = argc > 1 ? fs::absolute(argv[1]) : paths.Self.parent_path() / "assinador-nfsed";
    paths.Sample = FindSample(argc > 2 ? argv[2] : nullptr);
    return RunBench(paths);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daemon_load_bench: %s\n", text::ToUtf8(MessageOf(e)).c_str());
    return 2;
  }
}
