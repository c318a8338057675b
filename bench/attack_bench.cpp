// The built assinador-nfsed under attack, as a child process on a loopback port with a
// throw-away store and every limit on (the memory budget set by MEMORIA_CLIENTES in its INI
// file, the deadlines and connection slots at their defaults):
//   a. 40 connections each send one ~64 KB zlib block that inflates to 63 MiB (a request with a
//      63 MiB text): the daemon's peak VmRSS above idle, its CPU seconds, and how the attackers
//      were answered (the budget's refusal, or the end of their connection)
//   b. 1100 connections from 127.0.0.2 that trickle (one byte, then one more now and then)
//      while 3 good clients from 127.0.0.1 connect and sign: how many good clients were served
//      and how long each took; how many attackers were admitted and refused
//   c. 8 connections x 200 SignDocument calls: every signature verified
// Every figure is printed with its target and PASS or MISS; the exit status is 1 when one misses.
//
// Usage: attack_bench [path/to/assinador-nfsed [path/to/nfse_sample.xml [budget-MiB]]]
//        (budget 512 MiB by default)

#include <sys/resource.h>
#include <zlib.h>

#include <atomic>
#include <thread>

#include "bench/bench_daemon.h"
#include "tests/support/free_port.h"
#include "transport/filter/transport_filter.h"

using namespace bench_daemon;

namespace {

constexpr int kBombConnections = 40;
constexpr std::size_t kBombInflated = 63u << 20;
constexpr long kBombTargetMb = 600;
constexpr int kTricklers = 1100;
constexpr int kGoodClients = 3;
constexpr double kGoodTargetSeconds = 5.0;
constexpr int kSigners = 8;
constexpr int kCallsPerSigner = 200;
constexpr std::size_t kDocumentBytes = 8 << 10;

struct TPaths {
  fs::path Daemon;
  fs::path Sample;
  long BudgetMiB = 512;
};

bool Figure(const char* AName, bool APass, const std::string& AValue, const char* ATarget) {
  std::printf("  %-58s %-22s target %-16s %s\n", AName, AValue.c_str(), ATarget,
              APass ? "PASS" : "MISS");
  return APass;
}

// A block of kind 0x0D: header [kind][length:4 big-endian] and ABody.
std::string Block(std::string_view ABody) {
  const auto length = static_cast<std::uint32_t>(ABody.size());
  std::string block{'\x0D', static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                    static_cast<char>(length >> 8), static_cast<char>(length)};
  block.append(ABody);
  return block;
}

// The request with a text of kBombInflated bytes, deflated once: marker 1 and a zlib stream.
std::string BombBlock() {
  const std::string prefix = R"({"method":"prepare","params":[-1,false,"DataSnap.ServerMethod",")";
  const std::string suffix = R"("]})";
  std::string request = prefix + std::string(kBombInflated - prefix.size() - suffix.size(), ' ');
  request += suffix;
  uLongf size = compressBound(static_cast<uLong>(request.size()));
  std::string body(1 + size, '\0');
  body[0] = '\x01';
  Check(compress2(reinterpret_cast<Bytef*>(body.data() + 1), &size,
                  reinterpret_cast<const Bytef*>(request.data()),
                  static_cast<uLong>(request.size()), 9) == Z_OK,
        "compress2");
  body.resize(1 + size);
  return Block(body);
}

// The client's filter list, as a client sends it after the server's.
std::string ClientListBlock() {
  TTransportFilterCollection filters;
  filters.AddFilter(u"ZLibCompression");
  return Block(filters.ToJSON(false));
}

long CpuTicks(pid_t APid) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(content.substr(content.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

bool BombAttack(pid_t ADaemon, std::uint16_t APort) {
  std::printf("a. %d connections x one %zu MiB zlib bomb\n", kBombConnections, kBombInflated >> 20);
  const std::string bomb = BombBlock();
  const std::string list = ClientListBlock();
  std::printf("  bomb block: %zu bytes\n", bomb.size());
  const long idleKb = StatusField(ADaemon, "VmRSS");
  const long cpuBefore = CpuTicks(ADaemon);
  std::atomic<bool> sampling{true};
  std::atomic<long> peakKb{idleKb};
  std::thread sampler([&] {
    while (sampling) {
      peakKb = std::max(peakKb.load(), StatusField(ADaemon, "VmRSS"));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::atomic<int> refused{0}, ended{0}, other{0};
  const auto start = Clock::now();
  {
    std::vector<std::thread> attackers;
    for (int i = 0; i < kBombConnections; ++i) {
      attackers.emplace_back([&] {
        try {
          UniqueFd fd = ConnectTcp(APort);
          Check(Negotiate(fd.get()) && SendAll(fd.get(), list), "negociação");
          SendAll(fd.get(), bomb);
          // The answer: a block with the refusal, or the end of the connection.
          unsigned char header[5];
          const ssize_t got = ::recv(fd.get(), header, sizeof header, MSG_WAITALL);
          if (got == 0 || got < 0) {
            ++ended;
          } else {
            ++refused;
          }
        } catch (const std::exception&) {
          ++other;
        }
      });
    }
    for (auto& attacker : attackers) attacker.join();
  }
  const double seconds = Seconds(start);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sampling = false;
  sampler.join();
  const double cpu = static_cast<double>(CpuTicks(ADaemon) - cpuBefore) /
                     static_cast<double>(::sysconf(_SC_CLK_TCK));
  const long aboveMb = (peakKb - idleKb) / 1024;
  std::printf(
      "  idle VmRSS %ld kB, peak %ld kB; %.1f s; answered with a block %d, ended %d, "
      "failed %d\n",
      idleKb, peakKb.load(), seconds, refused.load(), ended.load(), other.load());
  bool pass = Figure("peak VmRSS above idle", aboveMb <= kBombTargetMb,
                     std::to_string(aboveMb) + " MB", "<= 600 MB");
  char cpuText[32];
  std::snprintf(cpuText, sizeof cpuText, "%.1f s", cpu);
  Figure("daemon CPU during the attack (was 36 s)", true, cpuText, "(figure)");
  const long afterKb = StatusField(ADaemon, "VmRSS");
  std::printf("  VmRSS after the attack: %ld kB\n\n", afterKb);
  return pass;
}

bool TrickleAttack(std::uint16_t APort, const TVerifier& AVerifier, const std::string& ASample) {
  std::printf("b. %d trickling connections from 127.0.0.2, %d good clients from 127.0.0.1\n",
              kTricklers, kGoodClients);
  std::vector<UniqueFd> tricklers;
  int refusedAtOnce = 0;
  for (int i = 0; i < kTricklers; ++i) {
    UniqueFd fd = ConnectTcp(APort, "127.0.0.2");
    // One byte of a negotiation that never completes.
    SendAll(fd.get(), std::string_view("\x05", 1));
    tricklers.push_back(std::move(fd));
  }
  // The whole burst waits in the listen queue; the daemon takes it in turn.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (auto& fd : tricklers)
    if (SawEnd(fd.get(), 0)) ++refusedAtOnce;
  std::printf("  attackers: %d closed at once, %d held\n", refusedAtOnce,
              kTricklers - refusedAtOnce);
  int served = 0;
  double slowest = 0;
  std::vector<std::thread> good;
  std::mutex lock;
  for (int i = 0; i < kGoodClients; ++i) {
    good.emplace_back([&, i] {
      const auto start = Clock::now();
      try {
        const auto client = OpenClient(APort);
        const Text document = text::FromUtf8(DocumentOfSize(ASample, kDocumentBytes, 100 + i));
        const Text signedDocument = client->CallTextMethod(u"TSMSignService.SignDocument",
                                                           {document, text::FromAscii(kSerial)});
        const std::string problem = AVerifier.Verify(signedDocument);
        std::lock_guard guard(lock);
        if (problem.empty()) ++served;
        slowest = std::max(slowest, Seconds(start));
      } catch (const std::exception& e) {
        std::lock_guard guard(lock);
        std::printf("  good client %d: %s\n", i, text::ToUtf8(MessageOf(e)).c_str());
      }
    });
  }
  for (auto& thread : good) thread.join();
  char slowestText[32];
  std::snprintf(slowestText, sizeof slowestText, "%.2f s", slowest);
  bool pass = Figure("good clients served (was 0 of 3)", served == kGoodClients,
                     std::to_string(served) + " of " + std::to_string(kGoodClients), "all");
  pass &= Figure("slowest good client", slowest <= kGoodTargetSeconds, slowestText, "<= 5 s");
  std::printf("\n");
  return pass;
}

bool Signings(std::uint16_t APort, const TVerifier& AVerifier, const std::string& ASample) {
  std::printf("c. %d connections x %d SignDocument calls\n", kSigners, kCallsPerSigner);
  std::vector<Text> documents, references;
  {
    const auto client = OpenClient(APort);
    for (int i = 0; i < kSigners; ++i) {
      documents.push_back(text::FromUtf8(DocumentOfSize(ASample, kDocumentBytes, i + 1)));
      references.push_back(client->CallTextMethod(u"TSMSignService.SignDocument",
                                                  {documents.back(), text::FromAscii(kSerial)}));
      const std::string problem = AVerifier.Verify(references.back());
      Check(problem.empty(), "assinatura de referência: " + problem);
    }
  }
  TResults results;
  std::atomic<long> equal{0};
  const auto start = Clock::now();
  std::vector<std::thread> signers;
  for (int i = 0; i < kSigners; ++i) {
    signers.emplace_back([&, i] {
      try {
        const auto client = OpenClient(APort);
        for (int call = 0; call < kCallsPerSigner; ++call)
          if (SignAndCompare(*client, documents[i], references[i], results)) ++equal;
      } catch (const std::exception& e) {
        results.Error(text::ToUtf8(MessageOf(e)));
      }
    });
  }
  for (auto& thread : signers) thread.join();
  const double seconds = Seconds(start);
  long verified = equal;
  for (const Text& different : results.Different)
    if (AVerifier.Verify(different).empty()) ++verified;
  std::printf("  %.1f s, %.0f calls/s, errors %ld%s%s\n", seconds,
              kSigners * kCallsPerSigner / seconds, results.Errors,
              results.Errors ? ", first: " : "", results.FirstError.c_str());
  return Figure("signatures verified", verified == kSigners * kCallsPerSigner,
                std::to_string(verified) + " of " + std::to_string(kSigners * kCallsPerSigner),
                "all");
}

int RunBench(const TPaths& APaths) {
  const TScratchDirectory scratch("attack-bench");
  fs::create_directory(scratch.Path() / "store");
  const TVerifier verifier(MakeStore(scratch.Path() / "store"));
  const fs::path ini = scratch.Path() / "assinador-nfsed.ini";
  std::ofstream(ini) << "[CONFIGURACAO]\nPORTA=" << FreePort()
                     << "\nMEMORIA_CLIENTES=" << APaths.BudgetMiB << "\n";
  const fs::path errors = scratch.Path() / "stderr.txt";
  const std::string sample = ReadFile(APaths.Sample);

  // This process holds more than a thousand sockets; the daemon raises its own limit.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  TChild daemon({APaths.Daemon.string(), "--config", ini.string(), "--log",
                 (scratch.Path() / "assinador-nfsed.log").string()},
                {"ASSINADOR_NFSE_STORE=" + (scratch.Path() / "store").string(), "LC_ALL=C.UTF-8"},
                errors);
  const auto listening = daemon.ReadLine();
  const std::string prefix = "assinador-nfsed: servidor iniciado, atendendo na porta TCP ";
  Check(listening && listening->starts_with(prefix),
        "o servidor não iniciou: " + listening.value_or("") + ReadFile(errors));
  const auto port = static_cast<std::uint16_t>(std::stoi(listening->substr(prefix.size())));
  std::printf("daemon %s, pid %d, 127.0.0.1:%u, open files limit %s, MEMORIA_CLIENTES=%ld\n\n",
              APaths.Daemon.c_str(), daemon.Pid(), port, OpenFilesLimit(daemon.Pid()).c_str(),
              APaths.BudgetMiB);
  // Warm-up: the signing path's libraries are loaded before idle is measured.
  {
    const auto client = OpenClient(port);
    client->CallTextMethod(
        u"TSMSignService.SignDocument",
        {text::FromUtf8(DocumentOfSize(sample, kDocumentBytes, 0)), text::FromAscii(kSerial)});
  }
  bool pass = BombAttack(daemon.Pid(), port);
  pass &= TrickleAttack(port, verifier, sample);
  pass &= Signings(port, verifier, sample);
  const std::string stderrText = ReadFile(errors);
  std::size_t lines = 0, longest = 0, start = 0;
  for (std::size_t end; (end = stderrText.find('\n', start)) != std::string::npos;
       start = end + 1) {
    ++lines;
    longest = std::max(longest, end - start);
  }
  std::printf("\ndaemon's standard error: %zu lines, longest %zu bytes\n", lines, longest);
  return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  try {
    const TXmlLibraryScope libraries;
    TPaths paths;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    paths.Daemon = argc > 1 ? fs::absolute(argv[1]) : self.parent_path() / "assinador-nfsed";
    paths.Sample = FindSample(argc > 2 ? argv[2] : nullptr);
    if (argc > 3) paths.BudgetMiB = std::atol(argv[3]);
    return RunBench(paths);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "attack_bench: %s\n", text::ToUtf8(MessageOf(e)).c_str());
    return 2;
  }
}
