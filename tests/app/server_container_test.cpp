#include "app/container/server_container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/container/sign_service_class.h"
#include "tests/transport/tcp/tcp_test_support.h"
#include "transport/server/method_provider.h"
#include "transport/server/server_connection.h"
#include "transport/server/server_method.h"

namespace {

TEST(ServerContainerTest, HoldsAStoppedServerWithItsTransportAndServiceClassAttached) {
  TSC sc;
  EXPECT_EQ(sc.dsSvr.Name(), u"dsSvr");
  EXPECT_FALSE(sc.dsSvr.Started());
  EXPECT_FALSE(sc.dsTCP.Active());
  EXPECT_EQ(sc.dsTCP.BoundPort(), 0) << "no port listens before the controller starts the server";
  EXPECT_EQ(sc.dsSvr.Components(),
            (std::vector<TDSServerComponent*>{&sc.dsTCP, &sc.DSServerClass1}));
  EXPECT_EQ(sc.dsTCP.Server(), &sc.dsSvr);
  EXPECT_EQ(sc.DSServerClass1.Server(), &sc.dsSvr);
  EXPECT_EQ(sc.DSServerClass1.LifeCycle(), u"Session");
  // Instances are made with the journal of refused signatures and the client's address.
  EXPECT_TRUE(sc.DSServerClass1.OnCreateInstance);
}

TEST(ServerContainerTest, TransportCompressesAbove1024BytesAndKeepsEveryOtherDefault) {
  TSC sc;
  TTransportFilterCollection& filters = sc.dsTCP.Filters();
  ASSERT_EQ(filters.Count(), 1);
  EXPECT_EQ(filters.GetItem(0)->GetFilterId(), u"ZLibCompression");
  EXPECT_EQ(filters.GetItem(0)->GetFilterProperties(),
            (TFilterProperties{{u"CompressMoreThan", u"1024"}}));
  // What every client receives in the filter negotiation.
  EXPECT_EQ(filters.GetItem(0)->GetFilter()->GetParameterValue(u"CompressMoreThan"), u"1024");
  EXPECT_EQ(
      filters.ToJSON(),
      R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"1024"}})");

  const TDSTCPServerTransport defaults;
  EXPECT_EQ(sc.dsTCP.Port(), defaults.Port());
  EXPECT_EQ(sc.dsTCP.PoolSize(), defaults.PoolSize());
  EXPECT_EQ(sc.dsTCP.MaxThreads(), defaults.MaxThreads());
  EXPECT_EQ(sc.dsTCP.BufferKBSize(), defaults.BufferKBSize());
  EXPECT_EQ(sc.dsTCP.KeepAliveEnablement(), defaults.KeepAliveEnablement());
  EXPECT_EQ(sc.dsTCP.KeepAliveTime(), defaults.KeepAliveTime());
  EXPECT_EQ(sc.dsTCP.KeepAliveInterval(), defaults.KeepAliveInterval());
  EXPECT_EQ(sc.dsTCP.AuthenticationManager(), nullptr);
  EXPECT_TRUE(sc.dsTCP.IPImplementationID().empty());
}

TEST(ServerContainerTest, OnGetClassGivesTheSignService) {
  TSC sc;
  const TDSClassDescription* given = nullptr;
  ASSERT_TRUE(sc.DSServerClass1.OnGetClass);
  sc.DSServerClass1.OnGetClass(sc.DSServerClass1, given);
  EXPECT_EQ(given, &SignServiceClass());
}

// Started, the container offers TSMSignService next to the built-in classes and nothing else;
// destroyed, it stops the server and ends its connections.
TEST(ServerContainerTest, StartedServerOffersTheSignServiceAndStopsWhenDestroyed) {
  auto probe = std::make_shared<tcptest::TProbe>();
  TDSSessionManager sessions;
  UniqueFd client;
  {
    TSC sc([](TLogLevel, const Text&) {});
    sc.dsTCP.SetSessionManager(sessions);
    sc.dsTCP.SetProtocolHandlerFactory(std::make_unique<tcptest::TEchoFactory>(probe, sessions));
    sc.dsTCP.SetPort(0);
    sc.dsSvr.Start();
    std::vector<Text> classes;
    for (const auto& c : sc.dsSvr.ServerMethodProvider()->Classes())
      classes.push_back(c->ClassName);
    EXPECT_EQ(classes, (std::vector<Text>{u"DSAdmin", u"DSMetadata", u"TSMSignService"}));

    // With a journal of its own, each connection's service is made by the container.
    ASSERT_TRUE(sc.DSServerClass1.OnCreateInstance);
    TDSServerConnection connection(&sc.dsSvr);
    const auto method = sc.dsSvr.ServerMethodProvider()->PrepareMethod(
        connection, u"TSMSignService.getListCertificate");
    EXPECT_NE(method->MethodInstance(), nullptr);

    client = tcptest::Connect(sc.dsTCP.BoundPort());
    ASSERT_TRUE(client);
    ASSERT_TRUE(probe->WaitFor([](tcptest::TProbe& p) { return p.Created() == 1; }));
  }
  EXPECT_TRUE(tcptest::ClosedByServer(client.get()));
  std::lock_guard lock(probe->Lock);
  EXPECT_EQ(probe->Destroyed(), 1);
}

}  // namespace
