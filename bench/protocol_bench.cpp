// Figures of the remote-method protocol over loopback, compression on, with the server in this
// process and its clients in a second one (this program again, run with "client ..."):
//   a. round trip of DSAdmin.GetPlatformName     vs a 1-byte echo over a bare TCP socket
//   b. server CPU per SignDocument of an 8 KB NFS-e vs signing it in process   (target <= 1.25x)
//   c. two connections signing in parallel (calls/s) vs two threads in process (target >= 0.8x),
//      and the bare two-thread RSA-2048 signature limit
//   d. SignDocument of a ~2 MB batch (more_blob both ways) vs signing it in process
// Usage: protocol_bench [path/to/nfse_sample.xml]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/container/server_container.h"
#include "bench/bench_daemon.h"
#include "bench/bench_store.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "platform/sys/unique_fd.h"
#include "platform/text.h"
#include "platform/xmldsig/library_scope.h"
#include "server/service/sm_sign_service.h"
#include "transport/client/dbx_client.h"

namespace {

using bench_daemon::DocumentOfSize;
using bench_daemon::FindSample;
using bench_daemon::TwoThreadRate;

using Clock = std::chrono::steady_clock;

constexpr const char* kSerial = "0A1B2C";
constexpr int kEchoRounds = 3000;
constexpr int kPlatformCalls = 3000;
constexpr int kSmallSignCalls = 150;
constexpr int kSmallTrials = 3;
constexpr double kParallelSeconds = 3.0;
constexpr int kLargeSignCalls = 3;

void Check(bool AOk, const std::string& AWhat) {
  if (!AOk) throw std::runtime_error("falhou: " + AWhat);
}

double Seconds(Clock::time_point AStart) {
  return std::chrono::duration<double>(Clock::now() - AStart).count();
}

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  Check(in.good(), "ler " + APath.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void CheckSigned(const Text& AResult) {
  if (AResult.find(u"<SignatureValue>") == Text::npos)
    throw std::runtime_error("assinatura falhou: " + text::ToUtf8(AResult.substr(0, 200)));
}

UniqueFd ConnectTcp(std::uint16_t APort) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Check(fd.get() >= 0, "socket");
  const int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(APort);
  Check(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "connect");
  return fd;
}

// ---- the client process ------------------------------------------------------------------
//
// Prepares and warms up, writes "ready", waits for a line on its input, runs, then writes
// "<calls> <seconds> <cpu seconds>". The server process reads its own CPU time around the run.

std::unique_ptr<TDBXClient> OpenClient(std::uint16_t APort) {
  auto client = std::make_unique<TDBXClient>("127.0.0.1", APort);
  client->Open();
  client->Connect();
  return client;
}

int RunClient(const std::string& AMode, std::uint16_t APort, const std::string& ASamplePath) {
  const std::string sample = ReadFile(ASamplePath);
  const Text serial = text::FromUtf8(kSerial);
  long calls = 0;
  double seconds = 0;
  double cpuStart = 0;  // set by WaitForGo
  const auto WaitForGo = [&] {
    std::printf("ready\n");
    std::fflush(stdout);
    char line[16];
    Check(std::fgets(line, sizeof line, stdin) != nullptr, "ordem de partida");
    cpuStart = ProcessCpuSeconds();
  };
  if (AMode == "echo") {
    UniqueFd socket = ConnectTcp(APort);
    char byte = 'x';
    const auto roundTrip = [&] {
      Check(::send(socket.get(), &byte, 1, MSG_NOSIGNAL) == 1 &&
                ::recv(socket.get(), &byte, 1, MSG_WAITALL) == 1,
            "eco");
    };
    for (int i = 0; i < 200; ++i) roundTrip();
    WaitForGo();
    const auto start = Clock::now();
    for (; calls < kEchoRounds; ++calls) roundTrip();
    seconds = Seconds(start);
  } else if (AMode == "platform") {
    const auto client = OpenClient(APort);
    const auto call = [&] {
      Check(client->CallTextMethod(u"DSAdmin.GetPlatformName", std::span<const Text>{}) == u"win32",
            "GetPlatformName");
    };
    for (int i = 0; i < 200; ++i) call();
    WaitForGo();
    const auto start = Clock::now();
    for (; calls < kPlatformCalls; ++calls) call();
    seconds = Seconds(start);
  } else if (AMode == "sign8k" || AMode == "sign2m") {
    const bool large = AMode == "sign2m";
    const Text document = text::FromUtf8(DocumentOfSize(sample, large ? 2 << 20 : 8 << 10, 1));
    const auto client = OpenClient(APort);
    const auto call = [&] {
      CheckSigned(client->CallTextMethod(u"TSMSignService.SignDocument", {document, serial}));
    };
    call();
    WaitForGo();
    const auto start = Clock::now();
    for (; calls < (large ? kLargeSignCalls : kSmallSignCalls); ++calls) call();
    seconds = Seconds(start);
  } else if (AMode == "sign8k-2") {
    const Text document = text::FromUtf8(DocumentOfSize(sample, 8 << 10, 1));
    std::unique_ptr<TDBXClient> clients[2] = {OpenClient(APort), OpenClient(APort)};
    for (auto& client : clients)
      CheckSigned(client->CallTextMethod(u"TSMSignService.SignDocument", {document, serial}));
    WaitForGo();
    std::atomic<long> done{0};
    const auto until = Clock::now() + std::chrono::duration<double>(kParallelSeconds);
    const auto start = Clock::now();
    {
      std::vector<std::jthread> threads;
      for (auto& client : clients)
        threads.emplace_back([&, c = client.get()] {
          while (Clock::now() < until) {
            CheckSigned(c->CallTextMethod(u"TSMSignService.SignDocument", {document, serial}));
            done.fetch_add(1, std::memory_order_relaxed);
          }
        });
    }
    seconds = Seconds(start);
    calls = done.load();
  } else {
    throw std::runtime_error("modo desconhecido: " + AMode);
  }
  std::printf("%ld %.9f %.9f\n", calls, seconds, ProcessCpuSeconds() - cpuStart);
  std::fflush(stdout);
  return 0;
}

// ---- the server process ------------------------------------------------------------------

// This program run again as a client, talking to us over its standard input and output.
class TClientProcess {
 public:
  TClientProcess(const std::string& AMode, std::uint16_t APort, const std::string& ASamplePath)
      : FChild({"/proc/self/exe", "client", AMode, std::to_string(APort), ASamplePath}) {
    Check(FChild.ReadLine() == "ready", "cliente pronto (" + AMode + ")");
  }

  struct TResult {
    long calls = 0;
    double seconds = 0;    // client's wall time
    double clientCpu = 0;  // client process's CPU time
    double serverCpu = 0;  // this process's CPU time meanwhile
  };

  // Lets the client run; this thread sleeps in the read meanwhile, so the CPU time is the
  // server's.
  TResult Run() {
    const double cpuStart = ProcessCpuSeconds();
    FChild.WriteLine("go");
    const std::string line = FChild.ReadLine();
    TResult result;
    result.serverCpu = ProcessCpuSeconds() - cpuStart;
    Check(std::sscanf(line.c_str(), "%ld %lf %lf", &result.calls, &result.seconds,
                      &result.clientCpu) == 3,
          "resultado do cliente: " + line);
    return result;
  }

 private:
  bench_daemon::TPipedChild FChild;
};

// A self-issued RSA-2048 certificate with its key, in a store of its own; returns the key.
EvpPkeyPtr MakeStore(const std::filesystem::path& ADirectory) {
  EvpPkeyPtr key =
      WriteSelfIssuedEntry(ADirectory / "empresa.pem", std::strtol(kSerial, nullptr, 16));
  ::setenv("ASSINADOR_NFSE_STORE", ADirectory.c_str(), 1);
  return key;
}

// One echo connection at a time, answered by a thread of this process.
class TEchoServer {
 public:
  TEchoServer() : FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    Check(::bind(FListener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(FListener.get(), 1) == 0 &&
              ::getsockname(FListener.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "eco: bind/listen");
    FPort = ntohs(address.sin_port);
    FThread = std::jthread([this] {
      UniqueFd peer(::accept4(FListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      const int on = 1;
      ::setsockopt(peer.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      char buffer[4096];
      for (;;) {
        const ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, 0);
        if (n <= 0 || ::send(peer.get(), buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
          break;
      }
    });
  }
  std::uint16_t Port() const { return FPort; }

 private:
  UniqueFd FListener;
  std::uint16_t FPort = 0;
  std::jthread FThread;  // last: joined first, while the listener is still open
};

// ATarget null: a figure to read, with no target.
void PrintRatio(const char* AName, double ARatio, const char* ATarget = nullptr, bool AMet = true) {
  if (ATarget)
    std::printf("  %-58s %6.2f x   target %s: %s\n", AName, ARatio, ATarget,
                AMet ? "met" : "MISSED");
  else
    std::printf("  %-58s %6.2f x\n", AName, ARatio);
}

int RunServer(const std::string& ASamplePath) {
  const TScratchDirectory store("protocol-bench");
  const EvpPkeyPtr key = MakeStore(store.Path());
  const std::string sample = ReadFile(ASamplePath);
  const std::string small = DocumentOfSize(sample, 8 << 10, 1);
  const std::string large = DocumentOfSize(sample, 2 << 20, 1);
  const Text smallText = text::FromUtf8(small);
  const Text largeText = text::FromUtf8(large);
  const Text serial = text::FromUtf8(kSerial);
  std::printf("documents: %zu and %zu bytes (UTF-8), RSA-2048 key, compression on\n", small.size(),
              large.size());

  TSC container([](TLogLevel, const Text& AMessage) {
    std::fprintf(stderr, "journal: %s\n", text::ToUtf8(AMessage).c_str());
  });
  container.dsTCP.SetPort(0);
  container.dsSvr.Start();
  const std::uint16_t port = container.dsTCP.BoundPort();
  std::printf("server on 127.0.0.1:%u, clients in a second process\n\n", port);

  TSMSignService service([](TLogLevel, const Text& AMessage) {
    std::fprintf(stderr, "journal: %s\n", text::ToUtf8(AMessage).c_str());
  });
  const auto signInProcess = [&](const Text& ADocument) {
    CheckSigned(service.SignDocument(ADocument, serial));
  };

  // a. Round trips.
  TEchoServer echo;
  const auto echoRun = TClientProcess("echo", echo.Port(), ASamplePath).Run();
  const auto platformRun = TClientProcess("platform", port, ASamplePath).Run();
  const double echoMicros = echoRun.seconds / static_cast<double>(echoRun.calls) * 1e6;
  const double platformMicros = platformRun.seconds / static_cast<double>(platformRun.calls) * 1e6;
  std::printf(
      "a. round trip: DSAdmin.GetPlatformName %.1f us vs 1-byte echo on a bare socket %.1f us "
      "(%d calls each): %.2f x\n",
      platformMicros, echoMicros, kPlatformCalls, platformMicros / echoMicros);

  // b. Server CPU per 8 KB signature against the same signing in process. The trials alternate
  // and the best of each is kept, so that other processes' load favours neither.
  signInProcess(smallText);
  double serverCpu = 1e9, clientCpu = 1e9, inProcessCpu = 1e9, serverWall = 1e9,
         inProcessWall = 1e9;
  for (int trial = 0; trial < kSmallTrials; ++trial) {
    const auto run = TClientProcess("sign8k", port, ASamplePath).Run();
    serverCpu = std::min(serverCpu, run.serverCpu / static_cast<double>(run.calls));
    serverWall = std::min(serverWall, run.seconds / static_cast<double>(run.calls));
    clientCpu = std::min(clientCpu, run.clientCpu / static_cast<double>(run.calls));
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < kSmallSignCalls; ++i) signInProcess(smallText);
    inProcessWall = std::min(inProcessWall, Seconds(start) / kSmallSignCalls);
    inProcessCpu = std::min(inProcessCpu, (ProcessCpuSeconds() - cpuStart) / kSmallSignCalls);
  }
  std::printf(
      "b. SignDocument 8 KB: server CPU %.3f ms/call (client: %.3f ms wall, %.3f ms CPU) vs "
      "in-process %.3f ms CPU (%.3f ms wall), best of %d x %d calls\n",
      serverCpu * 1e3, serverWall * 1e3, clientCpu * 1e3, inProcessCpu * 1e3, inProcessWall * 1e3,
      kSmallTrials, kSmallSignCalls);

  // c. Two at once.
  const auto parallelRun = TClientProcess("sign8k-2", port, ASamplePath).Run();
  const double protocolRate = static_cast<double>(parallelRun.calls) / parallelRun.seconds;
  const double inProcessRate = TwoThreadRate(kParallelSeconds, [&] { signInProcess(smallText); });
  const double bareRate =
      TwoThreadRate(kParallelSeconds, [&] { bench_daemon::BareRsaSignature(key.get()); });
  std::printf(
      "c. two connections: %.1f calls/s (per call: server CPU %.3f ms, client CPU %.3f ms) vs "
      "in-process signing on two threads %.1f docs/s; bare RSA-2048 signatures on two threads "
      "%.1f /s (%.0f s each)\n",
      protocolRate, parallelRun.serverCpu / static_cast<double>(parallelRun.calls) * 1e3,
      parallelRun.clientCpu / static_cast<double>(parallelRun.calls) * 1e3, inProcessRate, bareRate,
      kParallelSeconds);

  // d. The 2 MB batch: its text goes out and comes back through more_blob.
  const auto largeRun = TClientProcess("sign2m", port, ASamplePath).Run();
  const double largeProtocol = largeRun.seconds / static_cast<double>(largeRun.calls);
  signInProcess(largeText);
  const auto start = Clock::now();
  for (int i = 0; i < kLargeSignCalls; ++i) signInProcess(largeText);
  const double largeInProcess = Seconds(start) / kLargeSignCalls;
  std::printf(
      "d. SignDocument 2 MB batch: %.1f ms/call through the protocol (server CPU %.1f ms) vs "
      "in-process %.1f ms (%d calls each)\n",
      largeProtocol * 1e3, largeRun.serverCpu / static_cast<double>(largeRun.calls) * 1e3,
      largeInProcess * 1e3, kLargeSignCalls);

  std::printf("\nratios:\n");
  PrintRatio("a. GetPlatformName round trip / bare echo", platformMicros / echoMicros);
  PrintRatio("b. server CPU per 8 KB call / in-process signing CPU", serverCpu / inProcessCpu,
             "<= 1.25", serverCpu <= 1.25 * inProcessCpu);
  PrintRatio("c. two connections / in-process two threads (calls/s)", protocolRate / inProcessRate,
             ">= 0.8", protocolRate >= 0.8 * inProcessRate);
  PrintRatio("c. in-process two threads / bare RSA-2048 two threads", inProcessRate / bareRate);
  PrintRatio("d. 2 MB through the protocol / in-process signing", largeProtocol / largeInProcess);
  double load[3] = {0, 0, 0};
  ::getloadavg(load, 3);
  std::printf("\nhardware threads: %u, load average %.2f (other processes compete for them)\n",
              std::thread::hardware_concurrency(), load[0]);
  container.dsSvr.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 5 && std::strcmp(argv[1], "client") == 0)
      return RunClient(argv[2], static_cast<std::uint16_t>(std::atoi(argv[3])), argv[4]);
    const TXmlLibraryScope libraries;
    return RunServer(FindSample(argc > 1 ? argv[1] : nullptr).string());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "protocol_bench: %s\n", text::ToUtf8(MessageOf(e)).c_str());
    return 1;
  }
}
