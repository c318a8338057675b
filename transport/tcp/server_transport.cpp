#include "transport/tcp/server_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <thread>

#include "platform/diagnostics.h"
#include "platform/sys/thread_scope.h"
#include "transport/dbx_error.h"
#include "transport/tcp/tcp_channel_internal.h"

namespace {

// The system's largest listen backlog: a burst of clients waits in the queue instead of
// being dropped and retried a second later.
int ListenBacklog() {
  int backlog = SOMAXCONN;
  if (std::FILE* file = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
    int value = 0;
    if (std::fscanf(file, "%d", &value) == 1 && value > backlog) backlog = value;
    std::fclose(file);
  }
  return backlog;
}

// The descriptor limit less what the program keeps for itself; at least one connection.
int ConnectionSlots(int AConfigured) {
  rlimit limit{};
  int slots = INT32_MAX;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    slots = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT32_MAX)) -
            TDSTCPServerTransport::kReservedDescriptors;
  if (AConfigured > 0) slots = std::min(slots, AConfigured);
  return std::max(slots, 1);
}

// A failure the transport drops to keep serving goes to the process's diagnostics.
void ReportDropped() noexcept {
  diagnostics::ReportCurrentException(tcp_messages::kDiagnosticsSource);
}

[[noreturn]] void ThrowSystem(const char* AWhat) {
  throw Exception(std::string(AWhat) + ": " + std::strerror(errno));
}

// A listening socket of AFamily bound to every address on APort, or to AAddress when it names
// one; none when the family is not available or the port cannot be bound (errno tells which).
UniqueFd BindListener(int AFamily, std::uint16_t APort, const TBindAddress& AAddress = {}) {
  UniqueFd listener(::socket(AFamily, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) return listener;
  const int fd = listener.get();
  const int on = 1;
  const int off = 0;
  // Lets a restart bind while connections of the previous run sit in TIME_WAIT; on Linux it
  // does not let a second listener share the port.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_storage address{};
  socklen_t length = 0;
  // IPv4 clients too, whatever the system's default (net.ipv6.bindv6only), on "::" as on every
  // interface.
  if (AFamily == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 &&
      AAddress.Any())
    return UniqueFd();
  if (!AAddress.Any()) {
    address = AAddress.SocketAddress(APort);
    length = AFamily == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  } else if (AFamily == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_any;
    v6.sin6_port = htons(APort);
    length = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_ANY);
    v4.sin_port = htons(APort);
    length = sizeof v4;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    // A port in use or reserved is so for IPv4 as well: no second try with the other family.
    if (errno == EADDRINUSE || errno == EACCES || !AAddress.Any()) throw TBindError(errno, APort);
    return UniqueFd();
  }
  return listener;
}

// The listener of a start: one socket for both families where the system has IPv6 (IPv4 clients
// arrive as v4-mapped addresses), IPv4 alone where it has not; or the one address named.
UniqueFd Listen(std::uint16_t APort, const TBindAddress& AAddress) {
  UniqueFd listener;
  if (!AAddress.Any()) {
    listener = BindListener(AAddress.Family(), APort, AAddress);
  } else {
    listener = BindListener(AF_INET6, APort);
    if (!listener) listener = BindListener(AF_INET, APort);
  }
  if (!listener) throw TBindError(errno, APort);
  return listener;
}

// Clears the connection's session however the batch ends: between batches the connection is
// served in no session, and a session closed meanwhile is not kept alive by it.
struct TBatchSessionGuard {
  TDSConnectionContext& Context;
  ~TBatchSessionGuard() { Context.ClearSession(); }
};

}  // namespace

// The listening server object of the socket layer, present while the transport is started.
struct TDSTCPServerTransport::TServer {
  TClientNetworks Clients;  // as set when the server started
  int MaxConnections = 0;   // as set when the server started
  int MaxConnectionsPerAddress = 0;
  TReportLimiter RefusalReports;  // refused peers, per address
  TReportLimiter FailureReports;  // failures that ended a connection, per address
  UniqueFd Listener;
  UniqueFd StopEvent;  // readable once the server stops; wakes every wait of the transport
  std::uint16_t BoundPort = 0;
  std::unique_ptr<TDSThreadPool> Pool;
  std::thread ListenerThread;
  mutable std::mutex ContextsLock;
  std::list<TDSTCPContextPtr> Contexts;   // accepted, not yet ended; guarded by ContextsLock
  std::map<std::string, int> PerAddress;  // Contexts counted by address; guarded by ContextsLock
};

TDSTCPServerTransport::TDSTCPServerTransport() = default;

TDSTCPServerTransport::~TDSTCPServerTransport() {
  try {
    Stop();
  } catch (...) {
    ReportDropped();  // a destructor must not throw; Stop itself only waits and joins
  }
}

void TDSTCPServerTransport::Start() {
  // A second start would drop a running server object under its own threads.
  if (FTcpServer) return;
  if (!IPImplementationID().empty()) {
    throw Exception(Text(tcp_messages::kUnsupportedIPImplementationID) + IPImplementationID());
  }
  if (!ProtocolHandlerFactory()) throw Exception(tcp_messages::kNoProtocolHandlerFactory);

  auto server = std::make_unique<TServer>();
  server->Clients = FClientNetworks;
  server->MaxConnections = ConnectionSlots(FMaxConnections);
  server->MaxConnectionsPerAddress =
      FMaxConnectionsPerAddress > 0 ? FMaxConnectionsPerAddress : INT32_MAX;
  server->StopEvent = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!server->StopEvent) ThrowSystem("eventfd");
  const auto port = static_cast<std::uint16_t>(FPort & 0xFFFF);
  server->Listener = Listen(port, FBindAddress);
  const int fd = server->Listener.get();
  if (::listen(fd, ListenBacklog()) != 0) ThrowSystem("listen");
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    ThrowSystem("getsockname");
  server->BoundPort = PortOf(address);

  server->Pool = std::make_unique<TDSThreadPool>(FMaxThreads, FPoolSize);
  SetListenerError({});
  FActive = true;
  TServer& started = *server;
  FTcpServer = std::move(server);
  try {
    started.ListenerThread = std::thread([this, &started] { ListenLoop(started); });
  } catch (...) {
    FActive = false;
    FTcpServer.reset();
    throw;
  }
}

void TDSTCPServerTransport::CheckBindable(std::uint16_t APort, const TBindAddress& AAddress) {
  // Bound as Start binds, then let go at once.
  Listen(APort, AAddress);
}

void TDSTCPServerTransport::Stop() {
  if (!FTcpServer) return;
  TServer& server = *FTcpServer;
  const std::uint64_t one = 1;
  // Wakes the listener and every connection wait; they all see the server stopping.
  if (::write(server.StopEvent.get(), &one, sizeof one) < 0) {
    // an eventfd write fails only on counter overflow, which one write cannot reach
  }
  server.Pool->Interrupt();
  if (server.ListenerThread.joinable()) server.ListenerThread.join();
  {
    std::lock_guard lock(server.ContextsLock);
    for (const TDSTCPContextPtr& context : server.Contexts) context->Disconnect();
  }
  // Each connection runs its disconnect step on its own thread; this waits for all of them.
  server.Pool->Shutdown();
  FActive = false;
  FTcpServer.reset();
}

std::uint16_t TDSTCPServerTransport::BoundPort() const {
  return FTcpServer ? FTcpServer->BoundPort : 0;
}

std::size_t TDSTCPServerTransport::ConnectionCount() const {
  if (!FTcpServer) return 0;
  std::lock_guard lock(FTcpServer->ContextsLock);
  return FTcpServer->Contexts.size();
}

TDSThreadPool::TState TDSTCPServerTransport::PoolState() const {
  return FTcpServer ? FTcpServer->Pool->State() : TDSThreadPool::TState{};
}

Text TDSTCPServerTransport::LastListenerError() const {
  std::lock_guard lock(FErrorLock);
  return FLastListenerError;
}

void TDSTCPServerTransport::SetListenerError(Text AMessage) {
  std::lock_guard lock(FErrorLock);
  FLastListenerError = std::move(AMessage);
}

void TDSTCPServerTransport::ListenLoop(TServer& AServer) {
  try {
    AcceptConnections(AServer);
  } catch (...) {
    // Only memory exhaustion gets here; the listener ends and Stop still cleans up.
    ReportDropped();
  }
}

void TDSTCPServerTransport::AcceptConnections(TServer& AServer) {
  const auto stopping = [&AServer](int ATimeoutMs) {
    pollfd stop{AServer.StopEvent.get(), POLLIN, 0};
    return ::poll(&stop, 1, ATimeoutMs) > 0;
  };
  for (;;) {
    TDSThreadPool::TWorker* worker = nullptr;
    try {
      worker = AServer.Pool->Acquire();
    } catch (const EThreadLimit& e) {
      // The waiting client is not accepted until a connection ends.
      SetListenerError(e.Message());
      AServer.Pool->WaitForRoom();
      if (stopping(0)) return;
      continue;
    } catch (const std::exception& e) {
      // No thread could be made (or the pool is stopping): pause instead of spinning.
      SetListenerError(MessageOf(e));
      if (stopping(250)) return;
      continue;
    }
    pollfd fds[2] = {{AServer.Listener.get(), POLLIN, 0}, {AServer.StopEvent.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0 || fds[0].revents == 0) {
      AServer.Pool->Release(worker);
      if (fds[1].revents != 0) return;
      continue;
    }
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    UniqueFd socket(::accept4(AServer.Listener.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_CLOEXEC));
    if (!socket) {
      const int error = errno;
      AServer.Pool->Release(worker);
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // Out of descriptors or memory: the pending client stays queued; pause instead of
        // spinning on a listener that stays readable.
        SetListenerError(text::FromUtf8(std::string("accept: ") + std::strerror(error)));
        if (stopping(250)) return;
      }
      continue;
    }
    if (!AServer.Clients.Allows(peer)) {
      AServer.Pool->Release(worker);
      ++FRefused;
      RefuseClient(AServer, peer, tcp_messages::kRefusedClientEnd);
      continue;  // the socket closes here, before the client's first byte is read
    }
    const std::string address = PeerAddressText(peer);
    TextView slotsTaken;
    {
      std::lock_guard lock(AServer.ContextsLock);
      if (AServer.Contexts.size() >= static_cast<std::size_t>(AServer.MaxConnections)) {
        slotsTaken = tcp_messages::kNoConnectionSlot;
      } else if (const auto held = AServer.PerAddress.find(address);
                 held != AServer.PerAddress.end() &&
                 held->second >= AServer.MaxConnectionsPerAddress) {
        slotsTaken = tcp_messages::kNoAddressSlot;
      }
    }
    if (!slotsTaken.empty()) {
      // Closed at once: a slot held by a client that waits would be one more taken.
      AServer.Pool->Release(worker);
      ++FRefused;
      RefuseClient(AServer, peer, slotsTaken);
      continue;
    }
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    TDSTCPContextPtr context;
    try {
      context = std::make_shared<TDSTCPContext>(std::move(socket), AServer.StopEvent.get(), address,
                                                PortOf(peer));
      context->SetDeadlines(FMessageDeadline, FSendStallDeadline, FFirstByteDeadline);
      context->SetMinimumDrain(FMinimumDrain, FDrainWindow);
      std::lock_guard lock(AServer.ContextsLock);
      AServer.Contexts.push_back(context);
      ++AServer.PerAddress[address];
    } catch (...) {
      ReportDropped();
      AServer.Pool->Release(worker);
      continue;
    }
    AServer.Pool->Start(worker, [this, &AServer, context] { ServeConnection(AServer, context); });
  }
}

void TDSTCPServerTransport::RefuseClient(TServer& AServer, const sockaddr_storage& APeer,
                                         TextView AReason) {
  try {
    const std::string address = PeerAddressText(APeer);
    std::uint64_t heldBack = 0;
    if (!AServer.RefusalReports.Admit(address, std::chrono::steady_clock::now(), heldBack)) return;
    Text message = Text{tcp_messages::kRefusedClient} + text::FromUtf8(address) + Text{AReason};
    if (heldBack > 0)
      message += Text{tcp_messages::kHeldBack} + text::FromAscii(std::to_string(heldBack)) +
                 Text{tcp_messages::kHeldBackEnd};
    diagnostics::Report(tcp_messages::kRefusalSource, message, diagnostics::TReportKind::Notice);
  } catch (...) {
    ReportDropped();
  }
}

void TDSTCPServerTransport::ReportConnectionFailure(TServer& AServer,
                                                    const TDSTCPContext& AContext) noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      std::uint64_t heldBack = 0;
      if (!AServer.FailureReports.Admit(AContext.PeerIP(), std::chrono::steady_clock::now(),
                                        heldBack))
        return;
      // The failure's text may quote what the client sent: a few hundred bytes of it say enough.
      Text message = TruncatedForReport(MessageOf(e));
      if (heldBack > 0)
        message += Text{tcp_messages::kHeldBack} + text::FromAscii(std::to_string(heldBack)) +
                   Text{tcp_messages::kHeldBackEnd};
      diagnostics::Report(tcp_messages::kDiagnosticsSource, message);
    }
  } catch (...) {
    ReportDropped();
  }
}

void TDSTCPServerTransport::ServeConnection(TServer& AServer, const TDSTCPContextPtr& AContext) {
  bool scopeEntered = false;
  try {
    DoOnConnect(*AContext, AContext, scopeEntered);
    while (AContext->Connected()) DoOnExecute(*AContext);
  } catch (const TDBXError& e) {
    // Whatever ends the connection, its disconnect step runs. A peer that went away is the
    // usual end of a connection, not a failure.
    if (std::string_view(e.what()) != tcp_messages::kConnectionLost)
      ReportConnectionFailure(AServer, *AContext);
  } catch (...) {
    ReportConnectionFailure(AServer, *AContext);
  }
  if (AContext->TimedOut()) ++FTimedOut;
  try {
    DoOnDisconnect(*AContext, scopeEntered);
  } catch (...) {
    ReportDropped();
  }
  AContext->Disconnect();
  std::lock_guard lock(AServer.ContextsLock);
  AServer.Contexts.remove(AContext);
  if (const auto held = AServer.PerAddress.find(AContext->PeerIP());
      held != AServer.PerAddress.end() && --held->second <= 0)
    AServer.PerAddress.erase(held);
}

void TDSTCPServerTransport::DoOnConnect(TDSTCPContext& AContext, const TDSTCPContextPtr& AShared,
                                        bool& AScopeEntered) {
  // The filtered channel is built first: copying the configured filters applies their
  // properties, which may raise before anything else is set up for the connection.
  auto filtered = std::make_unique<TDBXFilterSocketChannel>(&Filters());
  auto tcpChannel = std::make_unique<TDSTCPChannelInternal>(AShared, SessionManager());
  TDSTCPChannel* tcp = tcpChannel.get();
  platform::EnterThreadScope();
  AScopeEntered = true;
  tcpChannel->Open();
  filtered->SetChannel(std::move(tcpChannel));
  AContext.Data = ProtocolHandlerFactory()->CreateProtocolHandler(std::move(filtered), AContext);
  if (!AContext.Data) throw Exception(tcp_messages::kNoProtocolHandler);
  if (AContext.Data->NeedsSession()) {
    // The items are there before the manager announces the session, so a listener sees them.
    const Text remoteIP = text::FromAscii(AContext.PeerIP());
    TDSSessionPtr session = SessionManager().CreateSession(
        [this, &remoteIP] {
          auto made = std::make_shared<TDSTCPSession>(FAuthenticationManager);
          made->PutData(u"CommunicationProtocol", u"tcp/ip");
          made->PutData(u"RemoteIP", remoteIP);
          return made;
        },
        Text{});
    AContext.Data->SetDSSession(std::move(session));
  }
  if (FTDSTCPConnectEvent && AContext.Connected() && Active()) {
    switch (FKeepAliveEnablement) {
      case TDSKeepAliveEnablement::kaEnabled:
        tcp->EnableKeepAlive(FKeepAliveTime, FKeepAliveInterval);
        break;
      case TDSKeepAliveEnablement::kaDisabled:
        tcp->DisableKeepAlive();
        break;
      case TDSKeepAliveEnablement::kaDefault:
        break;
    }
    try {
      FTDSTCPConnectEvent(TDSTCPConnectEventObject{&AContext, tcp});
    } catch (...) {
      ReportDropped();  // the application's handler may not end the connection by failing
    }
  }
}

void TDSTCPServerTransport::DoOnExecute(TDSTCPContext& AContext) {
  if (AContext.InputBufferIsEmpty()) AContext.CheckForDataOnSource();
  if (AContext.InputBufferIsEmpty()) return;
  // From its first bytes on, the message has its deadline; back to idle once it is handled.
  AContext.BeginMessage();
  const TBatchSessionGuard clearSession{AContext};
  AContext.Data->SetUp(FAuthenticationManager);
  if (const TDSSessionPtr& session = AContext.Session()) session->SetCreator(this);
  AContext.Data->HandleNonBlockingProtocol();
  AContext.EndMessage();
}

void TDSTCPServerTransport::DoOnDisconnect(TDSTCPContext& AContext, bool AScopeEntered) {
  if (FTDSTCPDisconnectEvent && Active()) {
    try {
      FTDSTCPDisconnectEvent(TDSTCPDisconnectEventObject{&AContext});
    } catch (...) {
      ReportDropped();
    }
  }
  // Destroying the handler releases the connection's pipeline down to the TCP channel.
  AContext.Data.reset();
  if (AScopeEntered) platform::LeaveThreadScope();
}
