#include "transport/server/server_method.h"

#include <gtest/gtest.h>

#include "tests/transport/server/probe_class.h"
#include "transport/dbx_error.h"
#include "transport/server/session_manager.h"

namespace {

using namespace probe;

struct TDescriptor {
  Text Name;
  int DataType;
  int SubType;
  int Direction;
  int Flags;
  friend bool operator==(const TDescriptor&, const TDescriptor&) = default;
  friend std::ostream& operator<<(std::ostream& AOut, const TDescriptor& AValue) {
    return AOut << text::ToUtf8(AValue.Name) << " " << AValue.DataType << "/" << AValue.SubType
                << " dir " << AValue.Direction << " flags " << AValue.Flags;
  }
};

std::vector<TDescriptor> Descriptors(const TDBXParameterList& AList) {
  std::vector<TDescriptor> out;
  for (const auto& p : AList) {
    EXPECT_EQ(p.Precision, 0);
    EXPECT_EQ(p.Scale, 0);
    EXPECT_EQ(p.Size, 0);
    EXPECT_EQ(p.ChildPosition, 0);
    out.push_back({p.Name, p.DataType, p.SubType, p.Direction, p.Flags});
  }
  return out;
}

Text MessageOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const Exception& e) {
    return e.Message();
  }
  return u"(nothing raised)";
}

class ServerMethodTest : public testing::Test {
 protected:
  explicit ServerMethodTest(Text ALifeCycle = u"Session") : FServer(std::move(ALifeCycle)) {}
  void SetUp() override { FServer.Server.Start(); }

  std::unique_ptr<TDSServerMethod> Prepare(TextView AText) {
    return FServer.Prepare(FConnection, AText);
  }

  TProbeServer FServer;
  TDSServerConnection FConnection{&FServer.Server};
};

TEST_F(ServerMethodTest, ParameterListsFollowTheDeclaredSignatures) {
  struct Case {
    const char* alias;
    std::vector<TDescriptor> parameters;
    bool hasOutOrReturn;
  };
  const Case kCases[] = {
      {"TProbe.Echo",
       {{u"AText", 26, 0, 1, 0}, {u"ANumber", 6, 0, 1, 0}, {u"ReturnParameter", 26, 0, 4, 0}},
       true},
      {"TProbe.Swap",
       {{u"AValue", 6, 0, 3, 0}, {u"AText", 26, 0, 2, 0}, {u"ReturnParameter", 4, 0, 4, 0}},
       true},
      {"TProbe.Nothing", {}, false},
      {"TProbe.Callback", {{u"ACallback", 38, 0, 1, 0}}, false},
      {"TProbe.Table", {{u"ATable", 23, 40, 1, 0}, {u"ReturnParameter", 23, 40, 4, 0}}, true},
      {"TProbe.Inherited", {{u"ReturnParameter", 26, 0, 4, 0}}, true},
      {"DSAdmin.ListClasses", {{u"ReturnParameter", 37, 0, 4, 0}}, true},
      {"DSAdmin.GetConnection",
       {{u"NewConName", 26, 0, 1, 0}, {u"ReturnParameter", 34, 0, 4, 0}},
       true},
      {"DSAdmin.CreateServerClasses", {{u"ClassReader", 23, 40, 1, 0}}, false},
      {"DSAdmin.ClearResources", {{u"ReturnParameter", 4, 0, 4, 0}}, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.alias);
    const auto method = Prepare(text::FromAscii(c.alias));
    EXPECT_EQ(Descriptors(method->Parameters()), c.parameters);
    EXPECT_EQ(method->HasOutOrReturn(), c.hasOutOrReturn);
    EXPECT_FALSE(method->ParameterTypeChanged());
  }
}

TEST_F(ServerMethodTest, ValueObjectsPassedByReferenceAreInOutValueParameters) {
  // Only a method added by name gets past the filter with such a parameter.
  FServer.Provider().AddServerMethod(u"TProbe.ValueOut", u"TProbe", u"DroppedValueOut");
  EXPECT_EQ(Descriptors(Prepare(u"TProbe.ValueOut")->Parameters()),
            (std::vector<TDescriptor>{{u"AValue", 6, 0, 3, 0}}));
  TDSClassDescription byReference = FServer.Probe;
  byReference.ClassName = u"TByReference";
  byReference.Methods = {Method(
      u"Take",
      {{u"AValue", TDSTypeDescription::Class(u"TDBXInt32Value", u"Data.DBXCommon", {u"TDBXValue"}),
        TDSParameterPassing::Reference}},
      std::nullopt)};
  FServer.Provider().AddServerClass(byReference, u"Session");
  FServer.Provider().AddServerMethod(u"TByReference.Take2", u"TByReference", u"Take");
  EXPECT_EQ(Descriptors(Prepare(u"TByReference.Take2")->Parameters()),
            (std::vector<TDescriptor>{{u"AValue", 6, 0, 3, 0x100}}));
}

TEST_F(ServerMethodTest, InvokeTakesInValuesAndSetsOutInOutAndReturnValues) {
  const auto echo = Prepare(u"TProbe.Echo");
  // A null text reaches the method as an empty text, and an empty result stays a text.
  echo->Invoke();
  ASSERT_EQ(FServer.Log.Calls.size(), 1u);
  EXPECT_EQ(FServer.Log.Calls[0], (std::vector<TDBXValue>{Text(), std::int64_t{0}}));
  EXPECT_EQ(echo->Parameters()[2].Value, TDBXValue(Text()));
  EXPECT_TRUE(IsNull(echo->Parameters()[0].Value));  // in values are left to the caller

  echo->Parameters()[0].Value = Text(u"<Rps/>");
  echo->Parameters()[1].Value = std::int64_t{-7};
  echo->Invoke();
  EXPECT_EQ(FServer.Log.Calls[1], (std::vector<TDBXValue>{Text(u"<Rps/>"), std::int64_t{-7}}));
  EXPECT_EQ(echo->Parameters()[2].Value, TDBXValue(Text(u"<Rps/>")));
  EXPECT_FALSE(echo->HasTableResult());

  const auto swap = Prepare(u"TProbe.Swap");
  swap->Parameters()[0].Value = std::int64_t{21};
  swap->Parameters()[1].Value = Text(u"stale");  // an out value never reaches the method
  swap->Invoke();
  EXPECT_EQ(FServer.Log.Calls[2], (std::vector<TDBXValue>{std::int64_t{21}, Text()}));
  EXPECT_EQ(swap->Parameters()[0].Value, TDBXValue(std::int64_t{42}));
  EXPECT_EQ(swap->Parameters()[1].Value, TDBXValue(Text(u"was 21")));
  EXPECT_EQ(swap->Parameters()[2].Value, TDBXValue(true));
}

TEST_F(ServerMethodTest, AFailingMethodLeavesTheParameterListAsItWas) {
  const auto fail = Prepare(u"TProbe.Fail");
  fail->Parameters()[0].Value = Text(u"before");
  fail->Parameters()[1].Value = Text(u"old result");
  const TDBXParameterList before = fail->Parameters();
  EXPECT_EQ(MessageOf([&] { fail->Invoke(); }), u"probe failed");
  ASSERT_EQ(fail->Parameters().size(), before.size());
  for (std::size_t i = 0; i < before.size(); ++i)
    EXPECT_EQ(fail->Parameters()[i].Value, before[i].Value);
  // The session instance stays for the next call.
  EXPECT_EQ(FServer.Log.Live(), 1);
}

TEST_F(ServerMethodTest, ArgumentsWithoutAFormAreRefused) {
  const auto callback = Prepare(u"TProbe.Callback");
  EXPECT_EQ(MessageOf([&] { callback->Invoke(); }), u"Unknown data type for parameter 0: 38");

  // Literal texts are parsed for numbers; one that is no number is an error of the request.
  const auto literal = Prepare(u"TProbe.Echo(\"x\", 12)");
  literal->Invoke();
  EXPECT_EQ(FServer.Log.Calls.back(), (std::vector<TDBXValue>{Text(u"x"), std::int64_t{12}}));
  const auto wrong = Prepare(u"TProbe.Echo(\"x\", abc)");
  EXPECT_EQ(MessageOf([&] { wrong->Invoke(); }), u"Invalid value for parameter 1: abc");
  EXPECT_EQ(FServer.Log.Calls.size(), 1u);
}

TEST_F(ServerMethodTest, TableParametersTakeTheReceivedTablesInOrder) {
  const auto table = Prepare(u"TProbe.Table");
  auto received = std::make_shared<TDBXTable>();
  received->Columns.push_back({u"C", 26});
  // The row only says a table follows; the table itself came with the request.
  table->Parameters()[0].Value = Text(u"placeholder");
  EXPECT_EQ(MessageOf([&] { table->Invoke(); }), u"No table was received for parameter 0");
  table->Invoke({received});
  EXPECT_EQ(table->Parameters()[1].Value, TDBXValue(TDBXTablePtr(received)));
  EXPECT_TRUE(table->HasTableResult());

  table->Parameters()[0].Value = TDBXValue();
  table->Invoke({received});
  EXPECT_TRUE(IsNull(table->Parameters()[1].Value));
}

TEST_F(ServerMethodTest, BuiltInMethodsKnowTheirConnectionAndServer) {
  struct Case {
    const char* alias;
    Text result;
  };
  for (const auto& c :
       {Case{"DSAdmin.GetPlatformName", u"win32"}, Case{"DSAdmin.GetDSServerName", u"dsSvr"},
        Case{"DSMetadata.GetDSServerName", u"dsSvr"}}) {
    SCOPED_TRACE(c.alias);
    const auto method = Prepare(text::FromAscii(c.alias));
    method->Invoke();
    EXPECT_EQ(method->Parameters().back().Value, TDBXValue(c.result));
  }
}

TEST(BuiltInClassTest, ServerNameIsEmptyForAServerThatIsNoTDSServer) {
  TDSCustomServer server;
  server.SetName(u"custom");
  server.Start();
  TDSServerConnection connection(&server);
  const auto method =
      server.ServerMethodProvider()->PrepareMethod(connection, u"DSAdmin.GetDSServerName");
  method->Invoke();
  EXPECT_EQ(method->Parameters().back().Value, TDBXValue(Text()));
}

TEST_F(ServerMethodTest, SessionInstancesBelongToTheirConnection) {
  {
    TDSServerConnection other(&FServer.Server);
    const auto first = Prepare(u"TProbe.Serial");
    const auto second = Prepare(u"tprobe.echo");
    const auto elsewhere = FServer.Prepare(other, u"TProbe.Serial");
    EXPECT_EQ(first->MethodInstance(), second->MethodInstance());
    EXPECT_NE(first->MethodInstance(), elsewhere->MethodInstance());
    EXPECT_EQ(FServer.Log.Made, 2);
    first->Invoke();
    elsewhere->Invoke();
    EXPECT_EQ(first->Parameters()[0].Value, TDBXValue(std::int64_t{1}));
    EXPECT_EQ(elsewhere->Parameters()[0].Value, TDBXValue(std::int64_t{2}));
  }
  // Commands come and go; the instance stays until its connection ends.
  EXPECT_EQ(FServer.Log.Destroyed, std::vector<int>{2});
  Prepare(u"TProbe.Nothing")->Invoke();
  EXPECT_EQ(FServer.Log.Made, 2);
  FConnection.FreeInstanceProvider();
  EXPECT_EQ(FServer.Log.Destroyed, (std::vector<int>{2, 1}));
}

TEST_F(ServerMethodTest, AConnectionFreesItsInstancesNewestFirst) {
  TDSClassDescription second = ProbeClass(FServer.Log, nullptr, u"TSecond");
  FServer.Provider().AddServerClass(second, u"Session");
  {
    TDSServerConnection connection(&FServer.Server);
    FServer.Prepare(connection, u"TProbe.Nothing");
    FServer.Prepare(connection, u"TSecond.Nothing");
    FServer.Prepare(connection, u"DSAdmin.GetPlatformName");
    EXPECT_EQ(connection.InstanceProvider().Count(), 3u);
    EXPECT_TRUE(FServer.Log.Destroyed.empty());
  }
  EXPECT_EQ(FServer.Log.Destroyed, (std::vector<int>{2, 1}));
}

class ServerLifeCycleTest : public ServerMethodTest {
 protected:
  ServerLifeCycleTest() : ServerMethodTest(u"Server") {}
};

TEST_F(ServerLifeCycleTest, OneInstanceServesEveryConnectionUntilTheServerStops) {
  {
    TDSServerConnection other(&FServer.Server);
    const auto a = Prepare(u"TProbe.Serial");
    const auto b = FServer.Prepare(other, u"TProbe.Serial");
    EXPECT_EQ(a->MethodInstance(), b->MethodInstance());
  }
  FConnection.FreeInstanceProvider();
  EXPECT_EQ(FServer.Log.Live(), 1);
  FServer.Server.Stop();
  EXPECT_EQ(FServer.Log.Destroyed, std::vector<int>{1});
}

class InvocationLifeCycleTest : public ServerMethodTest {
 protected:
  InvocationLifeCycleTest() : ServerMethodTest(u"Invocation") {}
};

TEST_F(InvocationLifeCycleTest, EveryExecutionGetsAFreshInstance) {
  auto method = Prepare(u"TProbe.Serial");
  EXPECT_TRUE(method->HasInvocationLifeCycle());
  method->Invoke();
  EXPECT_EQ(method->Parameters()[0].Value, TDBXValue(std::int64_t{1}));
  for (std::int64_t serial = 2; serial <= 3; ++serial) {
    method->RenewInstance();  // before every execution after the first
    method->Invoke();
    EXPECT_EQ(method->Parameters()[0].Value, TDBXValue(serial));
  }
  EXPECT_EQ(FServer.Log.Destroyed, (std::vector<int>{1, 2}));
  method->DestroyInstance();  // after the execution
  EXPECT_EQ(method->MethodInstance(), nullptr);
  EXPECT_EQ(FServer.Log.Live(), 0);
  method->Invoke();  // obtains its own
  EXPECT_EQ(method->Parameters()[0].Value, TDBXValue(std::int64_t{4}));
  method.reset();
  EXPECT_EQ(FServer.Log.Live(), 0);
  EXPECT_FALSE(FConnection.HasInstanceProvider());
}

TEST_F(ServerMethodTest, ServerClassHooksMayMakeAndTakeInstances) {
  TProbeLog hookLog;
  std::vector<void*> handedBack;
  FServer.ServerClass.OnCreateInstance = [&](TDSCreateInstanceEventObject& AEvent) {
    EXPECT_EQ(AEvent.Class, &FServer.Probe);
    EXPECT_EQ(AEvent.Connection, &FConnection);
    AEvent.ServerClassInstance = MakeInstance<TProbe>(hookLog);
  };
  FServer.ServerClass.OnDestroyInstance = [&](TDSDestroyInstanceEventObject& AEvent) {
    handedBack.push_back(AEvent.ServerClassInstance.get());
    if (handedBack.size() == 1) AEvent.ServerClassInstance.reset();  // the hook frees it
  };
  const auto method = Prepare(u"TProbe.Nothing");
  void* instance = method->MethodInstance();
  FConnection.FreeInstanceProvider();
  EXPECT_EQ(FServer.Log.Made, 0);
  EXPECT_EQ(hookLog.Made, 1);
  EXPECT_EQ(hookLog.Destroyed, std::vector<int>{1});
  EXPECT_EQ(handedBack, std::vector<void*>{instance});
}

}  // namespace

namespace {

TEST_F(ServerMethodTest, PrepareHooksRunOnlyForAConnectionWithASession) {
  std::vector<Text> seen;
  FServer.ServerClass.OnPrepare = [&](TDSPrepareEventObject& AEvent) {
    seen.push_back(u"class " + AEvent.MethodAlias + u" " + AEvent.UserName);
  };
  FServer.Server.OnPrepare = [&](TDSPrepareEventObject& AEvent) {
    seen.push_back(u"server " + AEvent.MethodAlias + u" " + AEvent.Method->MethodName());
  };
  Prepare(u"tprobe.echo");
  EXPECT_TRUE(seen.empty());

  auto session = std::make_shared<TDSTCPSession>(nullptr);
  session->SetUserName(u"maria");
  FConnection.Context().SetSession(session);
  Prepare(u"tprobe.echo");
  Prepare(u"DSAdmin.GetPlatformName");  // built-in classes have no class hook
  FConnection.Context().ClearSession();
  EXPECT_EQ(seen, (std::vector<Text>{u"class TProbe.Echo maria", u"server TProbe.Echo Echo",
                                     u"server DSAdmin.GetPlatformName GetPlatformName"}));
}

}  // namespace
