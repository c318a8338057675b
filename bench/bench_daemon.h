#pragma once

// What the daemon benchmarks share: the daemon as a child process, its figures read from /proc,
// a throw-away store, a verifier of its signatures and raw loopback sockets.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xmlsec/crypto.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmltree.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_store.h"
#include "platform/exception.h"
#include "platform/openssl_handles.h"
#include "platform/sys/unique_fd.h"
#include "platform/text.h"
#include "platform/xmldsig/dom_document.h"
#include "platform/xmldsig/library_scope.h"
#include "platform/xmldsig/xml_handles.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_socket.h"
#include "transport/client/dbx_client.h"

extern char** environ;

namespace bench_daemon {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

inline constexpr const char* kSerial = "0A1B2C";
inline constexpr auto kWait =
    std::chrono::seconds(20);  // bound of every wait; never reached when healthy

inline void Check(bool AOk, const std::string& AWhat) {
  if (!AOk) throw std::runtime_error("falhou: " + AWhat);
}

inline double Seconds(Clock::time_point AStart) {
  return std::chrono::duration<double>(Clock::now() - AStart).count();
}

inline std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  Check(in.good(), "ler " + APath.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The sample with its one RPS repeated until the document holds at least ABytes, each copy with
// its own Id, in lot ALot (so that documents of different lots differ).
inline std::string DocumentOfSize(const std::string& ASample, std::size_t ABytes, int ALot) {
  const std::size_t open = ASample.find("<ListaRps>");
  const std::size_t close = ASample.find("</ListaRps>");
  Check(open != std::string::npos && close != std::string::npos, "ListaRps na amostra");
  const std::size_t first = open + std::strlen("<ListaRps>");
  const std::string rps = ASample.substr(first, close - first);
  const std::size_t id = rps.find("Id=\"rps1\"");
  Check(id != std::string::npos, "Id=\"rps1\" na amostra");
  std::string list;
  for (int n = 1; ASample.size() - rps.size() + list.size() < ABytes; ++n)
    list += rps.substr(0, id) + "Id=\"rps" + std::to_string(n) + "\"" +
            rps.substr(id + std::strlen("Id=\"rps1\""));
  std::string document = ASample.substr(0, first) + list + ASample.substr(close);
  const std::string lot = "<NumeroLote>1</NumeroLote>";
  const std::size_t at = document.find(lot);
  Check(at != std::string::npos, "NumeroLote na amostra");
  return document.replace(at, lot.size(), "<NumeroLote>" + std::to_string(ALot) + "</NumeroLote>");
}

// The sample NFS-e: AGiven when the command line names one, else the test data of the source
// tree this program was built from.
inline fs::path FindSample(const char* AGiven = nullptr) {
  const fs::path candidate =
      AGiven ? fs::path(AGiven) : fs::path(ASSINADOR_TEST_DATA) / "nfse_sample.xml";
  if (fs::is_regular_file(candidate)) return fs::absolute(candidate);
  throw std::runtime_error(candidate.string() +
                           " não encontrado (passe o caminho da amostra como argumento)");
}

// Operations per second that two threads complete together in ASeconds, each running AWork in
// a loop.
inline double TwoThreadRate(double ASeconds, const std::function<void()>& AWork) {
  std::atomic<long> done{0};
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration<double>(ASeconds);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([&] {
        while (Clock::now() < until) {
          AWork();
          done.fetch_add(1, std::memory_order_relaxed);
        }
      });
  }
  return static_cast<double>(done.load()) / Seconds(start);
}

// A program run with AArguments (the first is its path), talking to us over its standard input
// and output; it is waited for when this goes. Only exec follows the fork: the caller may have
// threads of its own (a server).
class TPipedChild {
 public:
  explicit TPipedChild(const std::vector<std::string>& AArguments) {
    int toChild[2];
    int fromChild[2];
    Check(::pipe2(toChild, O_CLOEXEC) == 0 && ::pipe2(fromChild, O_CLOEXEC) == 0, "pipe2");
    std::vector<std::string> arguments = AArguments;
    std::vector<char*> args;
    for (auto& a : arguments) args.push_back(a.data());
    args.push_back(nullptr);
    FPid = ::fork();
    Check(FPid >= 0, "fork");
    if (FPid == 0) {
      ::dup2(toChild[0], STDIN_FILENO);
      ::dup2(fromChild[1], STDOUT_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    FInput.reset(toChild[1]);
    FOutput = ::fdopen(fromChild[0], "r");
    Check(FOutput != nullptr, "fdopen");
  }
  ~TPipedChild() {
    FInput.reset();
    if (FOutput) std::fclose(FOutput);
    int status = 0;
    ::waitpid(FPid, &status, 0);
  }
  TPipedChild(const TPipedChild&) = delete;
  TPipedChild& operator=(const TPipedChild&) = delete;

  // The child's next line, without its end.
  std::string ReadLine() {
    char line[256];
    Check(std::fgets(line, sizeof line, FOutput) != nullptr, "o cliente terminou antes da hora");
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }
  void WriteLine(const std::string& ALine) {
    const std::string line = ALine + "\n";
    Check(::write(FInput.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size()),
          "write");
  }

 private:
  pid_t FPid = -1;
  UniqueFd FInput;
  FILE* FOutput = nullptr;
};

// One bare RSA signature (SHA-1, PKCS#1 v1.5) of a 600-byte message with AKey: what the
// signature of a small NFS-e costs without the document around it.
inline void BareRsaSignature(EVP_PKEY* AKey) {
  static const std::string kMessage(600, 'x');
  EvpMdCtxPtr context{EVP_MD_CTX_new()};
  unsigned char signature[512];
  std::size_t length = sizeof signature;
  Check(EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, AKey) == 1 &&
            EVP_DigestSign(context.get(), signature, &length,
                           reinterpret_cast<const unsigned char*>(kMessage.data()),
                           kMessage.size()) == 1,
        "EVP_DigestSign");
}

// Prints figures as they come, each with its target and PASS or MISS (APassed empty: a figure
// without a target); remembers whether one missed.
class TReport {
 public:
  void Figure(const std::string& AName, const std::string& AValue, const std::string& ATarget,
              std::optional<bool> APassed) {
    if (APassed && !*APassed) FAllPassed = false;
    std::printf("  %-62s %16s   target %-11s %s\n", AName.c_str(), AValue.c_str(), ATarget.c_str(),
                !APassed   ? "-"
                : *APassed ? "PASS"
                           : "MISS");
    std::fflush(stdout);
  }
  void Figure(const std::string& AName, double AValue, const std::string& AUnit,
              const std::string& ATarget, std::optional<bool> APassed) {
    char value[64];
    std::snprintf(value, sizeof value, "%.3f %s", AValue, AUnit.c_str());
    Figure(AName, value, ATarget, APassed);
  }
  bool AllPassed() const { return FAllPassed; }

 private:
  bool FAllPassed = true;
};

// A self-issued RSA-2048 certificate with its key as the store's one file; returns the file.
inline fs::path MakeStore(const fs::path& ADirectory) {
  const fs::path file = ADirectory / "empresa.pem";
  WriteSelfIssuedEntry(file, std::strtol(kSerial, nullptr, 16));
  return file;
}

// Verifies enveloped signatures with the certificate's public key (this thread only).
class TVerifier {
 public:
  explicit TVerifier(const fs::path& ACertificate)
      : FKey(xmlSecCryptoAppKeyLoad(ACertificate.c_str(), xmlSecKeyDataFormatCertPem, nullptr,
                                    nullptr, nullptr)) {
    Check(FKey != nullptr, "chave pública do certificado");
  }
  // Empty when the document's signature verifies, else what went wrong.
  std::string Verify(const Text& ASignedXml) const {
    IXMLDOMDocument3 dom;
    if (!dom.loadXML(ASignedXml)) return "load: " + text::ToUtf8(dom.parseError());
    TLibraryErrors errors;
    xmldsig::RegisterIdAttributes(dom.Handle());
    xmlNode* node =
        xmlSecFindNode(xmlDocGetRootElement(dom.Handle()), xmlSecNodeSignature, xmlSecDSigNs);
    if (node == nullptr) return "no Signature element";
    DsigCtxPtr context{xmlSecDSigCtxCreate(nullptr)};
    if (!context) return "dsig context";
    context->signKey = xmlSecKeyDuplicate(FKey.get());  // the context frees it
    if (xmlSecDSigCtxVerify(context.get(), node) < 0) return "verify: " + errors.Texts();
    if (context->status != xmlSecDSigStatusSucceeded) return "signature invalid";
    return {};
  }

 private:
  XmlSecKeyPtr FKey;
};

// Results that differ from their document's reference, kept to be verified one by one.
struct TResults {
  std::mutex Lock;
  std::vector<Text> Different;  // guarded by Lock
  long Errors = 0;              // guarded by Lock
  std::string FirstError;       // guarded by Lock

  void Error(const std::string& AWhat) {
    std::lock_guard lock(Lock);
    if (Errors++ == 0) FirstError = AWhat;
  }
};

inline std::unique_ptr<TDBXClient> OpenClient(std::uint16_t APort) {
  auto client = std::make_unique<TDBXClient>("127.0.0.1", APort);
  client->Open();
  client->Connect();
  return client;
}

// One signing call against the reference; false when it failed or differed.
inline bool SignAndCompare(TDBXClient& AClient, const Text& ADocument, const Text& AReference,
                           TResults& AResults) {
  try {
    Text result = AClient.CallTextMethod(u"TSMSignService.SignDocument",
                                         {ADocument, text::FromAscii(kSerial)});
    if (result == AReference) return true;
    std::lock_guard lock(AResults.Lock);
    AResults.Different.push_back(std::move(result));
    return false;
  } catch (const std::exception& e) {
    AResults.Error(text::ToUtf8(MessageOf(e)));
    return false;
  }
}

// ---- processes -----------------------------------------------------------------------------

// The bench's children append their errors to one file.
class TChild : public TChildProcess {
 public:
  TChild(const std::vector<std::string>& AArguments, const std::vector<std::string>& AEnvironment,
         const fs::path& AStderrFile)
      : TChildProcess(AArguments, AStderrFile, AEnvironment, true) {}

  // The rest of its output after it ended.
  std::string Rest() {
    std::string rest;
    while (const auto line = ReadLine()) rest += *line + "\n";
    return rest + UnreadOutput();
  }
};

struct TProcessFigures {
  std::size_t Descriptors = 0;
  long Threads = 0;
  long RssKb = 0;
};

inline std::size_t CountEntries(const fs::path& ADirectory) {
  std::size_t count = 0;
  std::error_code error;
  for (auto it = fs::directory_iterator(ADirectory, error);
       !error && it != fs::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

inline long StatusField(pid_t APid, const std::string& AField) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with(AField + ":"))
      return std::strtol(line.c_str() + AField.size() + 1, nullptr, 10);
  return -1;
}

inline TProcessFigures FiguresOf(pid_t APid) {
  return {CountEntries("/proc/" + std::to_string(APid) + "/fd"), StatusField(APid, "Threads"),
          StatusField(APid, "VmRSS")};
}

inline std::string OpenFilesLimit(pid_t APid) {
  std::ifstream in("/proc/" + std::to_string(APid) + "/limits");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("Max open files")) {
      std::istringstream fields(line.substr(std::strlen("Max open files")));
      std::string soft, hard;
      fields >> soft >> hard;
      return soft + " (hard " + hard + ")";
    }
  return "?";
}

// ---- raw sockets ---------------------------------------------------------------------------

// AFrom, when given, is the loopback address the connection comes from (as "127.0.0.2").
inline UniqueFd ConnectTcp(std::uint16_t APort, const char* AFrom = nullptr) {
  UniqueFd fd = ConnectLoopback(APort, AFrom);
  Check(fd.get() >= 0, std::string("connect: ") + std::strerror(errno));
  return fd;
}

inline bool RecvExactly(int AFd, std::size_t ACount) {
  char buffer[4096];
  while (ACount > 0) {
    const ssize_t n = ::recv(AFd, buffer, std::min(ACount, sizeof buffer), 0);
    if (n <= 0) return false;
    ACount -= static_cast<std::size_t>(n);
  }
  return true;
}

// The request to negotiate filters and the server's answer (a block with its filter list).
inline bool Negotiate(int AFd) {
  if (!SendAll(AFd, std::string(5, '\x05'))) return false;
  unsigned char header[5];
  if (::recv(AFd, header, sizeof header, MSG_WAITALL) != sizeof header) return false;
  return RecvExactly(AFd, static_cast<std::size_t>(header[3] << 8 | header[4]));
}

// Closes with a reset instead of an orderly end, as a crashed peer's system does.
inline void Abort(UniqueFd& AFd) {
  const linger reset{1, 0};
  ::setsockopt(AFd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  AFd.reset();
}

// True when the peer ended the connection (end of stream or reset) within ATimeoutMs.
inline bool SawEnd(int AFd, int ATimeoutMs) {
  pollfd fd{AFd, POLLIN, 0};
  if (::poll(&fd, 1, ATimeoutMs) <= 0) return false;
  char byte;
  const ssize_t n = ::recv(AFd, &byte, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE));
}

}  // namespace bench_daemon
