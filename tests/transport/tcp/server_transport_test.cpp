#include "transport/tcp/server_transport.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/report_capture.h"
#include "tests/transport/tcp/tcp_test_support.h"

using namespace tcptest;

namespace {

class TcpServerTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    auto factory = std::make_unique<TEchoFactory>(FProbe, FManager);
    FFactory = factory.get();
    FTransport.SetSessionManager(FManager);
    FTransport.SetPort(0);
    FTransport.SetProtocolHandlerFactory(std::move(factory));
  }

  std::uint16_t Start() {
    FTransport.Start();
    return FTransport.BoundPort();
  }

  bool WaitForHandlers(int ACreated, int ADestroyed = 0) {
    return FProbe->WaitFor(
        [&](TProbe& p) { return p.Created() >= ACreated && p.Destroyed() >= ADestroyed; });
  }

  // Once the transport has stopped, its threads have ended: each one a connect step ran on
  // ended outside the platform scope, having left it as often as it entered it.
  void ExpectEveryConnectThreadEndedOutsideTheScope() {
    ASSERT_FALSE(FTransport.Active());
    std::lock_guard lock(FProbe->Lock);
    ASSERT_FALSE(FProbe->ConnectThreads.empty());
    EXPECT_EQ(FProbe->ThreadEndDepths, std::vector<int>(FProbe->ConnectThreads.size(), 0));
  }

  std::shared_ptr<TProbe> FProbe = std::make_shared<TProbe>();
  TDSSessionManager FManager;  // outlives the transport, whose channels listen to it
  TDSTCPServerTransport FTransport;
  TEchoFactory* FFactory = nullptr;
};

TEST_F(TcpServerTransport, HasDocumentedDefaults) {
  TDSTCPServerTransport transport;
  EXPECT_EQ(transport.Port(), 211);
  EXPECT_EQ(transport.MaxThreads(), 0);
  EXPECT_EQ(transport.PoolSize(), 10);
  EXPECT_EQ(transport.BufferKBSize(), 32);
  EXPECT_EQ(transport.KeepAliveEnablement(), TDSKeepAliveEnablement::kaDefault);
  EXPECT_EQ(transport.KeepAliveTime(), 300000);
  EXPECT_EQ(transport.KeepAliveInterval(), 100);
  EXPECT_TRUE(transport.IPImplementationID().empty());
  EXPECT_FALSE(transport.Active());
  EXPECT_EQ(&transport.SessionManager(), &TDSSessionManager::Instance());
}

TEST_F(TcpServerTransport, ClampsBufferKBSize) {
  const struct {
    int set, stored;
  } kCases[] = {{0, 1}, {-5, 1}, {1, 1}, {32, 32}, {1000, 1000}, {1001, 1000}, {5000, 1000}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.set);
    FTransport.SetBufferKBSize(c.set);
    EXPECT_EQ(FTransport.BufferKBSize(), c.stored);
  }
}

TEST_F(TcpServerTransport, ListensOnLowSixteenBitsOfPort) {
  // A port the system just handed out is free: configured 65536 above it, it is listened on.
  std::uint16_t free = 0;
  {
    TDSTCPServerTransport probe;
    probe.SetPort(0);
    probe.SetProtocolHandlerFactory(std::make_unique<TEchoFactory>(FProbe, FManager));
    probe.Start();
    free = probe.BoundPort();
  }
  FTransport.SetPort(65536 + free);
  FTransport.Start();
  EXPECT_EQ(FTransport.BoundPort(), free);
  UniqueFd client = Connect(free);
  ASSERT_TRUE(client);
  EXPECT_TRUE(Echo(client.get(), "above sixty-five thousand"));
}

TEST_F(TcpServerTransport, PortZeroChoosesAFreePortAndServesAConnection) {
  const std::uint16_t port = Start();
  ASSERT_NE(port, 0);
  EXPECT_TRUE(FTransport.Active());
  UniqueFd client = Connect(port);
  ASSERT_TRUE(client);
  EXPECT_TRUE(Echo(client.get(), "hello"));
  EXPECT_TRUE(Echo(client.get(), std::string(255, 'x')));

  std::lock_guard lock(FProbe->Lock);
  ASSERT_EQ(FProbe->Created(), 1);
  const auto& record = FProbe->Handlers[0];
  EXPECT_EQ(record.PeerIP, u"127.0.0.1");
  EXPECT_EQ(record.Protocol, u"tcp/ip");
  EXPECT_EQ(record.ScopeDepthAtCreation, 1);
  const TDSSessionPtr session = FManager.GetSession(record.SessionName);
  ASSERT_TRUE(session);
  EXPECT_NE(dynamic_cast<TDSTCPSession*>(session.get()), nullptr);
  EXPECT_EQ(session->GetData(u"communicationprotocol"), u"tcp/ip");
  EXPECT_EQ(session->GetData(u"remoteip"), u"127.0.0.1");
  EXPECT_TRUE(session->UserName().empty());
  EXPECT_EQ(session->Creator(), &FTransport);  // marked by the execute step
}

// One listener serves both families: an IPv4 client is seen with its plain IPv4 address (not
// the v4-mapped form of the IPv6 socket), an IPv6 client with its own.
TEST_F(TcpServerTransport, ServesIPv4AndIPv6ClientsOnOnePort) {
  const std::uint16_t port = Start();
  UniqueFd v6(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 loopback{};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  loopback.sin6_port = htons(port);
  if (!v6 || ::connect(v6.get(), reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) != 0)
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  EXPECT_TRUE(Echo(v6.get(), "seis"));
  UniqueFd v4 = Connect(port);
  ASSERT_TRUE(v4);
  EXPECT_TRUE(Echo(v4.get(), "quatro"));
  std::lock_guard lock(FProbe->Lock);
  ASSERT_EQ(FProbe->Created(), 2);
  EXPECT_EQ(FProbe->Handlers[0].PeerIP, u"::1");
  EXPECT_EQ(FProbe->Handlers[1].PeerIP, u"127.0.0.1");
}

TEST(PeerAddressText, ShowsIPv4PlainAndIPv6Short) {
  struct Case {
    int family;
    const char* address;
    const char* shown;
  };
  const Case kCases[] = {
      {AF_INET, "192.168.0.7", "192.168.0.7"},
      {AF_INET6, "::ffff:192.168.0.7", "192.168.0.7"},
      {AF_INET6, "::1", "::1"},
      {AF_INET6, "2001:db8:0:0:0:0:0:7", "2001:db8::7"},
      {AF_UNIX, "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.address);
    sockaddr_storage address{};
    address.ss_family = static_cast<sa_family_t>(c.family);
    if (c.family == AF_INET) {
      auto& v4 = reinterpret_cast<sockaddr_in&>(address);
      ASSERT_EQ(::inet_pton(AF_INET, c.address, &v4.sin_addr), 1);
      v4.sin_port = htons(8080);
    } else if (c.family == AF_INET6) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
      ASSERT_EQ(::inet_pton(AF_INET6, c.address, &v6.sin6_addr), 1);
      v6.sin6_port = htons(8080);
    }
    EXPECT_EQ(PeerAddressText(address), c.shown);
    EXPECT_EQ(PortOf(address), c.family == AF_UNIX ? 0 : 8080);
  }
}

TEST_F(TcpServerTransport, SecondServerOnABusyPortGivesTheBindMessage) {
  const std::uint16_t port = Start();
  TDSTCPServerTransport second;
  second.SetSessionManager(FManager);
  second.SetPort(port);
  second.SetProtocolHandlerFactory(std::make_unique<TEchoFactory>(FProbe, FManager));
  try {
    second.Start();
    FAIL() << "a second listener bound the same port";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(second.Active());
  UniqueFd client = Connect(port);  // the first server is untouched
  EXPECT_TRUE(Echo(client.get(), "still here"));
}

TEST_F(TcpServerTransport, IPImplementationIDCannotChangeWhileActive) {
  Start();
  try {
    FTransport.SetIPImplementationID(u"other");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"IPImplementationID cannot be change while transport is active");
  }
  FTransport.Stop();
  FTransport.SetIPImplementationID(u"other");
  EXPECT_THROW(FTransport.Start(), Exception);  // only the built-in socket layer exists
  EXPECT_FALSE(FTransport.Active());
}

TEST_F(TcpServerTransport, ServesMoreClientsThanPoolSizeAndThreadsReturnToThePool) {
  const std::uint16_t port = Start();
  EXPECT_TRUE(WaitForPool(FTransport, [](const auto& s) { return s.Threads >= 10; }));
  constexpr int kClients = 25;
  std::vector<UniqueFd> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(Connect(port));
    ASSERT_TRUE(clients.back());
    ASSERT_TRUE(Echo(clients.back().get(), "client " + std::to_string(i)));
  }
  EXPECT_EQ(FTransport.PoolState().Busy, kClients);
  EXPECT_GT(FTransport.PoolState().Threads, 10);
  // Every client is still served after the others arrived.
  for (auto& client : clients) EXPECT_TRUE(Echo(client.get(), "again"));

  clients.clear();
  EXPECT_TRUE(WaitForPool(
      FTransport, [](const auto& s) { return s.Busy == 0 && s.Idle == 10 && s.Threads <= 11; }))
      << "idle " << FTransport.PoolState().Idle << " threads " << FTransport.PoolState().Threads;
  EXPECT_TRUE(WaitForHandlers(kClients, kClients));
}

TEST_F(TcpServerTransport, StopWithConnectedClientsRunsEveryDisconnectStepFirst) {
  std::atomic<int> disconnects{0};
  FTransport.SetOnDisconnect([&](const TDSTCPDisconnectEventObject& e) {
    if (e.Connection != nullptr) ++disconnects;
  });
  const std::uint16_t port = Start();
  constexpr int kClients = 14;
  std::vector<UniqueFd> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(Connect(port));
    ASSERT_TRUE(Echo(clients.back().get(), "x"));
  }
  UniqueFd silent = Connect(port);  // connected, never sends
  ASSERT_TRUE(WaitForHandlers(kClients + 1));

  FTransport.Stop();

  EXPECT_FALSE(FTransport.Active());
  EXPECT_EQ(disconnects.load(), kClients + 1);
  // One thread per connection, all at once: each entered the scope once and left it once.
  ExpectEveryConnectThreadEndedOutsideTheScope();
  {
    std::lock_guard lock(FProbe->Lock);
    EXPECT_EQ(FProbe->ConnectThreads.size(), static_cast<std::size_t>(kClients + 1));
    ASSERT_EQ(FProbe->Destroyed(), kClients + 1);  // already done when Stop returned
    for (const auto& record : FProbe->Handlers) {
      EXPECT_EQ(record.ScopeDepthAtCreation, 1);
      EXPECT_EQ(record.DestroyedOn, record.CreatedOn);
      EXPECT_EQ(record.ScopeDepthAtDestruction, 1);  // the handler goes before the scope is left
    }
  }
  EXPECT_EQ(FManager.SessionCount(), 0u);
  for (auto& client : clients) EXPECT_TRUE(ClosedByServer(client.get()));
  EXPECT_TRUE(ClosedByServer(silent.get()));
}

TEST_F(TcpServerTransport, ClosingASessionDisconnectsItsClient) {
  const std::uint16_t port = Start();
  UniqueFd first = Connect(port);
  ASSERT_TRUE(Echo(first.get(), "bind my session"));  // the first Read records the session
  UniqueFd second = Connect(port);                    // so handler 0 is the first client's
  ASSERT_TRUE(Echo(second.get(), "and mine"));
  Text name;
  {
    std::lock_guard lock(FProbe->Lock);
    name = FProbe->Handlers[0].SessionName;
  }
  ASSERT_FALSE(name.empty());

  FManager.CloseSession(name);

  EXPECT_TRUE(ClosedByServer(first.get()));
  EXPECT_TRUE(WaitForHandlers(2, 1));
  EXPECT_TRUE(Echo(second.get(), "unaffected"));
}

TEST_F(TcpServerTransport, RestartsOnTheSamePortRightAfterStoppingWithConnections) {
  const std::uint16_t port = Start();
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(Connect(port));
    ASSERT_TRUE(Echo(clients.back().get(), "before"));
  }
  FTransport.Stop();
  FTransport.SetPort(port);
  FTransport.Start();  // the server's side of the old connections sits in TIME_WAIT
  EXPECT_EQ(FTransport.BoundPort(), port);
  UniqueFd client = Connect(port);
  EXPECT_TRUE(Echo(client.get(), "after"));
}

TEST_F(TcpServerTransport, SilentClientKeepsItsConnection) {
  const std::uint16_t port = Start();
  UniqueFd silent = Connect(port);
  ASSERT_TRUE(WaitForHandlers(1));
  UniqueFd busy = Connect(port);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(Echo(busy.get(), "tick"));
  EXPECT_EQ(FTransport.ConnectionCount(), 2u);
  EXPECT_TRUE(Echo(silent.get(), "finally"));
}

TEST_F(TcpServerTransport, ClientVanishingMidMessageMakesReadRaiseConnectionLost) {
  const std::uint16_t port = Start();
  {
    UniqueFd client = Connect(port);
    ASSERT_TRUE(SendAll(client.get(), std::string("\x0A") + "abc"));  // 10 announced, 3 sent
  }
  ASSERT_TRUE(WaitForHandlers(1, 1));
  std::lock_guard lock(FProbe->Lock);
  ASSERT_EQ(FProbe->ReadErrors.size(), 1u);
  EXPECT_EQ(FProbe->ReadErrors[0], u"Connection lost");
  EXPECT_TRUE(FProbe->ConnectionLostSeen);
  EXPECT_EQ(FManager.SessionCount(), 0u);
}

TEST_F(TcpServerTransport, BytesSentJustBeforeClosingAreStillServed) {
  const std::uint16_t port = Start();
  UniqueFd client = Connect(port);
  ASSERT_TRUE(SendAll(client.get(), Frame("last words")));
  ::shutdown(client.get(), SHUT_WR);
  EXPECT_EQ(RecvExactly(client.get(), 10), "last words");
  EXPECT_TRUE(ClosedByServer(client.get()));
}

TEST_F(TcpServerTransport, ThreadLimitLeavesTheNextClientWaitingUntilAThreadIsFree) {
  FTransport.SetMaxThreads(1);
  FTransport.SetPoolSize(1);
  const std::uint16_t port = Start();
  UniqueFd first = Connect(port);
  ASSERT_TRUE(Echo(first.get(), "one"));
  UniqueFd second = Connect(port);  // completes in the backlog, not accepted
  ASSERT_TRUE(second);
  ASSERT_TRUE(SendAll(second.get(), Frame("two")));
  EXPECT_EQ(WaitForListenerError(FTransport),
            u"The maximum number of threads for this scheduler is exceeded.");
  EXPECT_EQ(FTransport.ConnectionCount(), 1u);
  EXPECT_TRUE(Echo(first.get(), "existing connection unaffected"));

  first.reset();
  EXPECT_EQ(RecvExactly(second.get(), 3), "two");
}

TEST_F(TcpServerTransport, StopReturnsWhileTheListenerWaitsAtTheThreadLimit) {
  FTransport.SetMaxThreads(1);
  const std::uint16_t port = Start();
  UniqueFd first = Connect(port);
  ASSERT_TRUE(Echo(first.get(), "one"));
  UniqueFd waiting = Connect(port);
  ASSERT_FALSE(WaitForListenerError(FTransport).empty());
  FTransport.Stop();
  EXPECT_TRUE(ClosedByServer(first.get()));
  EXPECT_TRUE(ClosedByServer(waiting.get()));  // never accepted; dropped with the listener
  EXPECT_EQ(FProbe->Created(), 1);
}

TEST_F(TcpServerTransport, KeepAliveIsAppliedOnlyWithAnOnConnectHandler) {
  const struct {
    const char* name;
    TDSKeepAliveEnablement enablement;
    bool onConnect;
    int keepAlive;
  } kCases[] = {
      {"enabled with handler", TDSKeepAliveEnablement::kaEnabled, true, 1},
      {"enabled without handler", TDSKeepAliveEnablement::kaEnabled, false, 0},
      {"default with handler", TDSKeepAliveEnablement::kaDefault, true, 0},
      {"disabled with handler", TDSKeepAliveEnablement::kaDisabled, true, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto probe = std::make_shared<TProbe>();
    TDSTCPServerTransport transport;
    transport.SetSessionManager(FManager);
    transport.SetPort(0);
    transport.SetProtocolHandlerFactory(std::make_unique<TEchoFactory>(probe, FManager));
    transport.SetKeepAliveEnablement(c.enablement);
    transport.SetKeepAliveTime(42000);
    int idleSeen = -1;
    if (c.onConnect) {
      transport.SetOnConnect([&](const TDSTCPConnectEventObject& e) {
        ASSERT_NE(e.Channel, nullptr);
        int value = 0;
        socklen_t length = sizeof value;
        ::getsockopt(e.Connection->Handle(), IPPROTO_TCP, TCP_KEEPIDLE, &value, &length);
        idleSeen = value;
      });
    }
    transport.Start();
    UniqueFd client = Connect(transport.BoundPort());
    ASSERT_TRUE(Echo(client.get(), "k"));
    {
      std::lock_guard lock(probe->Lock);
      EXPECT_EQ(probe->Handlers.at(0).KeepAlive, c.keepAlive);
    }
    transport.Stop();
    if (c.enablement == TDSKeepAliveEnablement::kaEnabled && c.onConnect) {
      EXPECT_EQ(idleSeen, 42);
    }
  }
}

TEST_F(TcpServerTransport, FailingEventHandlersAndFactoryEndOnlyTheirConnection) {
  FTransport.SetOnConnect(
      [](const TDSTCPConnectEventObject&) { throw Exception(std::string_view("no")); });
  FTransport.SetOnDisconnect(
      [](const TDSTCPDisconnectEventObject&) { throw std::runtime_error("no"); });
  const std::uint16_t port = Start();
  UniqueFd swallowed = Connect(port);
  EXPECT_TRUE(Echo(swallowed.get(), "connect handler failed quietly"));

  FFactory->FailNext = true;
  UniqueFd refused = Connect(port);
  EXPECT_TRUE(ClosedByServer(refused.get()));
  EXPECT_TRUE(WaitForPool(FTransport, [](const auto& s) { return s.Busy == 1; }));

  UniqueFd next = Connect(port);
  EXPECT_TRUE(Echo(next.get(), "served"));
  EXPECT_TRUE(Echo(swallowed.get(), "still served"));

  // The failed connect had entered the scope, and its thread still left it.
  FTransport.Stop();
  {
    std::lock_guard lock(FProbe->Lock);
    EXPECT_EQ(FProbe->FailedConnectDepths, std::vector<int>{1});
  }
  ExpectEveryConnectThreadEndedOutsideTheScope();
}

TEST_F(TcpServerTransport, DroppedFailuresGoToTheDiagnostics) {
  const TReportCapture capture;
  FTransport.SetOnConnect(
      [](const TDSTCPConnectEventObject&) { throw Exception(std::string_view("connect hook")); });
  FTransport.SetOnDisconnect(
      [](const TDSTCPDisconnectEventObject&) { throw std::runtime_error("disconnect hook"); });
  const std::uint16_t port = Start();
  {
    UniqueFd client = Connect(port);
    EXPECT_TRUE(Echo(client.get(), "served"));
    EXPECT_TRUE(capture.WaitFor(tcp_messages::kDiagnosticsSource, u"connect hook"));
  }
  EXPECT_TRUE(capture.WaitFor(tcp_messages::kDiagnosticsSource, u"disconnect hook"));
  // A peer that went away is no failure: its "Connection lost" is not reported.
  EXPECT_EQ(capture.Reports().size(), 2u);

  FFactory->FailNext = true;
  UniqueFd refused = Connect(port);
  EXPECT_TRUE(ClosedByServer(refused.get()));
  EXPECT_TRUE(capture.WaitFor(tcp_messages::kDiagnosticsSource, u"handler refused"));
}

// What a protocol handler is given: the filtered channel, over the TCP channel opened before.
// Without filters configured it passes plain bytes both ways.
TEST_F(TcpServerTransport, HandlerReadsThroughTheFilteredChannelOverTheOpenedTcpChannel) {
  FFactory->ReadFiltered = true;
  const std::uint16_t port = Start();
  UniqueFd client = Connect(port);
  EXPECT_TRUE(Echo(client.get(), "through the filter"));
  std::lock_guard lock(FProbe->Lock);
  ASSERT_EQ(FProbe->Created(), 1);
  const auto& record = FProbe->Handlers[0];
  EXPECT_TRUE(record.Filtered);
  EXPECT_TRUE(record.OpenedBeneath);
  EXPECT_EQ(record.PeerIP, u"127.0.0.1");  // the TCP channel's information shows through
  EXPECT_EQ(record.KeepAlive, -1);         // the handler did not see the TCP channel
}

TEST_F(TcpServerTransport, BurstOfConnectionsLeavesNoThreadDescriptorOrSessionBehind) {
  const std::size_t descriptors = OpenDescriptors();
  const std::size_t threads = ProcessThreads();
  const std::size_t sessions = FManager.SessionCount();
  const std::uint16_t port = Start();
  constexpr int kConnections = 300;
  for (int i = 0; i < kConnections; ++i) {
    UniqueFd client = Connect(port);
    ASSERT_TRUE(client);
    switch (i % 4) {
      case 0:
        break;  // silent
      case 1:
        ASSERT_TRUE(Echo(client.get(), "full"));
        break;  // served
      case 2:
        SendAll(client.get(),
                "\x7F"
                "partial");
        break;   // vanishes mid-message
      case 3: {  // abortive close (RST)
        linger hard{1, 0};
        ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        SendAll(client.get(), "\x02");
        break;
      }
    }
  }
  std::vector<UniqueFd> held;
  for (int i = 0; i < 20; ++i) held.push_back(Connect(port));  // still open at the stop
  ASSERT_TRUE(WaitForHandlers(kConnections + 20, kConnections));
  FTransport.Stop();
  held.clear();

  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(ProcessThreads(), threads);
  EXPECT_EQ(FManager.SessionCount(), sessions);
  std::lock_guard lock(FProbe->Lock);
  EXPECT_EQ(FProbe->Destroyed(), kConnections + 20);
}

TEST_F(TcpServerTransport, RepeatedStartAndStopAreHarmless) {
  FTransport.Stop();
  const std::uint16_t port = Start();
  FTransport.Start();  // the running server object stays
  EXPECT_EQ(FTransport.BoundPort(), port);
  UniqueFd client = Connect(port);
  EXPECT_TRUE(Echo(client.get(), "one server"));
  FTransport.Stop();
  FTransport.Stop();
  EXPECT_FALSE(FTransport.Active());
}

}  // namespace
