#pragma once

// Loopback clients and a small framed echo protocol handler for the transport tests.
//
// Frame: one length byte L, then L payload bytes; the handler answers with the payload.
// The handler records what the tests look at (its thread, the platform scope, its session,
// the errors its reads raised) in a probe shared with the test.
//
// The transport's mechanics are tested on raw bytes: unless told otherwise, the handler reads
// the TCP channel beneath the filtered channel the transport gives it, so that no length byte
// is taken for the start of a filter negotiation.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "platform/sys/thread_scope.h"
#include "platform/sys/unique_fd.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/wait_until.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/server/protocol_handler.h"
#include "transport/server/session_manager.h"
#include "transport/tcp/server_transport.h"
#include "transport/tcp/tcp_channel.h"

namespace tcptest {

inline constexpr auto kWait =
    std::chrono::seconds(20);  // bound of every wait; never reached when healthy

inline UniqueFd Connect(std::uint16_t APort, const char* AFrom = nullptr) {
  return ConnectLoopback(APort, AFrom);
}

// Up to ACount bytes; fewer when the peer closed or the receive timed out.
inline std::string RecvExactly(int AFd, std::size_t ACount) {
  std::string out(ACount, '\0');
  std::size_t got = 0;
  while (got < ACount) {
    const ssize_t n = ::recv(AFd, out.data() + got, ACount - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

inline std::string Frame(std::string_view APayload) {
  return std::string(1, static_cast<char>(APayload.size())) + std::string(APayload);
}

// One framed round trip; true when the payload came back.
inline bool Echo(int AFd, std::string_view APayload) {
  return SendAll(AFd, Frame(APayload)) && RecvExactly(AFd, APayload.size()) == APayload;
}

// True when the server closed the connection (end of stream or reset) before the timeout.
inline bool ClosedByServer(int AFd) {
  char byte;
  const ssize_t n = ::recv(AFd, &byte, 1, 0);
  return n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE));
}

inline std::size_t CountEntries(const char* ADirectory) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(ADirectory)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}
inline std::size_t OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline std::size_t ProcessThreads() { return CountEntries("/proc/self/task"); }

struct TProbe {
  struct THandlerRecord {
    std::thread::id CreatedOn;
    std::thread::id DestroyedOn;
    int ScopeDepthAtCreation = 0;
    int ScopeDepthAtDestruction = -1;
    Text SessionName;
    Text PeerIP;
    Text Protocol;
    int KeepAlive = -1;  // -1: the handler does not read the TCP channel itself
    int KeepIdle = -1;
    bool Filtered = false;       // the transport gave a filtered channel
    bool OpenedBeneath = false;  // the channel beneath it had been opened by then
    bool Destroyed = false;
  };

  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<THandlerRecord> Handlers;  // guarded by Lock
  std::vector<Text> ReadErrors;          // guarded by Lock
  bool ConnectionLostSeen = false;       // guarded by Lock
  // The threads a connect step reached the handler factory on, each once, and the scope depth
  // each had when it ended (filled as they end); guarded by Lock.
  std::vector<std::thread::id> ConnectThreads;
  std::vector<int> ThreadEndDepths;
  std::vector<int> FailedConnectDepths;  // at each refused handler; guarded by Lock

  template <class TPredicate>
  bool WaitFor(TPredicate APredicate) {
    std::unique_lock lock(Lock);
    return Changed.wait_for(lock, kWait, [&] { return APredicate(*this); });
  }
  int Created() const { return static_cast<int>(Handlers.size()); }
  int Destroyed() const {
    int n = 0;
    for (const auto& h : Handlers) n += h.Destroyed ? 1 : 0;
    return n;
  }
};

// Has AProbe told the calling thread's scope depth when the thread ends, once per thread. A
// connection thread that ends at depth 0 left the scope for every time it entered it.
inline void WatchThreadEnd(const std::shared_ptr<TProbe>& AProbe) {
  struct TWatch {
    std::vector<std::shared_ptr<TProbe>> Probes;
    ~TWatch() {
      const int depth = platform::ThreadScopeDepth();
      for (const auto& probe : Probes) {
        std::lock_guard lock(probe->Lock);
        probe->ThreadEndDepths.push_back(depth);
        probe->Changed.notify_all();
      }
    }
  };
  thread_local TWatch watch;
  for (const auto& probe : watch.Probes)
    if (probe == AProbe) return;
  watch.Probes.push_back(AProbe);
  std::lock_guard lock(AProbe->Lock);
  AProbe->ConnectThreads.push_back(std::this_thread::get_id());
}

// Reads one frame, answers with its payload. Takes a session when the transport offers one,
// sets it in the connection's context in SetUp and closes it when destroyed, as the command
// protocol's handler does.
class TEchoHandler : public TDBXProtocolHandler {
 public:
  TEchoHandler(TDbxChannelPtr AChannel, TDSConnectionContext& AConnection,
               std::shared_ptr<TProbe> AProbe, TDSSessionManager& AManager, bool AReadFiltered)
      : FChannel(std::move(AChannel)),
        FConnection(AConnection),
        FProbe(std::move(AProbe)),
        FManager(AManager) {
    TProbe::THandlerRecord record;
    record.CreatedOn = std::this_thread::get_id();
    record.ScopeDepthAtCreation = platform::ThreadScopeDepth();
    FReader = FChannel.get();
    if (auto* filtered = dynamic_cast<TDBXFilterSocketChannel*>(FChannel.get())) {
      record.Filtered = true;
      TDbxChannel* beneath = filtered->GetDelegate();
      record.OpenedBeneath = beneath != nullptr && beneath->GetChannelInfo() != nullptr;
      if (!AReadFiltered && beneath != nullptr) FReader = beneath;
    }
    if (auto* info = dynamic_cast<TDBXSocketChannelInfo*>(FReader->GetChannelInfo())) {
      record.PeerIP = info->ClientInfo.IpAddress;
      record.Protocol = info->ClientInfo.Protocol;
    }
    std::lock_guard lock(FProbe->Lock);
    FIndex = FProbe->Handlers.size();
    FProbe->Handlers.push_back(record);
    FProbe->Changed.notify_all();
  }

  ~TEchoHandler() override {
    if (FSession) FManager.CloseSession(FSession->SessionName());
    const bool lost = FReader->GetConnectionLost();
    const int depth = platform::ThreadScopeDepth();
    FReader = nullptr;
    FChannel.reset();
    std::lock_guard lock(FProbe->Lock);
    auto& record = FProbe->Handlers[FIndex];
    record.DestroyedOn = std::this_thread::get_id();
    record.ScopeDepthAtDestruction = depth;
    record.Destroyed = true;
    FProbe->ConnectionLostSeen = FProbe->ConnectionLostSeen || lost;
    FProbe->Changed.notify_all();
  }

  void HandleProtocol() override {}

  bool HandleNonBlockingProtocol() override {
    if (!FSawSocket) RecordSocketOptions();  // after the connect step has applied them
    try {
      std::uint8_t length = 0;
      ReadFully(std::span(&length, 1));
      std::vector<std::uint8_t> payload(length);
      ReadFully(payload);
      FReader->Write(payload, 0, static_cast<int>(payload.size()));
      return true;
    } catch (const std::exception& e) {
      std::lock_guard lock(FProbe->Lock);
      FProbe->ReadErrors.push_back(MessageOf(e));
      FProbe->Changed.notify_all();
      throw;
    }
  }

  void SetUp(TDSAuthenticationManager*) override {
    if (FSession) FConnection.SetSession(FSession);
  }

  bool NeedsSession() const override { return !FSession; }
  void SetDSSession(TDSSessionPtr ASession) override {
    FSession = std::move(ASession);
    std::lock_guard lock(FProbe->Lock);
    FProbe->Handlers[FIndex].SessionName = FSession->SessionName();
    FProbe->Changed.notify_all();
  }

 private:
  void RecordSocketOptions() {
    FSawSocket = true;
    TDSTCPChannel* tcp = dynamic_cast<TDSTCPChannel*>(FReader);
    if (tcp == nullptr) return;
    int keepAlive = 0, keepIdle = 0;
    socklen_t length = sizeof keepAlive;
    ::getsockopt(tcp->GetConnection()->Handle(), SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &length);
    ::getsockopt(tcp->GetConnection()->Handle(), IPPROTO_TCP, TCP_KEEPIDLE, &keepIdle, &length);
    std::lock_guard lock(FProbe->Lock);
    FProbe->Handlers[FIndex].KeepAlive = keepAlive;
    FProbe->Handlers[FIndex].KeepIdle = keepIdle;
  }

  void ReadFully(std::span<std::uint8_t> ABuffer) {
    int got = 0;
    while (got < static_cast<int>(ABuffer.size())) {
      got += FReader->Read(ABuffer, got, static_cast<int>(ABuffer.size()) - got);
    }
  }

  TDbxChannelPtr FChannel;
  TDbxChannel* FReader = nullptr;  // FChannel, or the TCP channel it owns
  TDSConnectionContext& FConnection;
  std::shared_ptr<TProbe> FProbe;
  TDSSessionManager& FManager;
  TDSSessionPtr FSession;
  std::size_t FIndex = 0;
  bool FSawSocket = false;
};

// The pool's counts once APredicate holds for them; false when kWait passed first.
template <class TPredicate>
bool WaitForPool(const TDSTCPServerTransport& ATransport, TPredicate APredicate) {
  return WaitUntil([&] { return APredicate(ATransport.PoolState()); }, kWait);
}

// The listener's failure once there is one; empty when kWait passed first.
inline Text WaitForListenerError(const TDSTCPServerTransport& ATransport) {
  WaitUntil([&] { return !ATransport.LastListenerError().empty(); }, kWait);
  return ATransport.LastListenerError();
}

class TEchoFactory : public TDSProtocolHandlerFactory {
 public:
  TEchoFactory(std::shared_ptr<TProbe> AProbe, TDSSessionManager& AManager)
      : FProbe(std::move(AProbe)), FManager(AManager) {}
  TDBXProtocolHandlerPtr CreateProtocolHandler(TDbxChannelPtr Channel,
                                               TDSConnectionContext& AConnection) override {
    WatchThreadEnd(FProbe);
    if (FailNext) {
      FailNext = false;
      std::lock_guard lock(FProbe->Lock);
      FProbe->FailedConnectDepths.push_back(platform::ThreadScopeDepth());
      throw Exception(std::string_view("handler refused"));
    }
    return std::make_unique<TEchoHandler>(std::move(Channel), AConnection, FProbe, FManager,
                                          ReadFiltered);
  }
  std::atomic<bool> FailNext{false};
  // The handlers read the filtered channel as a protocol handler does; set before Start.
  bool ReadFiltered = false;

 private:
  std::shared_ptr<TProbe> FProbe;
  TDSSessionManager& FManager;
};

}  // namespace tcptest
