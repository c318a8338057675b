#pragma once

// The TCP server transport: listens on a port, serves each accepted connection on one pooled
// thread (connect step, execute steps while connected, disconnect step) and wires the
// connection to its protocol handler.
//
// Properties are set while the transport is stopped; Start and Stop are called by the thread
// that controls the server (never by a connection thread). Stop returns only after every
// connection has run its disconnect step. Start raises when the port cannot be bound.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/exception.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/server/ds_server_transport.h"
#include "transport/tcp/bind_address.h"
#include "transport/tcp/client_networks.h"
#include "transport/tcp/report_limiter.h"
#include "transport/tcp/tcp_channel.h"
#include "transport/tcp/tcp_connection.h"
#include "transport/tcp/tcp_messages.h"
#include "transport/tcp/thread_pool.h"

// Start's failure to bind its port: the text is kCouldNotBind whatever the reason; the system's
// error number and the port tell callers that word it for people why.
class TBindError : public Exception {
 public:
  TBindError(int AErrno, std::uint16_t APort)
      : Exception(tcp_messages::kCouldNotBind), FErrno(AErrno), FPort(APort) {}
  int Errno() const { return FErrno; }
  std::uint16_t Port() const { return FPort; }

 private:
  int FErrno;
  std::uint16_t FPort;
};

enum class TDSKeepAliveEnablement { kaDefault, kaEnabled, kaDisabled };

struct TDSTCPConnectEventObject {
  TDSTCPContext* Connection;
  TDSTCPChannel* Channel;  // null when the connection's channel is not a TCP channel
};

struct TDSTCPDisconnectEventObject {
  TDSTCPContext* Connection;
};

using TDSTCPConnectEvent = std::function<void(const TDSTCPConnectEventObject&)>;
using TDSTCPDisconnectEvent = std::function<void(const TDSTCPDisconnectEventObject&)>;

class TDSTCPServerTransport : public TDSServerTransport {
 public:
  TDSTCPServerTransport();
  ~TDSTCPServerTransport() override;

  void Start() override;
  void Stop() override;
  bool Active() const override { return FActive.load(); }
  // Binds APort as Start would, on a socket closed again at once: TBindError when Start could
  // not. For moving a running server, whose old port must keep serving until the new one is
  // known to work.
  static void CheckBindable(std::uint16_t APort, const TBindAddress& AAddress = {});

  int Port() const { return FPort; }
  void SetPort(int AValue) { FPort = AValue; }
  // The local address listened on from the next Start on (every interface by default).
  const TBindAddress& BindAddress() const { return FBindAddress; }
  void SetBindAddress(TBindAddress AValue) { FBindAddress = std::move(AValue); }
  // The client addresses admitted from the next Start on (every address by default); a peer
  // outside them is closed before its first byte is read, counted, and reported to the
  // diagnostics at most once a minute per address.
  void SetClientNetworks(TClientNetworks ANetworks) { FClientNetworks = std::move(ANetworks); }
  const TClientNetworks& ClientNetworks() const { return FClientNetworks; }
  // Connections refused since the transport was made: for their address, or because the
  // connection slots (all of them, or their address's share) were taken.
  std::uint64_t RefusedConnections() const { return FRefused.load(); }
  // Connection slots from the next Start on. At most AMax connections at once (0: the
  // descriptor limit at Start less kReservedDescriptors, which the program keeps for its own
  // files), and at most APerAddress of them from one client address, so that one address
  // cannot take every slot. A connection past either is closed at once, counted and reported
  // like a refused address.
  static constexpr int kReservedDescriptors = 64;
  static constexpr int kDefaultConnectionsPerAddress = 64;
  void SetConnectionLimits(int AMax, int APerAddress) {
    FMaxConnections = AMax;
    FMaxConnectionsPerAddress = APerAddress;
  }
  // The deadlines of every connection from the next Start on (see TDSTCPContext::SetDeadlines):
  // a message that has started must be complete within AMessage (30 s by default, time enough
  // for a 2 MB document over a slow network); a send that makes no progress for ASendStall
  // (60 s) ends the connection and frees what it held; a connection that has sent nothing within
  // AFirstByte (30 s) of its accept is ended, so that silent connections cannot hold the slots.
  void SetDeadlines(std::chrono::milliseconds AMessage, std::chrono::milliseconds ASendStall,
                    std::chrono::milliseconds AFirstByte = std::chrono::seconds(30)) {
    FMessageDeadline = AMessage;
    FSendStallDeadline = ASendStall;
    FFirstByteDeadline = AFirstByte;
  }
  // The least a reply must drain at once the client's socket is full (see
  // TDSTCPContext::SetMinimumDrain): 1 KiB/s over 30 s unless set.
  void SetMinimumDrain(std::size_t ABytesPerSecond, std::chrono::milliseconds AWindow) {
    FMinimumDrain = ABytesPerSecond;
    FDrainWindow = AWindow;
  }
  // Connections a deadline ended since the transport was made.
  std::uint64_t TimedOutConnections() const { return FTimedOut.load(); }
  int MaxThreads() const { return FMaxThreads; }
  void SetMaxThreads(int AValue) { FMaxThreads = AValue; }
  int PoolSize() const { return FPoolSize; }
  void SetPoolSize(int AValue) { FPoolSize = AValue; }
  TDSAuthenticationManager* AuthenticationManager() const { return FAuthenticationManager; }
  void SetAuthenticationManager(TDSAuthenticationManager* AValue) {
    FAuthenticationManager = AValue;
  }
  void SetOnConnect(TDSTCPConnectEvent AEvent) { FTDSTCPConnectEvent = std::move(AEvent); }
  void SetOnDisconnect(TDSTCPDisconnectEvent AEvent) { FTDSTCPDisconnectEvent = std::move(AEvent); }
  TDSKeepAliveEnablement KeepAliveEnablement() const { return FKeepAliveEnablement; }
  void SetKeepAliveEnablement(TDSKeepAliveEnablement AValue) { FKeepAliveEnablement = AValue; }
  int KeepAliveTime() const { return FKeepAliveTime; }
  void SetKeepAliveTime(int AMilliseconds) { FKeepAliveTime = AMilliseconds; }
  int KeepAliveInterval() const { return FKeepAliveInterval; }
  void SetKeepAliveInterval(int AMilliseconds) { FKeepAliveInterval = AMilliseconds; }

  // The port actually listened on while started (the system's choice when Port is 0).
  std::uint16_t BoundPort() const;
  // Connections accepted and not yet ended.
  std::size_t ConnectionCount() const;
  // The connection threads: waiting in the pool, serving, alive; all zero while stopped.
  TDSThreadPool::TState PoolState() const;
  // The last failure of the listener (for instance the thread limit), empty when none.
  Text LastListenerError() const;

 private:
  struct TServer;

  void ListenLoop(TServer& AServer);
  void AcceptConnections(TServer& AServer);
  void ServeConnection(TServer& AServer, const TDSTCPContextPtr& AContext);
  // Reports a refused peer (at most once a minute per address); AReason follows the address.
  void RefuseClient(TServer& AServer, const sockaddr_storage& APeer, TextView AReason);
  // Reports a failure that ended AContext's connection, rate-limited per address, with at most
  // a few hundred bytes of what the client sent.
  void ReportConnectionFailure(TServer& AServer, const TDSTCPContext& AContext) noexcept;
  void DoOnConnect(TDSTCPContext& AContext, const TDSTCPContextPtr& AShared, bool& AScopeEntered);
  void DoOnExecute(TDSTCPContext& AContext);
  void DoOnDisconnect(TDSTCPContext& AContext, bool AScopeEntered);
  void SetListenerError(Text AMessage);

  int FPort = 211;
  TBindAddress FBindAddress;
  TClientNetworks FClientNetworks;
  std::atomic<std::uint64_t> FRefused{0};
  std::atomic<std::uint64_t> FTimedOut{0};
  int FMaxConnections = 0;
  int FMaxConnectionsPerAddress = kDefaultConnectionsPerAddress;
  std::chrono::milliseconds FMessageDeadline{std::chrono::seconds(30)};
  std::chrono::milliseconds FSendStallDeadline{std::chrono::seconds(60)};
  std::chrono::milliseconds FFirstByteDeadline{std::chrono::seconds(30)};
  std::size_t FMinimumDrain = 1024;
  std::chrono::milliseconds FDrainWindow{std::chrono::seconds(30)};
  int FMaxThreads = 0;
  int FPoolSize = 10;
  TDSAuthenticationManager* FAuthenticationManager = nullptr;
  TDSTCPConnectEvent FTDSTCPConnectEvent;
  TDSTCPDisconnectEvent FTDSTCPDisconnectEvent;
  TDSKeepAliveEnablement FKeepAliveEnablement = TDSKeepAliveEnablement::kaDefault;
  int FKeepAliveTime = 300000;
  int FKeepAliveInterval = 100;
  std::unique_ptr<TServer> FTcpServer;  // present only while started
  std::atomic<bool> FActive{false};

  mutable std::mutex FErrorLock;
  Text FLastListenerError;  // guarded by FErrorLock
};
