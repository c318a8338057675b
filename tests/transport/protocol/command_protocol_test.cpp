// The command protocol end to end: real TCP transport, raw request bytes, replies compared byte
// for byte. Most tests talk through a filtered channel with the compression filter, so each
// server flush arrives as one block; the worked exchange also runs on a plain socket.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/signature_check.h"
#include "tests/support/test_certificates.h"
#include "tests/transport/protocol/protocol_test_support.h"
#include "transport/protocol/json_server_protocol_handler.h"

using namespace prototest;

namespace {

const std::string kSignDocumentParameters =
    R"({"parameters":[3,[26,0,1,0,0,"AXMLNF",0,0,0],[26,0,1,0,0,"ASerialNumber",0,0,0],)"
    R"([26,0,4,0,0,"ReturnParameter",0,0,0]]})";
const std::string kListParameters = R"({"parameters":[1,[26,0,4,0,0,"ReturnParameter",0,0,0]]})";

std::string PrepareReply(int AHandle, std::string_view AParameters) {
  std::string reply =
      "{\"result\":[{\"handle\":[" + std::to_string(AHandle) + "]},{\"fields\":[0,false]}";
  if (!AParameters.empty()) {
    reply += ',';
    reply.append(AParameters);
  }
  reply.append("]}");
  return reply;
}

std::string ExecuteReply(std::string_view ARow) {
  return R"({"result":[{"rows":[0]},{"data":[)" + std::to_string(ARow.size()) + "," +
         std::string(ARow) + "]}]}";
}

const std::string kList = Prepare("TSMSignService.getListCertificate");
const std::string kListRow = TextField(echo_service::kCertificateList);

template <class TPredicate>
bool WaitUntil(TPredicate APredicate) {
  const auto deadline = std::chrono::steady_clock::now() + tcptest::kWait;
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A connected client.
TClient Connected(const TProtocolServer& AServer, bool AFiltered = true) {
  TClient client(AServer.Port(), AFiltered);
  client.Send(kConnect);
  EXPECT_EQ(client.ReceiveExactly(kConnectReply.size()), kConnectReply);
  return client;
}

// The worked exchange: connect, prepare, execute with two short texts, close, disconnect; then
// the socket still serves a connect and the closed slot is given out again.
void RunWorkedExchange(TProtocolServer& AServer, bool AFiltered) {
  TClient client(AServer.Port(), AFiltered);
  const auto exchange = [&](const std::string& ARequest, const std::string& AReply) {
    client.Send(ARequest);
    EXPECT_EQ(client.ReceiveExactly(AReply.size()), AReply) << ARequest;
  };
  exchange(kConnect, kConnectReply);
  const std::string prepare = Prepare("TSMSignService.SignDocument");
  EXPECT_EQ(prepare, R"({"method":"prepare","params":[-1,false,"DataSnap.ServerMethod",)"
                     R"("TSMSignService.SignDocument"]})");
  exchange(prepare, PrepareReply(0, kSignDocumentParameters));
  const std::string row =
      "\x26<Rps/>\x26"
      "1A2B3C";
  exchange(Execute(0, row), R"({"result":[{"rows":[0]},{"data":[9,)"
                            "\xC0\xC0\x26<Rps/>]}]}");
  client.Send(Request("command_close", "0"));
  client.Send(Request("disconnect", "0"));
  // The connection leaves the transport's table, the socket stays open.
  ASSERT_TRUE(WaitUntil([&] { return AServer.Transport.ServerConnections().At(1) == nullptr; }));
  exchange(kConnect, kConnectReply);
  exchange(prepare, PrepareReply(0, kSignDocumentParameters));
}

TEST(CommandProtocol, WorkedExchangeByteForByteOnAPlainSocket) {
  TProtocolServer server({.Compression = false});
  RunWorkedExchange(server, false);
}

TEST(CommandProtocol, WorkedExchangeThroughCompressedBlocks) {
  // Every reply longer than 10 bytes travels deflated.
  TProtocolServer server({.CompressMoreThan = u"10"});
  RunWorkedExchange(server, true);
}

TEST(CommandProtocol, PrepareRepliesOfTheServiceMethods) {
  TProtocolServer server({.RealService = true});
  TClient list = Connected(server);
  EXPECT_EQ(list.Exchange(kList), PrepareReply(0, kListParameters));
  EXPECT_EQ(list.Exchange(Prepare("TSMSignService.SignDocument")),
            PrepareReply(1, kSignDocumentParameters));
  TClient sign = Connected(server);
  EXPECT_EQ(sign.Exchange(Prepare("tsmsignservice.SIGNDOCUMENT")),
            PrepareReply(0, kSignDocumentParameters));
  // A method without parameters and result has no parameters object.
  TClient echo = Connected(server);
  EXPECT_EQ(echo.Exchange(Prepare("DSAdmin.ClearResources")),
            PrepareReply(0, R"({"parameters":[1,[4,0,4,0,0,"ReturnParameter",0,0,0]]})"));
}

TEST(CommandProtocol, SmallRepliesAndRequestsWithoutReply) {
  TProtocolServer server;
  TClient client = Connected(server);
  ASSERT_EQ(client.Exchange(kList), PrepareReply(0, kListParameters));
  struct Case {
    const char* name;
    std::string request;
    std::string reply;  // empty: none; the next request's reply must come next
  };
  const Case kCases[] = {
      {"txbegin", Request("txbegin", "0"), R"({"result":[0]})"},
      {"txend", Request("txend", "true,0"), R"({"result":[]})"},
      {"vendor_property", Request("vendor_property", R"("Example")"), R"({"result":[""]})"},
      {"next_result", Request("next_result", "0"), R"({"result":[false,0,false,-1]})"},
      {"session", Request("session", "1"), ""},
      {"callback", Request("callback", R"({"a":[1,2]})"), ""},
      {"unknown method", Request("nothing_like_it", R"("x")"), ""},
      {"reader_close", Request("reader_close", "0"), ""},
      {"reader_close with command", Request("reader_close", "5,0"), ""},
      {"metadata that is no object", R"({"metadata":[2,[]]})", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.reply.empty()) {
      client.Send(c.request);
      EXPECT_EQ(client.Exchange(Request("txbegin", "0")), R"({"result":[0]})");
    } else {
      EXPECT_EQ(client.Exchange(c.request), c.reply);
    }
  }
  // The connection still executes its command.
  EXPECT_EQ(client.Exchange(Execute(0, "")), ExecuteReply(kListRow));
}

TEST(CommandProtocol, ErrorRepliesHaveOneClosingBraceAndKeepTheConnection) {
  TProtocolServer server;
  TClient client = Connected(server);
  const std::string failRow = TextField(u"falhou: \"x\"\r");
  struct Case {
    const char* name;
    std::string request;
    std::string reply;
  };
  const Case kCases[] = {
      {"close of a negative handle", Request("command_close", "-1"),
       DbxError(4, "Command closed or executed again")},
      {"close of a handle never given", Request("command_close", "99"),
       DbxError(29, "Invalid command handle:  99")},
      {"next_result on the largest handle", Request("next_result", "2147483647"),
       DbxError(29, "Invalid command handle:  2147483647")},
      {"unrecognized command type", Prepare("select 1", "Dbx.SQL"),
       DbxError(30, "Dbx.SQL is an unrecognized command type")},
      {"unknown method takes slot 0", Prepare("TSMSignService.Nope"),
       DbxError(105, "TSMSignService.Nope method not found in the server method list")},
      {"the next command gets slot 1", kList, PrepareReply(1, kListParameters)},
      {"execute of the slot without a method", Request("execute", R"({"handle":[0]})"),
       DbxError(105, " method not found in the server method list")},
      {"more_blob naming no row", Request("more_blob", "1,1,0,0"),
       DbxError(30, "No row with handle -1 in command 1")},
      {"more_blob naming a table row that is not there", Request("more_blob", "1,1,0,0,true,5"),
       DbxError(30, "No row with handle 5 in command 1")},
      {"more_blob of a value that fitted", Request("more_blob", "1,1,0,0,true,0"),
       DbxError(30, "No more data for ordinal 0 of row 0 in command 1")},
      {"more_blob of a negative ordinal", Request("more_blob", "1,1,0,-7,true,0"),
       DbxError(30, "No more data for ordinal -7 of row 0 in command 1")},
      {"more_blob of a negative row", Request("more_blob", "1,1,-1,0,true,0"),
       DbxError(30, "Invalid row number:  -1")},
      {"next of a table that is not there", Request("next", "1,0,1"),
       DbxError(30, "No row with handle 1 in command 1")},
      {"negative descriptor count",
       Request("prepare", R"(-1,false,"DataSnap.ServerMethod","x",{"parameters":[-1]})"),
       DbxError(2, "Invalid parameter count:  -1")},
      {"huge descriptor count",
       Request("prepare", R"(-1,false,"DataSnap.ServerMethod","x",{"parameters":[99999999]})"),
       DbxError(2, "Invalid parameter count:  99999999")},
      {"table parameter", Request("execute", R"({"handle":[1]},{"table":[{"fields":[1]}]})"),
       DbxError(30, "Table parameters are not accepted by this server")},
      {"prepare of the failing method", Prepare("TSMSignService.Fail"),
       PrepareReply(2, R"({"parameters":[1,[26,0,1,0,0,"AText",0,0,0]]})")},
      {"a method that raises", Execute(2, failRow), Error("Exception", 5, R"(falhou: \"x\"\r)")},
      {"the connection goes on", Execute(1, ""), ExecuteReply(kListRow)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(client.Exchange(c.request), c.reply);
  }
}

TEST(CommandProtocol, RequestsBeforeConnectAreRefusedAndTheConnectionStays) {
  TProtocolServer server;
  TClient client(server.Port(), true);
  for (const char* request : {"prepare", "execute", "txbegin", "txend", "vendor_property"}) {
    SCOPED_TRACE(request);
    const std::string_view name = request;
    const std::string sent = name == "prepare"   ? kList
                             : name == "execute" ? Request("execute", R"({"handle":[-1]})")
                             : name == "txbegin" ? Request(request, "0")
                             : name == "txend"   ? Request(request, "true,0")
                                                 : Request(request, R"("x")");
    EXPECT_EQ(client.Exchange(sent),
              DbxError(30, std::string(request) + " is not allowed before a successful connect"));
  }
  EXPECT_EQ(client.Exchange(kConnect), kConnectReply);
  EXPECT_EQ(client.Exchange(kList), PrepareReply(0, kListParameters));
}

TEST(CommandProtocol, CommandHandlesAreTheLowestFreeSlotsAndTheTableGrows) {
  TProtocolServer server;
  TClient client = Connected(server);
  EXPECT_EQ(client.Exchange(kList), PrepareReply(0, kListParameters));
  EXPECT_EQ(client.Exchange(kList), PrepareReply(1, kListParameters));
  client.Send(Request("command_close", "0"));
  EXPECT_EQ(client.Exchange(kList), PrepareReply(0, kListParameters));
  for (int handle = 2; handle <= 16; ++handle)
    ASSERT_EQ(client.Exchange(kList), PrepareReply(handle, kListParameters));
  // The seventeenth open command: past the 16 first slots.
  EXPECT_EQ(client.Exchange(Execute(16, "")), ExecuteReply(kListRow));
  // A prepare on an existing handle prepares it again in place.
  EXPECT_EQ(client.Exchange(Prepare("TSMSignService.SignDocument", "DataSnap.ServerMethod", 16)),
            PrepareReply(16, kSignDocumentParameters));
  // An execute with fields runs in the lowest free slot; its reply carries no handle.
  client.Send(Request("command_close", "3"));
  EXPECT_EQ(
      client.Exchange(Request(
          "execute",
          R"({"fields":[-1,false,"DataSnap.ServerMethod","TSMSignService.getListCertificate"]})")),
      ExecuteReply(kListRow));
  EXPECT_EQ(client.Exchange(kList), PrepareReply(17, kListParameters));
}

TEST(CommandProtocol, CallAndStoredProcedureTextsBecomeServerMethods) {
  TProtocolServer server;
  TClient client = Connected(server);
  const struct {
    const char* type;
    const char* command;
  } kCases[] = {
      {"Dbx.StoredProcedure", "CALL TSMSignService.getListCertificate"},
      {"DataSnap.ServerMethod", " \tcall\nTSMSignService.getListCertificate"},
      {"Dbx.StoredProcedure", "TSMSignService.getListCertificate"},
      {"datasnap.servermethod", "TSMSignService.getListCertificate"},
  };
  int handle = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(client.Exchange(Prepare(c.command, c.type)), PrepareReply(handle, kListParameters));
    EXPECT_EQ(client.Exchange(Execute(handle, "")), ExecuteReply(kListRow));
    ++handle;
  }
  EXPECT_EQ(client.Exchange(Prepare("CALL TSMSignService.Nope", "Dbx.StoredProcedure")),
            DbxError(30, "Dbx.StoredProcedure is an unrecognized command type"));
}

TEST(CommandProtocol, MetaDataCommandsReachTheMetadataMethods) {
  TProtocolServer server;
  TClient client = Connected(server);
  EXPECT_EQ(client.Exchange(Prepare("GetDatabase", "Dbx.MetaData")),
            PrepareReply(0, R"({"parameters":[1,[23,40,4,0,0,"ReturnParameter",0,0,0]]})"));
  // The metadata method runs: a table result, or the error of the method itself.
  const std::string reply = client.Exchange(Execute(0, ""));
  EXPECT_TRUE(reply.starts_with(R"({"result":[{"rows":[0]},{"table":[)") ||
              reply.find("DSMetadata.GetDatabase") != std::string::npos)
      << reply;
  EXPECT_EQ(client.Exchange(Prepare(R"(GETPROCEDURES \"Sign\".Doc* x.y)", "Dbx.MetaData")),
            PrepareReply(1, R"({"parameters":[3,[26,0,1,0,0,"ProcedureNamePattern",0,0,512,)"
                            R"("Sign.Doc"],[26,0,1,0,0,"ProcedureType",0,0,512,"x.y"],)"
                            R"([23,40,4,0,0,"ReturnParameter",0,0,0]]})"));
  EXPECT_EQ(client.Exchange(Prepare("GetProcedureParameters a.b", "Dbx.MetaData")),
            PrepareReply(2, R"({"parameters":[2,[26,0,1,0,0,"ProcedureNamePattern",0,0,512,)"
                            R"("a.b"],[23,40,4,0,0,"ReturnParameter",0,0,0]]})"));
  // The type is compared exactly.
  EXPECT_EQ(client.Exchange(Prepare("GetDatabase", "dbx.metadata")),
            DbxError(30, "dbx.metadata is an unrecognized command type"));
}

TEST(CommandProtocol, TableResultsComeWithTheirHeadersAndPageWithNext) {
  TProtocolServer server;
  TClient client = Connected(server);
  ASSERT_EQ(
      client.Exchange(Prepare("TTables.Rows")),
      PrepareReply(0, R"({"parameters":[3,[6,0,1,0,0,"ACount",0,0,0],)"
                      R"([6,0,1,0,0,"AWidth",0,0,0],[23,40,4,0,0,"ReturnParameter",0,0,0]]})"));
  const std::string header =
      R"({"result":[{"rows":[0]},{"table":[{"fields":[0,false,1,0,true]},)"
      R"({"columns":[2,["Number",6,0,0,0,0,0,2],["Text",26,0,0,0,0,0,2]]}]}]})";
  const std::string rows = std::string(
      "\x60\x22"
      "aa\x61\x01\x22"
      "bb\x61\x02\x22"
      "cc",
      14);
  EXPECT_EQ(client.Exchange(Execute(0, std::string("\x61\x03\x61\x02", 4))),
            header + "{\"data\":[-14," + rows + "]}");

  // Large tables come in blocks of about the row buffer's minimum size.
  const std::string reply = client.Exchange(Execute(0, std::string("\x62\x0B\xB8\x61\x14", 5)));
  ASSERT_TRUE(reply.starts_with(header + "{\"data\":[")) << reply.substr(0, 200);
  const auto blockCount = [](std::string_view ABlock) {
    const std::size_t start = ABlock.find("{\"data\":[") + 9;
    return std::stoll(std::string(ABlock.substr(start, ABlock.find(',', start) - start)));
  };
  long long total = blockCount(reply);
  EXPECT_GT(total, 30000);
  int blocks = 1;
  for (long long count = total; count > 0; ++blocks) {
    const std::string next = client.Exchange(Request("next", "1,0,0"));
    ASSERT_TRUE(next.starts_with("{\"data\":[")) << next.substr(0, 200);
    count = blockCount(next);
    total += count < 0 ? -count : count;
    ASSERT_LT(blocks, 10);
  }
  EXPECT_EQ(blocks, 3);
  // Texts take 21 bytes; row numbers 1 (zero), 2 (up to 255) or 3 bytes.
  EXPECT_EQ(total, 3000 * 21 + 1 + 255 * 2 + (3000 - 256) * 3);
  // A table read to its end has nothing more.
  EXPECT_EQ(client.Exchange(Request("next", "1,0,0")), R"({"data":[0]})");

  ASSERT_EQ(client.Exchange(Prepare("TTables.Empty")),
            PrepareReply(1, R"({"parameters":[1,[23,40,4,0,0,"ReturnParameter",0,0,0]]})"));
  const std::string emptyHeader =
      R"({"result":[{"rows":[0]},{"table":[{"fields":[1,false,1,0,true]},)"
      R"({"columns":[2,["Number",6,0,0,0,0,0,2],["Text",26,0,0,0,0,0,2]]}]}]})";
  EXPECT_EQ(client.Exchange(Execute(1, "")), emptyHeader + R"({"data":[0]})");
}

TEST(CommandProtocol, InvocationMetadataGoesBackAheadOfTheNextReply) {
  TProtocolServer server;
  TClient client = Connected(server);
  ASSERT_EQ(client.Exchange(kList), PrepareReply(0, kListParameters));
  client.Send(R"({"metadata":[9,{"k":"v"}]})");
  EXPECT_EQ(client.Exchange(Execute(0, "")),
            R"({"metadata":[9,{"k":"v"}]})" + ExecuteReply(kListRow));
  EXPECT_EQ(client.Exchange(Execute(0, "")), ExecuteReply(kListRow));
}

// A connection's metadata is not echoed to another connection served later by the same
// thread; within its connection it waits for the next execute, in whatever block that comes.
TEST(CommandProtocol, InvocationMetadataStaysWithItsConnection) {
  // One thread serves every connection.
  TProtocolServer server({.MaxThreads = 1, .PoolSize = 1});
  {
    TClient first = Connected(server);
    first.Send(R"({"metadata":[9,{"k":"v"}]})");
    ASSERT_EQ(first.Exchange(kList), PrepareReply(0, kListParameters));
  }
  ASSERT_TRUE(server.WaitForNoSession());
  TClient second = Connected(server);
  ASSERT_EQ(second.Exchange(kList), PrepareReply(0, kListParameters));
  EXPECT_EQ(second.Exchange(Execute(0, "")), ExecuteReply(kListRow));

  second.Send(R"({"metadata":[9,{"a":"b"}]})");
  ASSERT_EQ(second.Exchange(Prepare("TTables.Empty")),
            PrepareReply(1, R"({"parameters":[1,[23,40,4,0,0,"ReturnParameter",0,0,0]]})"));
  EXPECT_EQ(second.Exchange(Execute(0, "")),
            R"({"metadata":[9,{"a":"b"}]})" + ExecuteReply(kListRow));
}

TEST(CommandProtocol, PipelinedRequestsInOneBlockAreAllAnswered) {
  TProtocolServer server;
  TClient client(server.Port(), true);
  client.Send(kConnect + kList + Request("txbegin", "0"));
  EXPECT_EQ(client.Receive(), kConnectReply);
  EXPECT_EQ(client.Receive(), PrepareReply(0, kListParameters));
  EXPECT_EQ(client.Receive(), R"({"result":[0]})");

  TProtocolServer plain({.Compression = false});
  TClient raw(plain.Port(), false);
  const std::string replies = kConnectReply + R"({"result":[0]})";
  raw.Send(kConnect + "\r\n " + Request("txbegin", "0"));
  EXPECT_EQ(raw.ReceiveExactly(replies.size()), replies);
}

// A wrongly typed argument used to make the server skip to the end of the request object past
// the request, waiting for (and swallowing) the client's next request: the client waited for
// an error reply that never came.
TEST(CommandProtocol, PrepareWithMalformedArgumentsIsAnsweredAtOnce) {
  TProtocolServer server;
  TClient client = Connected(server);
  const struct {
    const char* name;
    std::string request;
    std::string reply;
  } kCases[] = {
      {"number for the command", Request("prepare", R"(-1,false,"DataSnap.ServerMethod",5)"),
       DbxError(2, R"(Expected:  '\"' found:  '-+0-9.')")},
      {"text for the flag",
       Request("prepare", R"(-1,"no","DataSnap.ServerMethod","TSMSignService.getListCertificate")"),
       ""},
      {"text for a descriptor's flags",
       Request("prepare", R"(-1,false,"DataSnap.ServerMethod","x",)"
                          R"({"parameters":[1,[26,0,1,0,0,"A",0,0,"bad"]]})"),
       ""},
      {"descriptor cut short",
       Request("prepare", R"(-1,false,"DataSnap.ServerMethod","x",{"parameters":[2,[26]]})"), ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string reply = client.Exchange(c.request);
    if (!c.reply.empty()) {
      EXPECT_EQ(reply, c.reply);
    }
    EXPECT_TRUE(reply.starts_with(R"({"error":{"name":"TDBXError","code":2,)")) << reply;
    EXPECT_EQ(client.Exchange(Request("txbegin", "0")), R"({"result":[0]})");
  }
  EXPECT_EQ(client.Exchange(kList), PrepareReply(0, kListParameters));
}

// A client's counts and handles may be anything: each ends in an error reply or, where the
// request cannot be followed any further, in the end of that connection only.
TEST(CommandProtocol, HostileCountsEndAtMostTheirOwnConnection) {
  TProtocolServer server;
  const std::string kCases[] = {
      Request("execute", R"({"handle":[0]},{"data":[-5,]})"),
      Request("execute", R"({"handle":[0]},{"data":[2147483647,ab]})"),
      Request("execute", R"({"handle":[0]},{"data":[9999999999999,ab]})"),
      Request("execute", R"({"handle":[0]},{"bogus":[1]})"),
      Request("more_blob", "0,0,9223372036854775807,2147483647,true,0"),
      Request("next", "-2147483648,-1,-1"),
      Request("prepare", "2147483647,false,\"DataSnap.ServerMethod\",\"x\""),
  };
  for (const auto& request : kCases) {
    SCOPED_TRACE(request);
    TClient client = Connected(server);
    ASSERT_EQ(client.Exchange(kList), PrepareReply(0, kListParameters));
    const std::string reply = client.Exchange(request);
    EXPECT_TRUE(reply.starts_with("{\"error\":{")) << reply;
    // The server still serves others.
    TClient other = Connected(server);
    EXPECT_EQ(other.Exchange(Request("txbegin", "0")), R"({"result":[0]})");
  }
}

TEST(CommandProtocol, AuthenticationAndAuthorizationRefusals) {
  struct TRefusing : TDSAuthenticationManager {
    bool Authenticate(const TDSAuthenticateEventObject& AEvent, const TDSConnectProperties&,
                      std::vector<Text>&) override {
      return AEvent.UserName != u"intruso";
    }
    void GetAuthRoles(const Text&, std::vector<Text>&, std::vector<Text>&) override {}
    bool Authorize(const TDSAuthorizeEventObject& AEvent) override {
      return AEvent.MethodAlias != u"TSMSignService.getListCertificate";
    }
  } refusing;
  TProtocolServer server({.AuthenticationManager = &refusing});
  TClient intruder(server.Port(), true);
  EXPECT_EQ(intruder.Exchange(Request("connect", R"({"DSAuthenticationUser":"intruso"})")),
            DbxError(0,
                     "Authentication manager rejected user credentials. This may due to invalid "
                     "combination of DS user name and password"));
  // A client whose connect was refused runs nothing.
  EXPECT_EQ(intruder.Exchange(kList),
            DbxError(30, "prepare is not allowed before a successful connect"));
  EXPECT_EQ(intruder.Exchange(Request("txbegin", "0")),
            DbxError(30, "txbegin is not allowed before a successful connect"));

  TClient maria(server.Port(), true);
  EXPECT_EQ(maria.Exchange(Request("connect", R"({"DSAuthenticationUser":"maria","x":"y"})")),
            kConnectReply);
  EXPECT_EQ(maria.Exchange(kList), PrepareReply(0, kListParameters));
  EXPECT_EQ(maria.Exchange(Execute(0, "")),
            DbxError(113, "maria is not authorized to perform the requested action."));
  // Methods without authorisation run.
  EXPECT_EQ(maria.Exchange(Prepare("DSAdmin.GetPlatformName")),
            PrepareReply(1, R"({"parameters":[1,[26,0,4,0,0,"ReturnParameter",0,0,0]]})"));
  EXPECT_EQ(maria.Exchange(Execute(1, "")), ExecuteReply(TextField(u"win32")));
}

TEST(CommandProtocol, SignDocumentThroughTheWireGivesADocumentThatVerifies) {
  test_certificates::TTestStore store;
  std::string serial;
  store.Add(test_certificates::Certificate("empresa.pem"), &serial);
  TProtocolServer server({.RealService = true});
  TClient client = Connected(server);
  ASSERT_EQ(client.Exchange(Prepare("TSMSignService.SignDocument")),
            PrepareReply(0, kSignDocumentParameters));
  const Text xml =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><EnviarLoteRpsEnvio><LoteRps Id=\"l1\">"
      u"<Discriminacao>Serviço de manutenção — São Paulo</Discriminacao></LoteRps>"
      u"<assinatura/></EnviarLoteRpsEnvio>";
  const std::string reply =
      client.Exchange(Execute(0, TextField(xml) + TextField(text::FromAscii(serial))));
  const std::optional<std::string> row = ReplyRow(reply);
  ASSERT_TRUE(row) << reply.substr(0, 300);
  ASSERT_GE(row->size(), 5u);
  EXPECT_EQ(row->substr(0, 2), "\xC0\xC0");
  ASSERT_EQ(static_cast<std::uint8_t>((*row)[2]), 0x10);  // one long field, whole
  const Text signedXml = DecodeText(std::string_view(*row).substr(5));
  EXPECT_EQ(signature_check::VerifyInProcess(signedXml), "") << text::ToUtf8(signedXml);
  EXPECT_NE(signedXml.find(u"São Paulo"), Text::npos);

  // The list of the store, and a failure as a result text.
  ASSERT_EQ(client.Exchange(kList), PrepareReply(1, kListParameters));
  const std::optional<std::string> list = ReplyRow(client.Exchange(Execute(1, "")));
  ASSERT_TRUE(list);
  EXPECT_NE(DecodeText(list->substr(1)).find(u"=serial=" + text::FromAscii(serial)), Text::npos);
  const std::optional<std::string> failed =
      ReplyRow(client.Exchange(Execute(0, TextField(xml) + TextField(u"FFEE"))));
  ASSERT_TRUE(failed);
  EXPECT_TRUE(
      DecodeText(failed->substr(5))
          .starts_with(u"[SignerNFSEDocumentRemoteAdapter] Erro na Assinatura do Documento.\r"));
  EXPECT_TRUE(server.Logged.empty());
}

// A text of 2 MB goes to the server in parts the server asks for, and comes back in parts the
// client asks for.
TEST(CommandProtocol, LongTextsTravelThroughMoreBlobBothWays) {
  TProtocolServer server;
  TClient client = Connected(server);
  ASSERT_EQ(client.Exchange(Prepare("TSMSignService.SignDocument")),
            PrepareReply(0, kSignDocumentParameters));
  std::string document(2 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < document.size(); ++i)
    document[i] = static_cast<char>('A' + (i * 7 + i / 1000) % 26);

  constexpr std::size_t kInline = 1000;
  const std::string row =
      std::string{'\x50', static_cast<char>(kInline >> 8), static_cast<char>(kInline & 0xFF)} +
      document.substr(0, kInline) + TextField(u"0A");
  client.Send(Execute(0, row));
  constexpr std::size_t kPart = 100000;
  for (std::size_t at = kInline; at < document.size(); at += kPart) {
    ASSERT_EQ(client.Receive(), R"({"more_blob":[-1,1,0,0,0]})");
    const std::size_t count = std::min(kPart, document.size() - at);
    const bool last = at + count == document.size();
    client.Send("{\"data\":[" + std::to_string(last ? -static_cast<long long>(count) : count) +
                "," + document.substr(at, count) + "]}");
  }
  const std::string reply = client.ReceiveUntil(
      [](const std::string& AReply) { return AReply.size() > 4 && AReply.ends_with("]}]}"); });
  const std::optional<std::string> replyRow = ReplyRow(reply);
  ASSERT_TRUE(replyRow) << reply.substr(0, 200);
  ASSERT_EQ(replyRow->substr(0, 3), "\xC0\xC0\x50");
  const std::size_t inlineBytes =
      static_cast<std::uint8_t>((*replyRow)[3]) << 8 | static_cast<std::uint8_t>((*replyRow)[4]);
  ASSERT_EQ(replyRow->size(), 5 + inlineBytes);
  std::string received = replyRow->substr(5);
  for (int requests = 0;; ++requests) {
    ASSERT_LT(requests, 200);
    client.Send(Request("more_blob", "0,1,0,2,true,0"));
    const std::string part = client.Receive();
    ASSERT_TRUE(part.starts_with(R"({"result":[{"data":[)")) << part.substr(0, 60);
    const std::string count = part.substr(20, 9);
    ASSERT_EQ(part[29], ',');
    const long long n = std::stoll(count);
    ASSERT_EQ(count.size() - count.find_last_not_of(' ') - 1,
              9 - std::to_string(n).size());  // padded with blanks to 9 characters
    const auto bytes = static_cast<std::size_t>(n < 0 ? -n : n);
    ASSERT_EQ(part.size(), 30 + bytes + 2);
    EXPECT_TRUE(part.ends_with("]}"));
    // A full chunk fills the 32768-byte buffer: "[" of the data block at 19, 13 bytes reserved.
    if (n > 0) {
      EXPECT_EQ(n, 32768 - 19 - 13);
    }
    received += part.substr(30, bytes);
    EXPECT_EQ(client.Receive(), "]}");  // the second flush
    if (n <= 0) break;
  }
  EXPECT_EQ(received.size(), document.size());
  EXPECT_TRUE(received == document);
}

TEST(CommandProtocol, NoSessionIsLeftAfterManyConnections) {
  TProtocolServer server({.Compression = false});
  for (int i = 0; i < 1000; ++i) {
    TClient client(server.Port(), false);
    client.Send(kConnect);
    ASSERT_EQ(client.ReceiveExactly(kConnectReply.size()), kConnectReply);
    if (i % 3 == 0) client.Send(Request("disconnect", "0"));
  }
  EXPECT_TRUE(server.WaitForNoSession());
}

TEST(CommandProtocol, SessionsAreAnnouncedWithTheirItemsAndClosingOneDropsItsClient) {
  TProtocolServer server;
  std::mutex lock;
  std::vector<std::pair<Text, Text>> items;
  Text name;
  auto listener = std::make_shared<TDSSessionEvent>(
      [&](TDSSessionManager&, TDSSessionEventType AType, const TDSSessionPtr& ASession) {
        if (AType != TDSSessionEventType::SessionCreate) return;
        std::lock_guard guard(lock);
        items.emplace_back(ASession->GetData(u"CommunicationProtocol"),
                           ASession->GetData(u"remoteip"));
        name = ASession->SessionName();
      });
  server.Sessions.AddSessionEvent(listener);
  TClient client = Connected(server);
  {
    std::lock_guard guard(lock);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].first, u"tcp/ip");
    EXPECT_EQ(items[0].second, u"127.0.0.1");
  }
  server.Sessions.RemoveSessionEvent(listener);
  server.Sessions.CloseSession(name);
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_TRUE(server.WaitForNoSession());
}

}  // namespace

// A value that cannot be encoded gives the error reply alone, never after part of the result;
// a null value of any type is a null field.
TEST(CommandProtocol, AReplyThatCannotBeEncodedLeavesOnlyTheErrorReply) {
  {
    SCOPED_TRACE("null OleVariant");
    TProtocolServer server({.RealService = true});
    TClient client = Connected(server);
    ASSERT_TRUE(client.Exchange(Prepare("TSMSignService.AS_GetProviderNames"))
                    .starts_with(R"({"result":[{"handle":[0]})"));
    EXPECT_EQ(client.Exchange(Execute(0, "")), ExecuteReply("\xC0"));
  }
  TProtocolServer server;
  TClient client = Connected(server);
  ASSERT_EQ(client.Exchange(Prepare("TSMSignService.Misfit")),
            PrepareReply(0, R"({"parameters":[1,[6,0,4,0,0,"ReturnParameter",0,0,0]]})"));
  ASSERT_TRUE(
      client.Exchange(Prepare("TTables.Misfit")).starts_with(R"({"result":[{"handle":[1]})"));
  for (const int handle : {0, 1}) {
    SCOPED_TRACE(handle);
    const std::string reply = client.Exchange(Execute(handle, ""));
    EXPECT_TRUE(reply.starts_with(R"({"error":{"name":"TDBXError","code":0,)")) << reply;
    EXPECT_EQ(reply.find("result"), std::string::npos) << reply;
  }
  ASSERT_EQ(client.Exchange(kList), PrepareReply(2, kListParameters));
  EXPECT_EQ(client.Exchange(Execute(2, "")), ExecuteReply(kListRow));
}

// A long text received once must not change how later replies are laid out: the same table
// row of a 40000-character text comes back byte for byte as on the fresh connection.
TEST(CommandProtocol, ReplyLayoutDoesNotDependOnEarlierLongTexts) {
  TProtocolServer server;
  TClient client = Connected(server);
  ASSERT_TRUE(client.Exchange(Prepare("TTables.Rows")).starts_with(R"({"result":[{"handle":[0]})"));
  ASSERT_EQ(client.Exchange(Prepare("TSMSignService.SignDocument")),
            PrepareReply(1, kSignDocumentParameters));
  // The table reply ends with its data block {"data":[-n,<n bytes>]}.
  const auto tableReply = [&] {
    client.Send(Execute(0, "\x61\x01\x62\x9C\x40"));  // one row, 40000 characters
    return client.ReceiveUntil([](const std::string& AReply) {
      const std::size_t at = AReply.find(R"({"data":[-)");
      if (at == std::string::npos) return false;
      const std::size_t comma = AReply.find(',', at);
      if (comma == std::string::npos) return false;
      const std::size_t count = std::stoul(AReply.substr(at + 10, comma - at - 10));
      return AReply.size() >= comma + 1 + count + 2;
    });
  };
  const std::string fresh = tableReply();
  // The number 0, then 30716 bytes of the text: the row fills its minimum size of 30720.
  ASSERT_NE(fresh.find(R"({"data":[-30720,)"
                       "\x60\x50\x77\xFC"),
            std::string::npos);

  const std::string document(300000, 'd');
  constexpr std::size_t kInline = 1000;
  client.Send(Execute(
      1, std::string{'\x50', static_cast<char>(kInline >> 8), static_cast<char>(kInline & 0xFF)} +
             document.substr(0, kInline) + TextField(u"0A")));
  ASSERT_EQ(client.Receive(), R"({"more_blob":[-1,1,0,0,0]})");
  client.Send("{\"data\":[" + std::to_string(-static_cast<long long>(document.size() - kInline)) +
              "," + document.substr(kInline) + "]}");
  const std::string signedReply = client.ReceiveUntil(
      [](const std::string& AReply) { return AReply.size() > 4 && AReply.ends_with("]}]}"); });
  ASSERT_TRUE(ReplyRow(signedReply)) << signedReply.substr(0, 100);

  EXPECT_TRUE(tableReply() == fresh);
}
