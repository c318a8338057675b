#include "transport/client/dbx_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sys/unique_fd.h"
#include "tests/support/error_of.h"
#include "tests/support/fake_dbx_server.h"
#include "tests/support/hex_bytes.h"

namespace {

using test_support::FromHex;
using test_support::TFakeDBXServer;
using TFilters = TFakeDBXServer::TFilters;

// The worked exchange of one SignDocument call.
const std::string kConnect = R"({"method":"connect","params":[{}]})";
const std::string kConnectReply = R"({"result":[0,"DataSnap",2]})";
const std::string kPrepare =
    R"({"method":"prepare","params":[-1,false,"DataSnap.ServerMethod","TSMSignService.SignDocument"]})";
const std::string kPrepareReply =
    R"({"result":[{"handle":[0]},{"fields":[0,false]},{"parameters":[3,[26,0,1,0,0,"AXMLNF",0,0,0],[26,0,1,0,0,"ASerialNumber",0,0,0],[26,0,4,0,0,"ReturnParameter",0,0,0]]}]})";
const std::string kExecute = R"({"method":"execute","params":[{"handle":[0]},{"data":[14,)" +
                             FromHex("26 3C 52 70 73 2F 3E 26 31 41 32 42 33 43") + "]}]}";
const std::string kExecuteReply =
    R"({"result":[{"rows":[0]},{"data":[9,)" + FromHex("C0 C0 26 3C 52 70 73 2F 3E") + "]}]}";
const std::string kCommandClose = R"({"method":"command_close","params":[0]})";
const std::string kDisconnect = R"({"method":"disconnect","params":[0]})";

// What the server announces during negotiation (and a client holding the same filter answers).
const std::string kFilterList =
    R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"1024"}})";

std::string BigEndian32(std::size_t AValue) {
  return {static_cast<char>(AValue >> 24), static_cast<char>(AValue >> 16),
          static_cast<char>(AValue >> 8), static_cast<char>(AValue)};
}

// A data block of the filtered stream carrying a body short enough to stay uncompressed.
std::string PlainBlock(std::string_view ABody) {
  std::string block(1, '\x0D');
  block += BigEndian32(ABody.size() + 1);
  block += '\x02';
  block += ABody;
  return block;
}

std::string ListBlock(std::string_view AList) {
  std::string block(1, '\x0D');
  block += BigEndian32(AList.size());
  block += AList;
  return block;
}

TDBXClientOptions Options(bool ACompression = true, int AReadTimeoutMs = 10000) {
  TDBXClientOptions options;
  options.Compression = ACompression;
  options.ReadTimeoutMs = AReadTimeoutMs;
  options.ConnectTimeoutMs = 10000;
  return options;
}

// The parameters of SignDocument as its prepare reply describes them.
TDBXCommand SignDocumentCommand(std::int32_t AHandle = 0) {
  TDBXCommand command;
  command.Handle = AHandle;
  for (const auto& [name, direction] : {std::pair<Text, int>{u"AXMLNF", pdIn},
                                        {u"ASerialNumber", pdIn},
                                        {u"ReturnParameter", pdReturn}}) {
    TDBXParameter& parameter = command.Parameters.emplace_back();
    parameter.DataType = dtWideString;
    parameter.Direction = direction;
    parameter.Name = name;
  }
  return command;
}

// The text form of the parameter row, written out plainly: one byte per unit below 255; from
// the first other unit on, 0xFF and two bytes per unit.
std::string Encoded(TextView AText) {
  std::string bytes;
  bool wide = false;
  for (const char16_t unit : AText) {
    if (!wide && unit >= 255) {
      wide = true;
      bytes += '\xFF';
    }
    if (wide) bytes += static_cast<char>(unit >> 8);
    bytes += static_cast<char>(unit & 0xFF);
  }
  return bytes;
}

// A long document: Latin-1 text with a few characters beyond it near the end, so that the
// encoding switches to two bytes per unit far into the value.
Text LongText(std::size_t AUnits) {
  Text text;
  text.reserve(AUnits);
  const TextView pattern = u"<InfNfse Id=\"ação\">Serviço prestado</InfNfse>";
  while (text.size() < AUnits) text += pattern;
  text.resize(AUnits);
  text[AUnits - AUnits / 10] = u'\u20AC';
  return text;
}

// The server's error reply, raised as TDBXRemoteError: its message.
std::string RemoteErrorOf(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const TDBXRemoteError& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("<not an error reply> ") + e.what();
  }
  return "<no error>";
}

std::string ErrorTextOf(const std::function<void()>& AAction) { return ErrorOf(AAction).Utf8(); }

void ServeConnect(TFakeDBXServer& AServer) {
  AServer.Expect(kConnect);
  AServer.Send(kConnectReply);
}

void ServePrepare(TFakeDBXServer& AServer) {
  AServer.Expect(kPrepare);
  AServer.Send(kPrepareReply);
}

// Reads an execute request of command AHandle that carries a row, and returns the row.
std::string ReadExecuteRow(TFakeDBXServer& AServer, int AHandle = 0) {
  AServer.Expect(R"({"method":"execute","params":[{"handle":[)" + std::to_string(AHandle) +
                 R"(]},{"data":[)");
  const std::string count = AServer.ReadThrough(',');
  std::string row = AServer.Read(std::stoul(count));
  AServer.Expect("]}]}");
  return row;
}

// Asks the client for the rest of parameter AOrdinal as the server does, until the last part;
// the parts joined.
std::string FetchFromClient(TFakeDBXServer& AServer, int AOrdinal, int ABlobHandle) {
  std::string rest;
  for (;;) {
    AServer.Send(R"({"more_blob":[-1,)" + std::to_string(ABlobHandle) + ",0," +
                 std::to_string(AOrdinal) + ",0]}");
    AServer.Expect(R"({"data":[)");
    const long count = std::stol(AServer.ReadThrough(','));
    rest += AServer.Read(static_cast<std::size_t>(count < 0 ? -count : count));
    AServer.Expect("]}");
    if (count <= 0) return rest;
  }
}

// Serves the client's more_blob requests for AOrdinal of command AHandle as the server does:
// the chunk with its count padded to 9 characters, flushed, then the closing brackets.
void ServeToClient(TFakeDBXServer& AServer, int AHandle, int AOrdinal, std::string_view ARest,
                   std::size_t AChunk) {
  const std::string request = R"({"method":"more_blob","params":[)" + std::to_string(AHandle) +
                              ",1,0," + std::to_string(AOrdinal) + ",true,0]}";
  std::size_t at = 0;
  do {
    AServer.Expect(request);
    const std::string_view chunk = ARest.substr(at, AChunk);
    at += chunk.size();
    const bool last = at == ARest.size();
    std::string count =
        std::to_string(last ? -static_cast<long>(chunk.size()) : static_cast<long>(chunk.size()));
    count.resize(9, ' ');
    AServer.Send(R"({"result":[{"data":[)" + count + "," + std::string(chunk) + "]}");
    AServer.Send("]}");
  } while (at < ARest.size());
}

// ---------------------------------------------------------------------------------------------

// The worked exchange, byte for byte on the wire: negotiation, then each request as one block
// (filtered) or as plain bytes (a server without filters answers 06 00 00 00 00).
TEST(DBXClientTest, SpeaksTheWorkedExchangeByteForByte) {
  struct TCase {
    const char* name;
    TFilters serverFilters;
    bool clientCompression;
    const char* host;
  };
  const TCase cases[] = {
      {"compressed", TFilters::Compression, true, "127.0.0.1"},
      {"client without a filter of its own", TFilters::Compression, false, "127.0.0.1"},
      {"server without filters", TFilters::None, true, "localhost"},
  };
  const std::vector<std::string> requests = {kConnect, kPrepare, kExecute, kCommandClose,
                                             kDisconnect};
  const std::vector<std::string> replies = {kConnectReply, kPrepareReply, kExecuteReply};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeDBXServer server(c.serverFilters);
    server.Start([](TFakeDBXServer& s) {
      ServeConnect(s);
      ServePrepare(s);
      s.Expect(kExecute);
      s.Send(kExecuteReply);
      s.Expect(kCommandClose);
      s.Expect(kDisconnect);
      s.ExpectClosed();
    });

    TDBXClient client(c.host, server.Port(), Options(c.clientCompression));
    client.Open();
    const TDBXConnectReply connect = client.Connect();
    EXPECT_EQ(connect.ConnectionHandle, 0);
    EXPECT_EQ(connect.ProductName, u"DataSnap");
    EXPECT_EQ(connect.ProtocolVersion, 2);

    const TDBXCommand command = client.Prepare(u"TSMSignService.SignDocument");
    EXPECT_EQ(command.Handle, 0);
    ASSERT_EQ(command.Parameters.size(), 3u);
    const TDBXCommand expected = SignDocumentCommand();
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(command.Parameters[i].Name, expected.Parameters[i].Name);
      EXPECT_EQ(command.Parameters[i].DataType, dtWideString);
      EXPECT_EQ(command.Parameters[i].Direction, expected.Parameters[i].Direction);
    }

    const std::vector<TDBXValue> in = {Text(u"<Rps/>"), Text(u"1A2B3C")};
    const TDBXExecuteResult result = client.Execute(command, in);
    EXPECT_EQ(result.RowsAffected, 0);
    ASSERT_EQ(result.Values.size(), 3u);
    EXPECT_TRUE(IsNull(result.Values[0]));
    EXPECT_TRUE(IsNull(result.Values[1]));
    EXPECT_EQ(result.Values[2], TDBXValue(Text(u"<Rps/>")));

    client.CommandClose(0);
    client.Disconnect();
    client.Close();
    ASSERT_EQ(server.Finish(), "");

    std::string sent = FromHex("05 05 05 05 05");
    std::string answered;
    if (c.serverFilters == TFilters::Compression) {
      sent += ListBlock(kFilterList);
      answered = ListBlock(kFilterList);
      for (const std::string& request : requests) sent += PlainBlock(request);
      for (const std::string& reply : replies) answered += PlainBlock(reply);
    } else {
      answered = FromHex("06 00 00 00 00");
      for (const std::string& request : requests) sent += request;
      for (const std::string& reply : replies) answered += reply;
    }
    EXPECT_EQ(server.RawReceived(), sent);
    EXPECT_EQ(server.RawSent(), answered);
  }
}

// CallTextMethod prepares a method once per connection and then only executes it; a method
// without arguments sends no row; returned texts decode their two-byte units.
TEST(DBXClientTest, CallTextMethodPreparesOnceAndReturnsTheText) {
  const std::string listPrepare =
      R"({"method":"prepare","params":[-1,false,"DataSnap.ServerMethod","TSMSignService.getListCertificate"]})";
  const std::string listPrepareReply =
      R"({"result":[{"handle":[1]},{"fields":[0,false]},{"parameters":[1,[26,0,4,0,0,"ReturnParameter",0,0,0]]}]})";
  const std::string listExecute = R"({"method":"execute","params":[{"handle":[1]}]})";
  const std::string listText = "A=serial=01|issuer=" + FromHex("FF 20 AC");
  const std::string listReply =
      R"({"result":[{"rows":[0]},{"data":[)" + std::to_string(listText.size() + 1) + "," +
      std::string(1, static_cast<char>(0x20 + listText.size())) + listText + "]}]}";
  const std::string invalidHandle =
      R"({"error":{"name":"TDBXError","code":29,"message":"Remote error: Invalid command handle:  0"})";

  TFakeDBXServer server;
  server.Start([&](TFakeDBXServer& s) {
    ServeConnect(s);
    ServePrepare(s);
    s.Expect(kExecute);
    s.Send(kExecuteReply);
    s.Expect(kExecute);  // the same command again, not prepared twice
    s.Send(kExecuteReply);
    s.Expect(listPrepare);
    s.Send(listPrepareReply);
    s.Expect(listExecute);
    s.Send(listReply);
    s.Expect(kExecute);  // a command the server no longer knows is prepared again
    s.Send(invalidHandle);
    ServePrepare(s);
    s.Expect(kExecute);
    s.Send(kExecuteReply);
    s.ExpectClosed();
  });

  TDBXClient client("127.0.0.1", server.Port(), Options());
  client.Open();
  client.Connect();
  EXPECT_EQ(client.CallTextMethod(u"TSMSignService.SignDocument", {u"<Rps/>", u"1A2B3C"}),
            u"<Rps/>");
  EXPECT_EQ(client.CallTextMethod(u"TSMSignService.SignDocument", {u"<Rps/>", u"1A2B3C"}),
            u"<Rps/>");
  EXPECT_EQ(client.CallTextMethod(u"TSMSignService.getListCertificate", {}),
            u"A=serial=01|issuer=\u20AC");
  EXPECT_EQ(RemoteErrorOf([&] {
              client.CallTextMethod(u"TSMSignService.SignDocument", {u"<Rps/>", u"1A2B3C"});
            }),
            "Remote error: Invalid command handle:  0");
  EXPECT_EQ(client.CallTextMethod(u"TSMSignService.SignDocument", {u"<Rps/>", u"1A2B3C"}),
            u"<Rps/>");
  // Refused before anything is sent; the connection stays as it was.
  EXPECT_EQ(ErrorOf([&] {
              client.CallTextMethod(u"TSMSignService.SignDocument", {u"<Rps/>"});
            }).CodeAndUtf8(),
            std::pair(client_format::kUsageErrorCode,
                      std::string("Wrong number of arguments for TSMSignService.SignDocument: 2 "
                                  "expected, 1 given")));
  EXPECT_TRUE(client.IsOpen());
  client.Close();
  EXPECT_EQ(server.Finish(), "");
}

// A text longer than the row's inline budget goes out with its first part; the client answers
// the server's more_blob requests with the rest. A returned text that continues is fetched
// with the client's own more_blob requests, whatever the server's chunking.
TEST(DBXClientTest, LongTextsTravelThroughContinuationBothWays) {
  struct TCase {
    const char* name;
    std::size_t units;        // of the document sent and signed
    std::size_t returnedRow;  // bytes of the returned text in the reply's row; 0: all but one
    std::size_t chunk;        // of the server's more_blob answers
  };
  const TCase cases[] = {
      {"just past the budget", 30800, 30000, 32000},
      {"2 MB batch", 2 * 1024 * 1024, 30000, 32735},
      {"one byte past the inline budget", 27925, 0, 32000},
      {"small chunks, wide text split between them", 100000, 1000, 4097},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Text document = LongText(c.units);
    const std::string encoded = Encoded(document);
    const Text signedDocument = document + u"<Signature/>";
    const std::string signedEncoded = Encoded(signedDocument);
    const std::size_t returnedRow = c.returnedRow > 0 ? c.returnedRow : signedEncoded.size() - 1;
    ASSERT_GT(signedEncoded.size(), returnedRow);
    ASSERT_LE(returnedRow, 65535u);

    TFakeDBXServer server;
    server.Start([&](TFakeDBXServer& s) {
      ServeConnect(s);
      const std::string row = ReadExecuteRow(s);
      // 0x50, the length of the first part, the first part; then the serial number in full.
      if (row[0] != '\x50') throw std::runtime_error("no continued field");
      const std::size_t first =
          (static_cast<std::uint8_t>(row[1]) << 8) | static_cast<std::uint8_t>(row[2]);
      if (row.substr(3, first) != encoded.substr(0, first))
        throw std::runtime_error("first part differs");
      if (row.substr(3 + first) != FromHex("26 31 41 32 42 33 43"))
        throw std::runtime_error("serial number field differs");
      if (FetchFromClient(s, 0, 1) != encoded.substr(first))
        throw std::runtime_error("rest differs");

      const std::string inRow = signedEncoded.substr(0, returnedRow);
      const std::string replyRow = FromHex("C0 C0 50") +
                                   std::string(1, static_cast<char>(returnedRow >> 8)) +
                                   std::string(1, static_cast<char>(returnedRow)) + inRow;
      s.Send(R"({"result":[{"rows":[0]},{"data":[)" + std::to_string(replyRow.size()) + "," +
             replyRow + "]}]}");
      ServeToClient(s, 0, 2, std::string_view(signedEncoded).substr(returnedRow), c.chunk);
      s.Expect(kDisconnect);
      s.ExpectClosed();
    });

    TDBXClient client("127.0.0.1", server.Port(), Options());
    client.Open();
    client.Connect();
    const std::vector<TDBXValue> in = {document, Text(u"1A2B3C")};
    const TDBXExecuteResult result = client.Execute(SignDocumentCommand(), in);
    ASSERT_EQ(result.Values.size(), 3u);
    EXPECT_TRUE(result.Values[2] == TDBXValue(signedDocument));
    client.Disconnect();
    client.Close();
    EXPECT_EQ(server.Finish(), "");
  }
}

// An error reply ends after its inner object: the client reads it to that brace, raises it
// with the server's code, class name and text, and the next reply is read normally.
TEST(DBXClientTest, ErrorRepliesBecomeRemoteErrorsAndTheConnectionGoesOn) {
  struct TCase {
    const char* name;
    std::string reply;
    Text errorName;
    int code;
    Text message;
  };
  const TCase cases[] = {
      {"method raised", R"({"error":{"name":"Exception","code":5,"message":"Remote error: M"})",
       u"Exception", 5, u"Remote error: M"},
      {"escapes and Latin-1 bytes",
       "{\"error\":{\"name\":\"TDBXError\",\"code\":105,\"message\":\"Remote error: "
       "\xE9 \\\"x\\\"\\r\\n\\u20AC\"}",
       u"TDBXError", 105, u"Remote error: \u00E9 \"x\"\r\n\u20AC"},
      {"name/value pairs",
       R"({"error":{"name":"E","code":-3,"message":"Remote error: x","error":{}})", u"E", -3,
       u"Remote error: x"},
      {"other order, unknown members",
       R"({"error":{"message":"m","extra":[1,{"a":"}"}],"n":-12,"t":true,"code":30,"name":"N"})",
       u"N", 30, u"m"},
  };
  TFakeDBXServer server;
  server.Start([&](TFakeDBXServer& s) {
    s.Expect(kConnect);
    s.Send(cases[0].reply);
    ServeConnect(s);
    for (const TCase& c : cases) {
      s.Expect(kPrepare);
      s.Send(c.reply);
    }
    ServePrepare(s);
    // An error after the server fetched the rest of a long value.
    ReadExecuteRow(s);
    FetchFromClient(s, 0, 1);
    s.Send(cases[0].reply);
    s.Expect(kExecute);
    s.Send(kExecuteReply);
    s.ExpectClosed();
  });

  TDBXClient client("127.0.0.1", server.Port(), Options());
  client.Open();
  EXPECT_EQ(RemoteErrorOf([&] { client.Connect(); }), "Remote error: M");
  client.Connect();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      client.Prepare(u"TSMSignService.SignDocument");
      ADD_FAILURE() << "no error";
    } catch (const TDBXRemoteError& e) {
      EXPECT_EQ(e.Name(), c.errorName);
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_TRUE(client.IsOpen());
  }
  const TDBXCommand command = client.Prepare(u"TSMSignService.SignDocument");
  const std::vector<TDBXValue> longIn = {LongText(50000), Text(u"1A2B3C")};
  EXPECT_EQ(RemoteErrorOf([&] { client.Execute(command, longIn); }), "Remote error: M");
  const std::vector<TDBXValue> in = {Text(u"<Rps/>"), Text(u"1A2B3C")};
  EXPECT_EQ(client.Execute(command, in).Values[2], TDBXValue(Text(u"<Rps/>")));
  client.Close();
  EXPECT_EQ(server.Finish(), "");
}

// A server that goes away in the middle of a reply, or in the middle of a block, stops the
// client with an error; the connection is closed and later requests say so.
TEST(DBXClientTest, ServerClosingMidReplyStopsTheClientCleanly) {
  const std::string framed = PlainBlock(kExecuteReply);
  struct TCase {
    TFilters filters;
    std::string sent;  // raw bytes before the server closes
  };
  std::vector<TCase> cases;
  for (const std::size_t cut :
       {std::size_t{0}, std::size_t{1}, std::size_t{20}, kExecuteReply.size() - 1})
    cases.push_back({TFilters::None, kExecuteReply.substr(0, cut)});
  for (const std::size_t cut :
       {std::size_t{3}, std::size_t{5}, std::size_t{6}, std::size_t{40}, framed.size() - 1})
    cases.push_back({TFilters::Compression, framed.substr(0, cut)});
  // A complete block holding half a reply.
  cases.push_back({TFilters::Compression, PlainBlock(kExecuteReply.substr(0, 30))});

  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.filters == TFilters::None ? "plain " : "filtered ")
                                    << c.sent.size() << " bytes");
    TFakeDBXServer server(c.filters);
    server.Start([&](TFakeDBXServer& s) {
      ServeConnect(s);
      s.Expect(kExecute);
      s.SendRaw(c.sent);
      s.Close();
    });
    TDBXClient client("127.0.0.1", server.Port(), Options());
    client.Open();
    client.Connect();
    const std::vector<TDBXValue> in = {Text(u"<Rps/>"), Text(u"1A2B3C")};
    const TRaisedError error = ErrorOf([&] { client.Execute(SignDocumentCommand(), in); });
    EXPECT_EQ(error.Code, client_format::kConnectionErrorCode);
    EXPECT_TRUE(error.Utf8() == "Connection lost: the server closed it" ||
                error.Utf8() == "Read error")
        << error.Utf8();
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(ErrorTextOf([&] { client.Disconnect(); }), "The client has no open connection");
    EXPECT_EQ(server.Finish(), "");
  }
}

TEST(DBXClientTest, NegotiationFailuresAreReportedByOpen) {
  const std::string badHeaders[] = {"", FromHex("07 FF FF FF FF"),
                                    FromHex("0D 00 00 00 03") + "abc", FromHex("0D 00 00")};
  for (const std::string& answer : badHeaders) {
    SCOPED_TRACE(answer.size());
    TFakeDBXServer server(TFilters::None);
    server.Start([&](TFakeDBXServer& s) {
      if (s.ReadRaw(5) != FromHex("05 05 05 05 05")) throw std::runtime_error("no negotiation");
      s.SendRaw(answer);
      s.Close();
    });
    TDBXClient client("127.0.0.1", server.Port(), Options());
    const std::string error = ErrorTextOf([&] { client.Open(); });
    EXPECT_TRUE(error == "Filter negotiation with the server failed" ||
                error == "Connection lost: the server closed it")
        << error;
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(server.Finish(), "");
  }
}

// A server that accepts and never answers holds the client no longer than its read timeout.
TEST(DBXClientTest, SilentServerTimesOut) {
  TFakeDBXServer server;
  server.Start([](TFakeDBXServer& s) {
    s.Expect(kConnect);
    s.ExpectClosed();
  });
  TDBXClient client("127.0.0.1", server.Port(), Options(true, 200));
  client.Open();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { client.Connect(); }).CodeAndUtf8(),
            std::pair(client_format::kConnectionErrorCode,
                      std::string("No answer from the server within 200 ms")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(server.Finish(), "");
}

TEST(DBXClientTest, UnreachableServerIsAClearError) {
  // A port that was free a moment ago: nothing listens there.
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::uint16_t port = ntohs(address.sin_port);
  probe.reset();

  TDBXClient client("127.0.0.1", port, Options());
  EXPECT_EQ(ErrorTextOf([&] { client.Open(); }),
            "Cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  EXPECT_EQ(ErrorTextOf([&] { client.Connect(); }), "The client has no open connection");
  TDBXClient nameless("", port, Options());
  EXPECT_NE(ErrorTextOf([&] { nameless.Open(); }).find("Cannot resolve the server name \"\""),
            std::string::npos);
}

// The server's bytes are not trusted either: counts and shapes a server should never send end
// the connection with a clear error, before anything is allocated for them.
TEST(DBXClientTest, HostileRepliesEndTheConnectionWithClearErrors) {
  struct TCase {
    const char* name;
    bool prepare;  // the bad reply answers prepare, else execute
    std::function<void(TFakeDBXServer&)> script;
    std::string error;
  };
  const auto reply = [](std::string AReply) {
    return [AReply](TFakeDBXServer& s) { s.Send(AReply); };
  };
  const auto row = [](std::string ARow) {
    return R"({"result":[{"rows":[0]},{"data":[)" + std::to_string(ARow.size()) + "," + ARow +
           "]}]}";
  };
  const TCase cases[] = {
      {"fewer descriptors than announced", true,
       reply(
           R"({"result":[{"handle":[0]},{"parameters":[3,[26,0,1,0,0,"A",0,0,0],[26,0,4,0,0,"R",0,0,0]]}]})"),
       "The server's parameter count does not match its descriptors: 3 announced, 2 described"},
      {"huge parameter count", true,
       reply(R"({"result":[{"handle":[0]},{"parameters":[2000000000,[26]]}]})"),
       "The server described more parameters than a method may have: 2000000000"},
      {"no handle", true, reply(R"({"result":[{"fields":[0,false]}]})"),
       "Unexpected reply from the server: a prepare reply without a command handle"},
      {"unknown message", true, reply(R"({"oops":[1]})"),
       "Unexpected reply from the server: a message with the key \"oops\""},
      {"huge row", false, reply(R"({"result":[{"rows":[0]},{"data":[2147483647,)"),
       "Parameter row size out of range: 2147483647"},
      {"row without the return value", false, reply(row(FromHex("C0 C0"))),
       "Parameter row has no field 2: it ends after 2 fields"},
      {"table result", false, reply(R"({"result":[{"rows":[0]},{"table":[]}]})"),
       "Table results are not supported by this client"},
      {"more_blob for a value that fitted", false, reply(R"({"more_blob":[-1,1,0,1,0]})"),
       "The server asked for the rest of a value that has none: parameter 1"},
      {"more_blob without an ordinal", false, reply(R"({"more_blob":[-1,1]})"),
       "Unexpected reply from the server: a more_blob request without an ordinal"},
      {"continuation past the limit", false,
       [&](TFakeDBXServer& s) {
         s.Send(row(FromHex("C0 C0 50 00 01 41")));
         s.Expect(R"({"method":"more_blob","params":[0,1,0,2,true,0]})");
         s.Send(R"({"result":[{"data":[67108864,)");
       },
       "Unexpected growth: a continued value exceeds 67108864 bytes"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeDBXServer server;
    server.Start([&](TFakeDBXServer& s) {
      ServeConnect(s);
      s.Expect(c.prepare ? kPrepare : kExecute);
      c.script(s);
      s.ExpectClosed();
    });
    TDBXClient client("127.0.0.1", server.Port(), Options());
    client.Open();
    client.Connect();
    const std::vector<TDBXValue> in = {Text(u"<Rps/>"), Text(u"1A2B3C")};
    const std::string error = ErrorTextOf([&] {
      if (c.prepare) {
        client.Prepare(u"TSMSignService.SignDocument");
      } else {
        client.Execute(SignDocumentCommand(), in);
      }
    });
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(server.Finish(), "");
  }
}

}  // namespace
