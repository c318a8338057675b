#include "transport/server/method_provider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/transport/server/probe_class.h"
#include "transport/dbx_error.h"
#include "transport/server/ds_admin.h"

namespace {

using namespace probe;

std::vector<Text> Aliases(const TDSServerMethodProvider& AProvider) {
  std::vector<Text> aliases;
  for (const auto& method : AProvider.Methods()) aliases.push_back(method->MethodAlias);
  return aliases;
}

// The code and message of the TDBXError AAction raises.
template <class TAction>
std::pair<int, Text> ErrorOf(TAction&& AAction) {
  try {
    AAction();
  } catch (const TDBXError& e) {
    return {e.ErrorCode(), e.Message()};
  }
  ADD_FAILURE() << "no TDBXError";
  return {-1, u""};
}

class MethodProviderTest : public testing::Test {
 protected:
  void SetUp() override { FServer.Server.Start(); }
  TDSServerMethodProvider& Provider() { return FServer.Provider(); }

  TProbeServer FServer;
};

TEST_F(MethodProviderTest, ListsBuiltInMethodsThenAttachedClassesInRegistrationOrder) {
  EXPECT_EQ(Aliases(Provider()), Concat(kBuiltInAliases, ProbeAliases()));
  for (const auto& method : Provider().Methods())
    EXPECT_EQ(method->SearchName, UpperCaseName(method->MethodAlias));

  const auto classes = Provider().Classes();
  ASSERT_EQ(classes.size(), 3u);
  struct Expected {
    Text Name, Unit, LifeCycle;
    bool Admin;
    TDSCustomServerClass* Component;
  };
  const Expected kExpected[] = {
      {u"DSAdmin", u"DSCommonServer", u"Session", true, nullptr},
      {u"DSMetadata", u"DSCommonServer", u"Session", true, nullptr},
      {u"TProbe", u"tests.Probe", u"Session", false, &FServer.ServerClass}};
  for (std::size_t i = 0; i < classes.size(); ++i) {
    SCOPED_TRACE(text::ToUtf8(kExpected[i].Name));
    EXPECT_EQ(classes[i]->ClassName, kExpected[i].Name);
    EXPECT_EQ(classes[i]->PackageName, u"");
    EXPECT_EQ(classes[i]->UnitName, kExpected[i].Unit);
    EXPECT_EQ(classes[i]->LifeCycle, kExpected[i].LifeCycle);
    EXPECT_EQ(classes[i]->IsAdminClass, kExpected[i].Admin);
    EXPECT_EQ(classes[i]->ServerClass, kExpected[i].Component);
  }
}

TEST_F(MethodProviderTest, ResolvesNamesInAnyCaseQuotedOrSpreadOverBlanksAndComments) {
  struct Case {
    const char* name;
    Text text;
    bool exactAlias;  // found by the first lookup (and so by HasServerMethod)
  };
  const Case kCases[] = {
      {"as registered", u"TProbe.Echo", true},
      {"lower case", u"tprobe.echo", true},
      {"upper case", u"TPROBE.ECHO", true},
      {"quoted parts", u"\"TProbe\".\"Echo\"", false},
      {"quoted, other case", u"\"tprobe\".\"ECHO\"", false},
      {"blanks around the point", u"TProbe . Echo", false},
      {"leading blanks, tabs and line breaks", u" \t\r\n TProbe.Echo", false},
      {"comment between the parts", u"TProbe.-- the method\nEcho", false},
      {"unterminated quote", u"\"TProbe.Echo", false},
      {"trailing semicolon", u"TProbe.Echo;", false},
  };
  const auto echo = Provider().FindMethod(u"TProbe.Echo");
  ASSERT_TRUE(echo);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Provider().ResolveMethod(c.text).Method, echo);
    EXPECT_EQ(Provider().HasServerMethod(c.text), c.exactAlias);
  }
}

TEST_F(MethodProviderTest, UnknownNamesRaise105WithTheTextLookedUpLast) {
  struct Case {
    const char* name;
    Text text;
    Text reported;
  };
  const Case kCases[] = {
      {"unknown method", u"TProbe.Nope", u"TProbe.Nope"},
      {"scanned name", u"\"TProbe\" . \"Nope\"(1)", u"TProbe.Nope"},
      {"dropped by the type filter", u"TProbe.DroppedUnknownType", u"TProbe.DroppedUnknownType"},
      {"constructor", u"TProbe.Create", u"TProbe.Create"},
      {"empty text", u"", u""},
      {"no identifier at all", u"(\"TProbe.Echo\")", u""},
      // Identifiers are joined for as long as they come, blanks or not.
      {"a second identifier after a blank", u"TProbe.Echo extra", u"TProbe.Echoextra"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto [code, message] = ErrorOf([&] { Provider().ResolveMethod(c.text); });
    EXPECT_EQ(code, 105);
    EXPECT_EQ(message, c.reported + u" method not found in the server method list");
  }
}

TEST_F(MethodProviderTest, LiteralArgumentsBecomeTextValuesFlaggedLiteral) {
  TDSServerConnection connection(&FServer.Server);
  struct Case {
    const char* name;
    Text text;
    std::vector<Text> values;  // of the leading parameters
  };
  const Case kCases[] = {
      {"two quoted texts", u"DSMetadata.GetProcedures(\"a\", \"b\")", {u"a", u"b"}},
      {"empty quoted texts", u"DSMetadata.GetProcedures(\"\", \"\")", {u"", u""}},
      {"identifiers and numbers", u"DSMetadata.GetProcedures(abc,12.5)", {u"abc", u"12.5"}},
      {"doubled quote inside", u"DSMetadata.GetProcedures(\"a\"\"b\")", {u"a\"b"}},
      {"list ends at a token without a comma", u"DSMetadata.GetProcedures(a b, c)", {u"a"}},
      {"nothing in parentheses", u"DSMetadata.GetProcedures()", {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto method = FServer.Prepare(connection, c.text);
    EXPECT_EQ(method->MethodInfo().MethodAlias, u"DSMetadata.GetProcedures");
    EXPECT_TRUE(method->ParameterTypeChanged());
    const auto& parameters = method->Parameters();
    ASSERT_EQ(parameters.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i) {
      if (i < c.values.size()) {
        EXPECT_EQ(parameters[i].Value, TDBXValue(c.values[i]));
        EXPECT_EQ(parameters[i].Flags, vtfLiteral);
      } else {
        EXPECT_TRUE(IsNull(parameters[i].Value));
        EXPECT_EQ(parameters[i].Flags, 0);
      }
    }
    EXPECT_EQ(parameters[2].Flags, 0);
  }

  EXPECT_FALSE(FServer.Prepare(connection, u"DSMetadata.GetProcedures")->ParameterTypeChanged());
  EXPECT_FALSE(
      FServer.Prepare(connection, u"\"DSMetadata\".GetProcedures")->ParameterTypeChanged());
  // More literals than parameters is an error of the request, not a write past the list.
  EXPECT_EQ(ErrorOf([&] { FServer.Prepare(connection, u"DSAdmin.GetPlatformName(\"x\")"); }).first,
            0);
}

TEST_F(MethodProviderTest, LifeCyclesAreComparedExactly) {
  const TDSClassDescription odd = ProbeClass(FServer.Log, nullptr, u"TOdd");
  for (const Text& lifeCycle : {Text(u"session"), Text(u"Pooled"), Text(u" Server")}) {
    SCOPED_TRACE(text::ToUtf8(lifeCycle));
    Provider().AddServerClass(odd, lifeCycle);
    TDSServerConnection connection(&FServer.Server);
    const auto [code, message] = ErrorOf([&] { FServer.Prepare(connection, u"TOdd.Echo"); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(message, u"Unknown LifeCycle:  " + lifeCycle);
    EXPECT_TRUE(Provider().DropServerClass(u"TOdd"));
  }
  EXPECT_EQ(FServer.Log.Made, 0);
}

TEST_F(MethodProviderTest, RunTimeClassesAndMethodsComeAndGoButStartOnesStay) {
  TProbeLog log;
  const TDSClassDescription extra = ProbeClass(log, nullptr, u"TExtra");
  Provider().AddServerClass(extra, u"Session", u"admin", u"pkg");
  const auto extraInfo = Provider().FindClass(u"TExtra");
  ASSERT_TRUE(extraInfo);
  EXPECT_EQ(extraInfo->RoleName, u"admin");
  EXPECT_EQ(extraInfo->PackageName, u"pkg");
  EXPECT_EQ(Aliases(Provider()),
            Concat(Concat(kBuiltInAliases, ProbeAliases()),
                   {u"TExtra.Echo", u"TExtra.Swap", u"TExtra.Fail", u"TExtra.Nothing",
                    u"TExtra.Serial", u"TExtra.Callback", u"TExtra.Table"}));

  // Adding what exists changes nothing.
  EXPECT_EQ(ErrorOf([&] { Provider().AddServerClass(extra, u"Session"); }),
            std::make_pair(102, Text(u"TExtra class has already been added to the server class "
                                     u"list")));
  EXPECT_EQ(ErrorOf([&] { Provider().AddServerMethod(u"tprobe.ECHO", u"TProbe", u"Echo"); }),
            std::make_pair(103, Text(u"tprobe.ECHO method has already been added to the server "
                                     u"method list")));
  EXPECT_EQ(ErrorOf([&] { Provider().AddServerMethod(u"TProbe.X", u"TProbe", u"Nope"); }).first,
            105);

  // A method added by name skips the type filter and fails when it is prepared.
  Provider().AddServerMethod(u"TProbe.Odd", u"TProbe", u"DroppedUnknownType");
  TDSServerConnection connection(&FServer.Server);
  try {
    FServer.Prepare(connection, u"TProbe.Odd");
    ADD_FAILURE() << "prepared a method with an unknown type";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Unknown data type: TPoint");
  }
  const auto odd = Provider().FindMethod(u"TProbe.Odd");
  EXPECT_TRUE(Provider().DropServerMethod(u"TPROBE.ODD"));
  EXPECT_FALSE(Provider().HasServerMethod(u"TProbe.Odd"));
  EXPECT_EQ(odd->MethodAlias, u"TProbe.Odd");  // still valid for whoever holds it

  // What the server registered at start stays: signing must not be switched off remotely.
  const auto before = Aliases(Provider());
  for (const Text& name : {Text(u"TProbe"), Text(u"DSAdmin")}) {
    EXPECT_EQ(ErrorOf([&] { Provider().DropServerClass(name); }),
              std::make_pair(0, name + u" was registered at server start and cannot be dropped"));
  }
  EXPECT_EQ(ErrorOf([&] { Provider().DropServerMethod(u"tprobe.echo"); }),
            std::make_pair(0, Text(u"TProbe.Echo was registered at server start and cannot be "
                                   u"dropped")));
  EXPECT_EQ(Aliases(Provider()), before);
  EXPECT_TRUE(Provider().FindClass(u"TProbe"));

  EXPECT_FALSE(Provider().DropServerMethod(u"TProbe.Unknown"));
  EXPECT_FALSE(Provider().DropServerClass(u"TUnknown"));
  EXPECT_TRUE(Provider().DropServerMethod(u"TExtra.Echo"));
  EXPECT_TRUE(Provider().DropServerClass(u"TExtra"));
  EXPECT_EQ(Aliases(Provider()), Concat(kBuiltInAliases, ProbeAliases()));
  EXPECT_FALSE(Provider().FindClass(u"TExtra"));
}

TEST_F(MethodProviderTest, LookupsSeeWholeTablesWhileAdministratorsChangeThem) {
  TProbeLog log;
  const TDSClassDescription extra = ProbeClass(log, nullptr, u"TExtra");
  const std::size_t base = Provider().Methods().size();
  const std::size_t withExtra = base + 7;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<long> lookups{0};

  std::atomic<int> started{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      ++started;
      while (!done) {
        if (!Provider().ResolveMethod(u"tprobe.echo").Method) ++torn;
        if (!Provider().HasServerMethod(u"TPROBE.SWAP")) ++torn;
        const std::size_t size = Provider().Methods().size();
        if (size != base && size != withExtra) ++torn;
        if (const auto found = Provider().FindMethod(u"TExtra.Table")) {
          if (found->ClassInfo->ClassName != u"TExtra") ++torn;
        }
        const auto classes = Provider().Classes();
        if (classes.size() < 3 || classes[2]->ClassName != u"TProbe") ++torn;
        ++lookups;
      }
    });
  }
  while (started < 3) std::this_thread::yield();
  // Enough rounds that the readers overlap many changes, however the threads are scheduled.
  for (int round = 0; round < 300 || (lookups < 3000 && round < 200000); ++round) {
    Provider().AddServerClass(extra, u"Session");
    Provider().DropServerClass(u"TExtra");
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GE(lookups.load(), 3000);
}

TEST(MethodProviderStart, RegistrationFailuresStopTheStart) {
  struct Case {
    const char* name;
    std::function<void(TProbeServer&, TDSServerClass&)> arrange;
    int code;
    Text message;
  };
  const Case kCases[] = {
      {"no OnGetClass", [](TProbeServer& s, TDSServerClass&) { s.ServerClass.OnGetClass = {}; }, 29,
       u"OnGetClass event not set or it did not provide a class reference"},
      {"OnGetClass gives nothing",
       [](TProbeServer& s, TDSServerClass&) {
         s.ServerClass.OnGetClass = [](TDSServerClass&, const TDSClassDescription*&) {};
       },
       29, u"OnGetClass event not set or it did not provide a class reference"},
      {"the same class twice",
       [](TProbeServer& s, TDSServerClass& second) {
         second.OnGetClass = s.ServerClass.OnGetClass;
         second.SetServer(&s.Server);
       },
       102, u"TProbe class has already been added to the server class list"},
      {"a built-in class name",
       [](TProbeServer& s, TDSServerClass& second) {
         second.OnGetClass = [](TDSServerClass&, const TDSClassDescription*& AClass) {
           AClass = &DSAdminClass();
         };
         second.SetServer(&s.Server);
       },
       102, u"DSAdmin class has already been added to the server class list"},
      {"a method alias twice",
       [](TProbeServer& s, TDSServerClass&) { s.Probe.Methods.push_back(s.Probe.Methods[0]); }, 103,
       u"TProbe.Echo method has already been added to the server method list"},
      {"an overriding method in parent and class",
       [](TProbeServer& s, TDSServerClass&) { s.Parent.Methods.push_back(s.Probe.Methods[1]); },
       103, u"TProbe.Swap method has already been added to the server method list"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TProbeServer server;
    TDSServerClass second;  // attached only by the cases that need it
    c.arrange(server, second);
    EXPECT_EQ(ErrorOf([&] { server.Server.Start(); }), std::make_pair(c.code, c.message));
    EXPECT_FALSE(server.Server.Started());
    EXPECT_EQ(server.Server.ServerMethodProvider(), nullptr);
  }
}

// The registry of a server whose built-in classes cannot all be loaded does not open: the
// loader's failure is error 104 with its message, and nothing of the attempt is published.
TEST(MethodProviderStart, ABuiltInClassThatCannotBeLoadedStopsTheOpen) {
  TProbeServer server;
  TDSServerMethodProvider provider(server.Server,
                                   [](const Text& AName) -> const TDSClassDescription& {
                                     if (AName == u"DSMetadata")
                                       throw Exception(std::string_view("package missing"));
                                     return BuiltInClass(AName);
                                   });
  EXPECT_EQ(ErrorOf([&] { provider.Open(); }), std::make_pair(104, Text(u"package missing")));
  EXPECT_FALSE(provider.IsOpen());
  EXPECT_TRUE(provider.Classes().empty());
  EXPECT_TRUE(provider.Methods().empty());
  EXPECT_EQ(provider.FindClass(u"DSAdmin"), nullptr);
}

}  // namespace
