#include "transport/server/ds_server.h"

#include <gtest/gtest.h>

#include "tests/transport/server/probe_class.h"
#include "transport/client/dbx_client.h"
#include "transport/dbx_error.h"
#include "transport/protocol/json_server_protocol_handler.h"
#include "transport/tcp/server_transport.h"

namespace {

using namespace probe;

// A component that writes its starts and stops into a shared journal and can refuse to start.
class TRecordingComponent : public TDSServerComponent {
 public:
  TRecordingComponent(std::string AName, std::vector<std::string>& AJournal)
      : FName(std::move(AName)), FJournal(AJournal) {}
  void Start() override {
    FJournal.push_back("start " + FName);
    if (Refuse) throw Exception(std::string_view("cannot start"));
  }
  void Stop() override { FJournal.push_back("stop " + FName); }
  bool Refuse = false;

 private:
  std::string FName;
  std::vector<std::string>& FJournal;
};

class NoProtocol : public TDSProtocolHandlerFactory {
 public:
  TDBXProtocolHandlerPtr CreateProtocolHandler(TDbxChannelPtr, TDSConnectionContext&) override {
    throw Exception(std::string_view("no protocol in this test"));
  }
};

TEST(DSServerTest, ComponentsAttachOnceAndLeaveWhenDestroyedOrMoved) {
  TDSServer server, other;
  std::vector<std::string> journal;
  TRecordingComponent a("a", journal);
  a.SetServer(&server);
  a.SetServer(&server);
  {
    TRecordingComponent b("b", journal);
    b.SetServer(&server);
    EXPECT_EQ(server.Components(), (std::vector<TDSServerComponent*>{&a, &b}));
  }
  EXPECT_EQ(server.Components(), std::vector<TDSServerComponent*>{&a});
  a.SetServer(&other);
  EXPECT_TRUE(server.Components().empty());
  EXPECT_EQ(other.Components(), std::vector<TDSServerComponent*>{&a});
  EXPECT_EQ(a.Server(), &other);
}

TEST(DSServerTest, StartStartsComponentsThenOpensTheRegistryAndStopUndoesBoth) {
  TProbeServer probe;
  std::vector<std::string> journal;
  TRecordingComponent transport("transport", journal);
  transport.SetServer(&probe.Server);
  probe.Server.Start();
  EXPECT_TRUE(probe.Server.Started());
  ASSERT_NE(probe.Server.ServerMethodProvider(), nullptr);
  EXPECT_TRUE(probe.Server.ServerMethodProvider()->HasServerMethod(u"TProbe.Echo"));
  probe.Server.Start();  // a second start does nothing
  EXPECT_EQ(journal, std::vector<std::string>{"start transport"});

  probe.Server.Stop();
  EXPECT_FALSE(probe.Server.Started());
  EXPECT_EQ(probe.Server.ServerMethodProvider(), nullptr);
  EXPECT_EQ(journal, (std::vector<std::string>{"start transport", "stop transport"}));
  probe.Server.Stop();
  EXPECT_EQ(journal.size(), 2u);

  // Restartable.
  probe.Server.Start();
  EXPECT_TRUE(probe.Server.ServerMethodProvider()->HasServerMethod(u"TProbe.Echo"));
}

TEST(DSServerTest, AFailedStartStopsTheComponentsAndLeavesNoRegistry) {
  struct Case {
    const char* name;
    bool refuseSecond;
    bool classWithoutGetClass;
    std::vector<std::string> journal;
    int code;
  };
  const Case kCases[] = {
      {"a transport refuses",
       true,
       false,
       {"start first", "start second", "stop first", "stop second"},
       -1},
      {"a class gives nothing",
       false,
       true,
       {"start first", "start second", "stop first", "stop second"},
       29},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TProbeServer probe;
    std::vector<std::string> journal;
    TRecordingComponent first("first", journal), second("second", journal);
    first.SetServer(&probe.Server);
    second.SetServer(&probe.Server);
    second.Refuse = c.refuseSecond;
    if (c.classWithoutGetClass) probe.ServerClass.OnGetClass = {};
    int code = -1;
    try {
      probe.Server.Start();
      ADD_FAILURE() << "started";
    } catch (const TDBXError& e) {
      code = e.ErrorCode();
    } catch (const Exception&) {
    }
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(journal, c.journal);
    EXPECT_FALSE(probe.Server.Started());
    EXPECT_EQ(probe.Server.ServerMethodProvider(), nullptr);
  }
}

TEST(DSServerTest, TheTcpTransportIsStartedAndStoppedWithItsServer) {
  TDSServer server;
  TDSTCPServerTransport transport;
  transport.SetPort(0);
  transport.SetProtocolHandlerFactory(std::make_unique<NoProtocol>());
  transport.SetServer(&server);
  server.Start();
  EXPECT_TRUE(transport.Active());
  server.Stop();
  EXPECT_FALSE(transport.Active());
}

// The transport serves connections from the moment it listens, while Start goes on to make the
// registry on its own thread: a connection resolves methods of the open registry only (a race
// that ThreadSanitizer reports when the registry is handed over unguarded).
TEST(DSServerTest, AConnectionRightAfterStartResolvesMethodsOfTheOpenRegistry) {
  TProbeServer probe;
  TDSTCPServerTransport transport;
  transport.SetPort(0);
  transport.SetProtocolHandlerFactory(std::make_unique<TDSJSONProtocolHandlerFactory>(transport));
  transport.SetServer(&probe.Server);
  probe.Server.Start();
  TDBXClient client("127.0.0.1", transport.BoundPort());
  client.Open();
  client.Connect();
  EXPECT_EQ(client.CallTextMethod(u"DSAdmin.GetPlatformName", {}), u"win32");
  probe.Server.Stop();
}

TEST(DSServerTest, OnlyLifeCyclesOtherThanSessionAreStored) {
  TDSServerClass serverClass;
  EXPECT_EQ(serverClass.LifeCycle(), u"Session");
  for (const auto& [lifeCycle, stored] : {std::pair<Text, bool>{u"Session", false},
                                          {u"SESSION", false},
                                          {u"Server", true},
                                          {u"Invocation", true},
                                          {u"", true}}) {
    serverClass.SetLifeCycle(lifeCycle);
    EXPECT_EQ(serverClass.LifeCycleStored(), stored) << text::ToUtf8(lifeCycle);
  }
}

}  // namespace
