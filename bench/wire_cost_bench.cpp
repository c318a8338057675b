// What the wire costs on top of the signing, each figure against a reference of the same run:
//   1. daemon instructions per SignDocument over the wire vs signing the same document in process,
//      8 KB and 2 MB, with and without the compression filter (callgrind; <= 1.05x and <= 1.15x)
//   2. the daemon's peak resident memory raised by one 2 MB call vs the document's size (<= 5x)
//   3. two connections signing 8 KB documents, the client pipelining a prepared call, vs signing in
//      process on two threads (>= 0.8x), and against the bare RSA-2048 two-thread limit
//   4. 1000 connected idle clients: the daemon's resident memory they add (<= 64 MB)
// Figures 2 to 4 are of the built assinador-nfsed as a child process; figure 1 runs the server in
// a process of this program under callgrind, counting the connection's protocol handling only.
// Usage: wire_cost_bench [path/to/assinador-nfsed [figures, as "1234"]]
//        wire_cost_bench fio BYTES COMPRESSAO CHAMADAS SELF SAMPLE   (server, under callgrind)
//        wire_cost_bench local BYTES CHAMADAS SAMPLE                 (in process, under callgrind)
//        wire_cost_bench cliente MODO PORTA BYTES COMPRESSAO CHAMADAS SAMPLE

#include <netinet/tcp.h>
#include <sys/resource.h>
#include <valgrind/callgrind.h>

#include <atomic>
#include <functional>
#include <latch>
#include <thread>

#include "app/container/server_container.h"
#include "bench/bench_daemon.h"
#include "platform/openssl_handles.h"
#include "server/service/sm_sign_service.h"
#include "tests/support/free_port.h"
#include "tests/support/loopback_socket_channel.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/filter/transport_filter.h"
#include "transport/protocol_names.h"

namespace {

using namespace bench_daemon;

constexpr std::size_t kSmall = 8 << 10;
constexpr std::size_t kLarge = 2 << 20;
constexpr int kSmallCalls = 20;
constexpr int kLargeCalls = 2;
constexpr double kParallelSeconds = 3.0;
constexpr int kIdleClients = 1000;
constexpr int kClientsPerAddress = 50;  // under the daemon's 64 per address

void CheckSigned(const Text& AResult) {
  Check(AResult.find(u"<SignatureValue>") != Text::npos,
        "assinatura: " + text::ToUtf8(AResult.substr(0, 200)));
}

// The operation callgrind counts in the in-process reference.
[[gnu::noinline]] void MeasuredOperation(const std::function<void()>& AWork) { AWork(); }

// ---- the client process ----------------------------------------------------------------------

// The socket under a client's filtered channel, keeping a copy of what goes out while asked to:
// the bytes of one execute, compressed and framed, are then sent again as they are.
class TRecordingChannel : public TDbxChannel {
 public:
  explicit TRecordingChannel(std::unique_ptr<TDbxChannel> AInner) : FInner(std::move(AInner)) {}
  void Open() override { FInner->Open(); }
  void Close() override { FInner->Close(); }
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override {
    return FInner->Read(Buffer, Offset, Count);
  }
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override {
    if (Recording)
      Recorded.append(reinterpret_cast<const char*>(Buffer.data()) + Offset,
                      static_cast<std::size_t>(Count));
    return FInner->Write(Buffer, Offset, Count);
  }
  TDBXChannelInfo* GetChannelInfo() override { return FInner->GetChannelInfo(); }

  bool Recording = false;
  std::string Recorded;

 private:
  std::unique_ptr<TDbxChannel> FInner;
};

// One connection of the pipelining client: connected and prepared with the ordinary filtered
// channel, then its execute request is sent as recorded bytes, several ahead of the replies.
// Each reply of an 8 KB document is one block.
class TPipelinedConnection {
 public:
  TPipelinedConnection(std::uint16_t APort, const Text& ADocument) : FFd(ConnectTcp(APort)) {
    const int on = 1;
    ::setsockopt(FFd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    FFilters.AddFilter(Text(protocol_names::kCompressionFilter));
    auto recording =
        std::make_unique<TRecordingChannel>(std::make_unique<test_support::TLoopbackSocketChannel>(
            test_support::TSocketFd(::dup(FFd.get()))));
    FRecording = recording.get();
    FChannel = std::make_unique<TDBXFilterSocketChannel>(&FFilters);
    FChannel->SetChannel(std::move(recording));
    Exchange(R"({"method":"connect","params":[{}]})");
    Exchange(R"({"method":"prepare","params":[-1,false,"DataSnap.ServerMethod",)"
             R"("TSMSignService.SignDocument"]})");
    std::string row;
    for (const Text& text : {ADocument, text::FromAscii(kSerial)}) {
      const std::string bytes = text::ToLatin1(text);
      row += '\x10';
      row += static_cast<char>(bytes.size() >> 8);
      row += static_cast<char>(bytes.size() & 0xFF);
      row += bytes;
    }
    FRecording->Recording = true;
    const std::string reply = Exchange(R"({"method":"execute","params":[{"handle":[0]},{"data":[)" +
                                       std::to_string(row.size()) + "," + row + "]}]}");
    FRecording->Recording = false;
    Check(reply.find("<SignatureValue>") != std::string::npos, "execute: " + reply.substr(0, 200));
    FRequest = FRecording->Recorded;
  }
  int Fd() const { return FFd.get(); }
  void SendRequest() { Check(SendAll(FFd.get(), FRequest), "enviar"); }
  // One reply block, checked to be a signed document.
  void ReceiveReply() {
    const int count = FChannel->Read(FBuffer, 0, static_cast<int>(FBuffer.size()));
    Check(count > 0 && std::string_view(reinterpret_cast<const char*>(FBuffer.data()),
                                        static_cast<std::size_t>(count))
                               .find("<SignatureValue>") != std::string_view::npos,
          "resposta assinada");
  }

 private:
  std::string Exchange(std::string_view ARequest) {
    FChannel->Write({reinterpret_cast<const std::uint8_t*>(ARequest.data()), ARequest.size()}, 0,
                    static_cast<int>(ARequest.size()));
    const int count = FChannel->Read(FBuffer, 0, static_cast<int>(FBuffer.size()));
    Check(count > 0, "resposta");
    return {reinterpret_cast<const char*>(FBuffer.data()), static_cast<std::size_t>(count)};
  }

  UniqueFd FFd;
  TTransportFilterCollection FFilters;
  TRecordingChannel* FRecording = nullptr;
  std::unique_ptr<TDBXFilterSocketChannel> FChannel;
  std::string FRequest;
  std::vector<std::uint8_t> FBuffer = std::vector<std::uint8_t>(1 << 20);
};

constexpr int kPipelineDepth = 3;

// Two connections, each kept kPipelineDepth calls ahead, until kParallelSeconds have passed.
int RunPipelinedClient(std::uint16_t APort, const fs::path& ASample) {
  const Text document = text::FromUtf8(DocumentOfSize(ReadFile(ASample), kSmall, 1));
  std::vector<std::unique_ptr<TPipelinedConnection>> connections;
  for (int i = 0; i < 2; ++i)
    connections.push_back(std::make_unique<TPipelinedConnection>(APort, document));
  std::printf("ready\n");
  std::fflush(stdout);
  char line[16];
  Check(std::fgets(line, sizeof line, stdin) != nullptr, "ordem de partida");
  std::atomic<long> calls{0};
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration<double>(kParallelSeconds);
  {
    std::vector<std::jthread> threads;
    for (auto& connection : connections)
      threads.emplace_back([&, c = connection.get()] {
        for (int i = 0; i < kPipelineDepth; ++i) c->SendRequest();
        while (Clock::now() < until) {
          c->ReceiveReply();
          calls.fetch_add(1);
          c->SendRequest();
        }
        for (int i = 0; i < kPipelineDepth; ++i) c->ReceiveReply();
      });
  }
  std::printf("%ld %.6f\n", calls.load(), Seconds(start));
  std::fflush(stdout);
  return 0;
}
//
// Connects, makes one call to warm up, writes "ready", waits for a line on its input, makes its
// calls, writes "<calls> <seconds>".

int RunClient(const std::string& AMode, std::uint16_t APort, std::size_t ABytes, bool ACompress,
              int ACalls, const fs::path& ASample) {
  if (AMode == "pipe") return RunPipelinedClient(APort, ASample);
  const Text document = text::FromUtf8(DocumentOfSize(ReadFile(ASample), ABytes, 1));
  const Text serial = text::FromAscii(kSerial);
  TDBXClientOptions options;
  options.Compression = ACompress;
  const auto open = [&] {
    auto client = std::make_unique<TDBXClient>("127.0.0.1", APort, options);
    client->Open();
    client->Connect();
    return client;
  };
  const int connections = AMode == "par" ? 2 : 1;
  std::vector<std::unique_ptr<TDBXClient>> clients;
  for (int i = 0; i < connections; ++i) clients.push_back(open());
  for (auto& client : clients)
    CheckSigned(client->CallTextMethod(u"TSMSignService.SignDocument", {document, serial}));
  std::printf("ready\n");
  std::fflush(stdout);
  char line[16];
  Check(std::fgets(line, sizeof line, stdin) != nullptr, "ordem de partida");
  std::atomic<long> calls{0};
  const auto start = Clock::now();
  if (AMode == "par") {
    const auto until = start + std::chrono::duration<double>(kParallelSeconds);
    std::vector<std::jthread> threads;
    for (auto& client : clients)
      threads.emplace_back([&, c = client.get()] {
        while (Clock::now() < until) {
          CheckSigned(c->CallTextMethod(u"TSMSignService.SignDocument", {document, serial}));
          calls.fetch_add(1);
        }
      });
    threads.clear();
  } else {
    for (; calls < ACalls; ++calls)
      CheckSigned(clients[0]->CallTextMethod(u"TSMSignService.SignDocument", {document, serial}));
  }
  std::printf("%ld %.6f\n", calls.load(), Seconds(start));
  std::fflush(stdout);
  return 0;
}

// This program as a client, talking to us over its standard input and output.
class TClientProcess {
 public:
  explicit TClientProcess(const std::vector<std::string>& AArguments) : FChild(AArguments) {
    Check(FChild.ReadLine() == "ready", "cliente pronto");
  }

  // Lets it run; returns calls per second.
  double Run(const std::function<void()>& ABefore = {}) {
    if (ABefore) ABefore();
    FChild.WriteLine("go");
    long calls = 0;
    double seconds = 0;
    const std::string line = FChild.ReadLine();
    Check(std::sscanf(line.c_str(), "%ld %lf", &calls, &seconds) == 2, "resultado: " + line);
    return static_cast<double>(calls) / seconds;
  }

 private:
  TPipedChild FChild;
};

// ---- under callgrind ---------------------------------------------------------------------------

// The server in this process; callgrind counts only inside the connection's protocol handling
// (--toggle-collect), and only the measured calls (the warm-up call's cost is zeroed).
int RunWireProfile(std::size_t ABytes, bool ACompress, int ACalls, const std::string& ASelf,
                   const fs::path& ASample) {
  const TScratchDirectory store("wire-cost-fio");
  MakeStore(store.Path());
  ::setenv("ASSINADOR_NFSE_STORE", store.Path().c_str(), 1);
  TSC container([](TLogLevel, const Text&) {});
  if (!ACompress)
    while (container.dsTCP.Filters().Count() > 0) container.dsTCP.Filters().RemoveFilter(0);
  container.dsTCP.SetPort(0);
  container.dsSvr.Start();
  {
    TClientProcess client({ASelf, "cliente", "um", std::to_string(container.dsTCP.BoundPort()),
                           std::to_string(ABytes), ACompress ? "1" : "0", std::to_string(ACalls),
                           ASample.string()});
    client.Run([] { CALLGRIND_ZERO_STATS; });
    CALLGRIND_DUMP_STATS;
  }
  container.dsSvr.Stop();
  return 0;
}

int RunLocalProfile(std::size_t ABytes, int ACalls, const fs::path& ASample) {
  const TScratchDirectory store("wire-cost-local");
  MakeStore(store.Path());
  ::setenv("ASSINADOR_NFSE_STORE", store.Path().c_str(), 1);
  TSMSignService service([](TLogLevel, const Text&) {});
  const Text document = text::FromUtf8(DocumentOfSize(ReadFile(ASample), ABytes, 1));
  const Text serial = text::FromAscii(kSerial);
  CheckSigned(service.SignDocument(document, serial));
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < ACalls; ++i) {
    Text result;
    MeasuredOperation([&] { result = service.SignDocument(document, serial); });
    CheckSigned(result);  // outside the count: the daemon does not search its reply
  }
  CALLGRIND_DUMP_STATS;
  return 0;
}

// The instructions callgrind counted in a run of this program (the last dump's total).
double CountInstructions(const std::vector<std::string>& AArguments, const char* AToggle,
                         const fs::path& AScratch) {
  const fs::path out = AScratch / "callgrind.out";
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(AScratch))
    if (entry.path().filename().string().starts_with("callgrind.out"))
      fs::remove(entry.path(), ignored);
  std::vector<std::string> arguments = {"valgrind", "--tool=callgrind",
                                        "--callgrind-out-file=" + out.string() + ".%p",
                                        std::string("--toggle-collect=") + AToggle};
  arguments.insert(arguments.end(), AArguments.begin(), AArguments.end());
  TChild valgrind(arguments, {}, AScratch / "valgrind.txt");
  const auto status = valgrind.Wait(std::chrono::minutes(10));
  Check(status && *status == 0, "valgrind: " + ReadFile(AScratch / "valgrind.txt"));
  // Dumps are numbered .1, .2 ...: the last one is of the measured calls.
  fs::path last;
  for (const auto& entry : fs::directory_iterator(AScratch)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("callgrind.out") && (last.empty() || name > last.filename().string()))
      last = entry.path();
  }
  const std::string content = ReadFile(last);
  const std::size_t at = content.find("\ntotals: ");
  Check(at != std::string::npos, "totals em " + last.string());
  return std::strtod(content.c_str() + at + std::strlen("\ntotals: "), nullptr);
}

// ---- the figures -------------------------------------------------------------------------------

struct TPaths {
  fs::path Daemon;
  fs::path Sample;
  fs::path Self;
  std::string Figures = "1234";
};

void InstructionFigures(const TPaths& APaths, TReport& AReport, const fs::path& AScratch) {
  std::printf("1. daemon instructions per SignDocument (callgrind)\n");
  for (const std::size_t bytes : {kSmall, kLarge}) {
    const int calls = bytes == kSmall ? kSmallCalls : kLargeCalls;
    const double local = CountInstructions({APaths.Self.string(), "local", std::to_string(bytes),
                                            std::to_string(calls), APaths.Sample.string()},
                                           "*MeasuredOperation*", AScratch) /
                         calls;
    for (const bool compress : {true, false}) {
      const double wire = CountInstructions({APaths.Self.string(), "fio", std::to_string(bytes),
                                             compress ? "1" : "0", std::to_string(calls),
                                             APaths.Self.string(), APaths.Sample.string()},
                                            "*HandleNonBlockingProtocol*", AScratch) /
                          calls;
      const double limit = bytes == kSmall ? 1.05 : 1.15;
      std::printf("    %s, %s: %.1f M over the wire, %.1f M in process\n",
                  bytes == kSmall ? "8 KB" : "2 MB", compress ? "zlib" : "no filter", wire / 1e6,
                  local / 1e6);
      AReport.Figure(std::string("wire / in process, ") + (bytes == kSmall ? "8 KB" : "2 MB") +
                         (compress ? ", zlib" : ", no filter"),
                     wire / local, "x", bytes == kSmall ? "<= 1.05" : "<= 1.15",
                     wire <= limit * local);
    }
  }
}

// A running daemon on a free port with a throw-away store.
struct TDaemon {
  TDaemon(const TPaths& APaths, const fs::path& AScratch)
      : Store(AScratch / "store"), Ini(AScratch / "assinador-nfsed.ini"), Errors(AScratch / "err") {
    fs::create_directories(Store);
    Certificate = MakeStore(Store);
    std::ofstream(Ini) << "[CONFIGURACAO]\nPORTA=" << FreePort() << "\n";
    Process.emplace(
        std::vector<std::string>{APaths.Daemon.string(), "--config", Ini.string(), "--log",
                                 (AScratch / "assinador-nfsed.log").string()},
        std::vector<std::string>{"ASSINADOR_NFSE_STORE=" + Store.string(), "LC_ALL=C.UTF-8"},
        Errors);
    const auto listening = Process->ReadLine();
    const std::string prefix = "assinador-nfsed: servidor iniciado, atendendo na porta TCP ";
    Check(listening && listening->starts_with(prefix),
          "o servidor não iniciou: " + listening.value_or("") + ReadFile(Errors));
    Port = static_cast<std::uint16_t>(std::stoi(listening->substr(prefix.size())));
  }
  fs::path Store, Ini, Errors, Certificate;
  std::optional<TChild> Process;
  std::uint16_t Port = 0;
};

void MemoryFigure(const TPaths& APaths, TReport& AReport, const fs::path& AScratch) {
  std::printf("\n2. peak resident memory of the daemon raised by one 2 MB call\n");
  TDaemon daemon(APaths, AScratch / "memoria");
  const std::string sample = ReadFile(APaths.Sample);
  const std::string large = DocumentOfSize(sample, kLarge, 1);
  const auto client = OpenClient(daemon.Port);
  CheckSigned(client->CallTextMethod(
      u"TSMSignService.SignDocument",
      {text::FromUtf8(DocumentOfSize(sample, kSmall, 1)), text::FromAscii(kSerial)}));
  const long before = StatusField(daemon.Process->Pid(), "VmHWM");
  const Text result = client->CallTextMethod(u"TSMSignService.SignDocument",
                                             {text::FromUtf8(large), text::FromAscii(kSerial)});
  const long after = StatusField(daemon.Process->Pid(), "VmHWM");
  const std::string problem = TVerifier(daemon.Certificate).Verify(result);
  Check(problem.empty(), "a assinatura de 2 MB não confere: " + problem);
  std::printf("    VmHWM %ld kB -> %ld kB, document %zu bytes (UTF-8)\n", before, after,
              large.size());
  const double ratio =
      static_cast<double>(after - before) * 1024 / static_cast<double>(large.size());
  AReport.Figure("peak resident memory raised / document", ratio, "x", "<= 5", ratio <= 5);
}

// User and system time of a process, from /proc.
double CpuSeconds(pid_t APid) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void ParallelFigure(const TPaths& APaths, TReport& AReport, const fs::path& AScratch) {
  std::printf("\n3. two connections signing 8 KB documents\n");
  TDaemon daemon(APaths, AScratch / "paralelo");
  double wire = 0;
  double daemonCpu = 0;
  {
    TClientProcess client({APaths.Self.string(), "cliente", "pipe", std::to_string(daemon.Port),
                           std::to_string(kSmall), "1", "0", APaths.Sample.string()});
    const double cpuBefore = CpuSeconds(daemon.Process->Pid());
    wire = client.Run();
    daemonCpu = CpuSeconds(daemon.Process->Pid()) - cpuBefore;
  }
  std::printf("    daemon CPU %.3f ms per call (%.2f cores busy)\n",
              daemonCpu / (wire * kParallelSeconds) * 1e3, daemonCpu / kParallelSeconds);
  ::setenv("ASSINADOR_NFSE_STORE", daemon.Store.c_str(), 1);
  TSMSignService service([](TLogLevel, const Text&) {});
  const Text document = text::FromUtf8(DocumentOfSize(ReadFile(APaths.Sample), kSmall, 1));
  const Text serial = text::FromAscii(kSerial);
  CheckSigned(service.SignDocument(document, serial));
  const double local =
      TwoThreadRate(kParallelSeconds, [&] { CheckSigned(service.SignDocument(document, serial)); });
  EvpPkeyPtr key;
  {
    const std::string pem = ReadFile(daemon.Certificate);
    BioPtr bio{BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))};
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    Check(key != nullptr, "chave privada");
  }
  const double bare =
      TwoThreadRate(kParallelSeconds, [&] { bench_daemon::BareRsaSignature(key.get()); });
  std::printf(
      "    over the wire %.1f calls/s, in process on two threads %.1f /s, bare RSA-2048 on two "
      "threads %.1f /s\n",
      wire, local, bare);
  AReport.Figure("two connections / in process on two threads", wire / local, "x", ">= 0.8",
                 wire >= 0.8 * local);
  AReport.Figure("two connections / bare RSA-2048 on two threads", wire / bare, "x", "", {});
}

void IdleFigure(const TPaths& APaths, TReport& AReport, const fs::path& AScratch) {
  std::printf("\n4. %d connected idle clients\n", kIdleClients);
  TDaemon daemon(APaths, AScratch / "ociosos");
  {
    const auto client = OpenClient(daemon.Port);
    CheckSigned(
        client->CallTextMethod(u"TSMSignService.SignDocument",
                               {text::FromUtf8(DocumentOfSize(ReadFile(APaths.Sample), kSmall, 1)),
                                text::FromAscii(kSerial)}));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = StatusField(daemon.Process->Pid(), "VmRSS");
  std::vector<UniqueFd> idle;
  long refused = 0;
  for (int i = 0; i < kIdleClients; ++i) {
    const std::string from = "127.0.0." + std::to_string(2 + i / kClientsPerAddress);
    try {
      idle.push_back(ConnectTcp(daemon.Port, from.c_str()));
      if (!Negotiate(idle.back().get())) ++refused;
    } catch (const std::exception& e) {
      if (refused++ == 0) std::printf("    first failure: %s\n", e.what());
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const TProcessFigures loaded = FiguresOf(daemon.Process->Pid());
  std::printf("    daemon: VmRSS %ld kB before, %ld kB with them, %ld threads\n", before,
              loaded.RssKb, loaded.Threads);
  const double megabytes = static_cast<double>(loaded.RssKb - before) / 1024;
  AReport.Figure("clients not served", static_cast<double>(refused), "", "0", refused == 0);
  AReport.Figure("resident memory the idle clients add", megabytes, "MB", "<= 64", megabytes <= 64);
}

int RunBench(const TPaths& APaths) {
  TReport report;
  const TScratchDirectory scratch("wire-cost-bench");
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  const auto wanted = [&](char AFigure) {
    return APaths.Figures.find(AFigure) != std::string::npos;
  };
  if (wanted('1')) InstructionFigures(APaths, report, scratch.Path());
  if (wanted('2')) MemoryFigure(APaths, report, scratch.Path());
  if (wanted('3')) ParallelFigure(APaths, report, scratch.Path());
  if (wanted('4')) IdleFigure(APaths, report, scratch.Path());
  double load[3] = {0, 0, 0};
  ::getloadavg(load, 3);
  std::printf("\nload average %.2f, %u hardware threads\n", load[0],
              std::thread::hardware_concurrency());
  return report.AllPassed() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 7 && args[0] == "cliente")
      return RunClient(args[1], static_cast<std::uint16_t>(std::stoi(args[2])), std::stoul(args[3]),
                       args[4] == "1", std::stoi(args[5]), args[6]);
    const TXmlLibraryScope libraries;
    if (args.size() == 6 && args[0] == "fio")
      return RunWireProfile(std::stoul(args[1]), args[2] == "1", std::stoi(args[3]), args[4],
                            args[5]);
    if (args.size() == 4 && args[0] == "local")
      return RunLocalProfile(std::stoul(args[1]), std::stoi(args[2]), args[3]);
    TPaths paths;
    paths.Self = fs::read_symlink("/proc/self/exe");
    paths.Daemon =
        !args.empty() ? fs::absolute(args[0]) : paths.Self.parent_path() / "assinador-nfsed";
    paths.Sample = FindSample();
    if (args.size() > 1) paths.Figures = args[1];
    return RunBench(paths);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wire_cost_bench: %s\n", text::ToUtf8(MessageOf(e)).c_str());
    return 2;
  }
}
