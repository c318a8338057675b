// Negotiation between the two roles of the filtered channel, and with hand-made clients, over
// real loopback TCP connections.

#include <gtest/gtest.h>
#include <zlib.h>

#include <future>
#include <thread>

#include "tests/support/loopback_socket_channel.h"
#include "tests/transport/filter/fake_filters.h"
#include "transport/dbx_error.h"
#include "transport/filter/compression_filter.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/filter_socket_channel.h"

namespace {

using namespace filter_format;
using test_support::OpenLoopbackPair;
using test_support::TLoopbackSocketChannel;

const std::string kRequest(5, '\x05');
const std::string kServerList =
    R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"1024"}})";
const std::string kNotRegistered =
    " is not registered. Filter class needs to be registered in order to communicate with the "
    "server.";

std::string Header(std::uint8_t AKind, std::size_t ALength) {
  return {static_cast<char>(AKind), static_cast<char>(ALength >> 24),
          static_cast<char>(ALength >> 16), static_cast<char>(ALength >> 8),
          static_cast<char>(ALength)};
}

std::string Block(std::string_view ABody) {
  return Header(kDataBlock, ABody.size()) + std::string(ABody);
}

std::string Plain(std::string_view AData) {
  std::string body(1, static_cast<char>(kPlainMarker));
  body.append(AData);
  return body;
}

std::string Decoded(std::string_view ABody) {
  TTransportCompressionFilter filter;
  const TBytes data = filter.ProcessOutput(
      std::span(reinterpret_cast<const std::uint8_t*>(ABody.data()), ABody.size()));
  return std::string(data.begin(), data.end());
}

std::string Json(std::size_t ACount) {
  std::string text;
  for (int i = 0; text.size() < ACount; ++i) text += "{\"Valor\":" + std::to_string(i) + "},";
  text.resize(ACount);
  return text;
}

// The transport's configured list, shared by every connection as in the server.
TTransportFilterCollection& ConfiguredFilters() {
  static TTransportFilterCollection filters;
  static const bool configured = [] {
    filters.AddFilter(u"ZLibCompression");
    filters.GetItem(0)->SetFilterPropertiesText(u"CompressMoreThan=1024");
    return true;
  }();
  EXPECT_TRUE(configured);
  return filters;
}

// A compressed body of ACount zero bytes.
std::string ZeroBomb(std::size_t ACount) {
  z_stream stream{};
  EXPECT_EQ(deflateInit(&stream, 9), Z_OK);
  const std::vector<std::uint8_t> zeros(1 << 20);
  std::string out(1, static_cast<char>(kCompressedMarker));
  std::vector<std::uint8_t> chunk(1 << 16);
  std::size_t left = ACount;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    if (stream.avail_in == 0 && left > 0) {
      const std::size_t n = std::min(left, zeros.size());
      stream.next_in = const_cast<Bytef*>(zeros.data());
      stream.avail_in = static_cast<uInt>(n);
      left -= n;
    }
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    status = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
    out.append(chunk.begin(), chunk.end() - stream.avail_out);
  }
  deflateEnd(&stream);
  return out;
}

// The server end of one connection on its own thread: a filtered channel that writes every
// read back as one write, until the connection ends. The channel, and so the socket, goes away
// with the thread, which the client sees as the connection closing.
class TEchoServer {
 public:
  TEchoServer(TTransportFilterCollection* AFilters,
              std::unique_ptr<TLoopbackSocketChannel> ASocket) {
    auto channel = std::make_unique<TDBXFilterSocketChannel>(AFilters);
    channel->SetChannel(std::move(ASocket));
    FThread = std::thread([this, channel = std::move(channel)]() mutable { Serve(*channel); });
  }
  ~TEchoServer() { Join(); }

  // How the server's reads ended: "-1", or the message raised.
  std::string Outcome() {
    Join();
    return FOutcome;
  }
  int Flag() {
    Join();
    return FFlag;
  }
  std::int32_t Threshold() {
    Join();
    return FThreshold;
  }

 private:
  void Join() {
    if (FThread.joinable()) FThread.join();
  }

  void Serve(TDBXFilterSocketChannel& AChannel) {
    try {
      std::vector<std::uint8_t> buffer(32768);
      for (;;) {
        const int count = AChannel.Read(buffer, 0, static_cast<int>(buffer.size()));
        FFlag = AChannel.GetFlag();
        if (auto* zlib = dynamic_cast<TTransportCompressionFilter*>(
                AChannel.GetFilterList()->GetFilter(u"ZLibCompression")))
          FThreshold = zlib->GetMinThreshold();
        if (count < 0) {
          FOutcome = "-1";
          return;
        }
        AChannel.Write(buffer, 0, count);
      }
    } catch (const std::exception& e) {
      FOutcome = e.what();
    }
  }

  std::thread FThread;
  std::string FOutcome;
  int FFlag = 0;
  std::int32_t FThreshold = 0;
};

// A hand-made client on the raw socket.
struct TRawClient {
  std::unique_ptr<TLoopbackSocketChannel> Socket;

  std::string ReadBlockBody() {
    const std::string header = Socket->ReadExactly(kHeaderSize);
    EXPECT_EQ(header[0], static_cast<char>(kDataBlock));
    const std::size_t length = (std::size_t{static_cast<std::uint8_t>(header[1])} << 24) |
                               (std::size_t{static_cast<std::uint8_t>(header[2])} << 16) |
                               (std::size_t{static_cast<std::uint8_t>(header[3])} << 8) |
                               std::size_t{static_cast<std::uint8_t>(header[4])};
    return Socket->ReadExactly(length);
  }
  bool ConnectionEnds() {
    try {
      Socket->ReadExactly(1);
      return false;
    } catch (const TDBXError&) {
      return true;
    }
  }
  // Asks for negotiation, checks the server's list and answers with AList.
  void Negotiate(const std::string& AList) {
    Socket->WriteAll(kRequest);
    EXPECT_EQ(Socket->ReadExactly(kHeaderSize), Header(kDataBlock, 83));
    EXPECT_EQ(Socket->ReadExactly(83), kServerList);
    Socket->WriteAll(Block(AList));
  }
};

struct TConnection {
  // The client closes first, so that the server's thread sees the end and can be joined.
  std::unique_ptr<TEchoServer> Server;
  TRawClient Client;
};

TConnection Connect(TTransportFilterCollection* AServerFilters = &ConfiguredFilters()) {
  auto [client, server] = OpenLoopbackPair();
  return {std::make_unique<TEchoServer>(AServerFilters, std::move(server)),
          TRawClient{std::move(client)}};
}

}  // namespace

TEST(FilterNegotiationTest, RawClientNegotiatesAndGetsBlocksBack) {
  TConnection connection = Connect();
  connection.Client.Negotiate(kServerList);
  connection.Client.Socket->WriteAll(Block(Plain(R"({"result":[]})")));
  EXPECT_EQ(
      connection.Client.Socket->ReadExactly(19),
      std::string("\x0D\x00\x00\x00\x0E\x02\x7B\x22\x72\x65\x73\x75\x6C\x74\x22\x3A\x5B\x5D\x7D",
                  19));
  const std::string request = Json(3000);
  connection.Client.Socket->WriteAll(Block(Plain(request)));
  const std::string reply = connection.Client.ReadBlockBody();
  EXPECT_EQ(reply.substr(0, 3), "\x01\x78\x01");
  EXPECT_EQ(Decoded(reply), request);
  connection.Client.Socket->Close();
  EXPECT_EQ(connection.Server->Outcome(), "Connection lost");
  EXPECT_EQ(connection.Server->Flag(), 1);
}

TEST(FilterNegotiationTest, ClientListSetsThresholdOfItsConnectionOnly) {
  struct Case {
    const char* name;
    std::string list;
    std::size_t size;
    std::uint8_t marker;
  };
  const Case kCases[] = {
      {"own list empty, at threshold", "{}", 1024, kPlainMarker},
      {"own list empty, above", "{}", 1025, kCompressedMarker},
      {"100, at",
       R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"100"}})", 100,
       kPlainMarker},
      {"100, above", R"({"ZLibCompression":{"CompressMoreThan":"100"}})", 101, kCompressedMarker},
      {"0", R"({"ZLibCompression":{"CompressMoreThan":"0"}})", 1, kCompressedMarker},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TConnection connection = Connect();
    TConnection other = Connect();  // negotiates the default at the same time
    connection.Client.Negotiate(c.list);
    other.Client.Negotiate(kServerList);
    const std::string data = Json(c.size);
    connection.Client.Socket->WriteAll(Block(Plain(data)));
    other.Client.Socket->WriteAll(Block(Plain(data)));
    const std::string reply = connection.Client.ReadBlockBody();
    EXPECT_EQ(reply[0], static_cast<char>(c.marker));
    EXPECT_EQ(Decoded(reply), data);
    EXPECT_EQ(other.Client.ReadBlockBody()[0],
              static_cast<char>(c.size > 1024 ? kCompressedMarker : kPlainMarker));
  }
}

TEST(FilterNegotiationTest, ConnectionEndsWithoutReplyOnUnacceptableList) {
  struct Case {
    const char* name;
    std::string list;
    std::string outcome;
  };
  const Case kCases[] = {
      {"empty threshold", R"({"ZLibCompression":{"CompressMoreThan":""}})",
       "'' is not a valid integer value"},
      {"null threshold",
       R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":null}})",
       "'' is not a valid integer value"},
      {"wrong unit", R"({"ZLibCompression":{"FilterUnit":"Other","CompressMoreThan":"1024"}})",
       "Filter ZLibCompression rejected setup parameter FilterUnit given value Other. At this "
       "point "
       "the server communication is not possible due to this incompatibility."},
      {"PC1", R"({"ZLibCompression":{},"PC1":{}})", "Communication filter PC1" + kNotRegistered},
      {"RSA", R"({"RSA":{"Key":"x"}})", "Communication filter RSA" + kNotRegistered},
      {"not json", "ZLibCompression", "-1"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TConnection connection = Connect();
    connection.Client.Negotiate(c.list);
    connection.Client.Socket->WriteAll(Block(Plain("{}")));
    EXPECT_TRUE(connection.Client.ConnectionEnds());
    EXPECT_EQ(connection.Server->Outcome(), c.outcome);
  }
}

TEST(FilterNegotiationTest, HostileBlockEndsOnlyItsConnection) {
  struct Case {
    const char* name;
    std::string block;
    std::string outcome;
  };
  const Case kCases[] = {
      {"huge header", Header(kDataBlock, 0x7FFFFFF0u) + "\x02{}", "-1"},
      {"zlib bomb", Block(ZeroBomb(kMaxInflatedLength + 1)),
       "Compressed block inflates to more than 8388608 bytes"},
      {"body without marker", Header(kDataBlock, 0),
       "Received a block without a compression marker"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TConnection hostile = Connect();
    TConnection other = Connect();
    hostile.Client.Negotiate(kServerList);
    other.Client.Negotiate(kServerList);
    hostile.Client.Socket->WriteAll(c.block);
    EXPECT_TRUE(hostile.Client.ConnectionEnds());
    EXPECT_EQ(hostile.Server->Outcome(), c.outcome);
    other.Client.Socket->WriteAll(Block(Plain("{}")));
    EXPECT_EQ(other.Client.ReadBlockBody(), Plain("{}"));
  }
}

TEST(FilterNegotiationTest, PlainClientGetsNoAnswerFromFilteredServer) {
  TConnection connection = Connect();
  connection.Client.Socket->WriteAll(R"({"method":"connect","params":[]})");
  EXPECT_TRUE(connection.Client.ConnectionEnds());
  EXPECT_EQ(connection.Server->Outcome(), "-1");
}

TEST(FilterNegotiationTest, ServerWithoutFiltersAnswersNoFiltersToRawClient) {
  TTransportFilterCollection none;
  TConnection connection = Connect(&none);
  connection.Client.Socket->WriteAll(kRequest);
  EXPECT_EQ(connection.Client.Socket->ReadExactly(5), std::string("\x06\x00\x00\x00\x00", 5));
  connection.Client.Socket->WriteAll(R"({"method":"connect"})");
  EXPECT_EQ(connection.Client.Socket->ReadExactly(20), R"({"method":"connect"})");
  connection.Client.Socket->Close();
  EXPECT_EQ(connection.Server->Flag(), -1);
}

// Both ends are filtered channels: the initiating role against the server role.
class FilterChannelPairTest : public ::testing::Test {
 protected:
  void Connect(TTransportFilterCollection* AClientFilters,
               TTransportFilterCollection* AServerFilters) {
    auto [client, server] = OpenLoopbackPair();
    FServer = std::make_unique<TEchoServer>(AServerFilters, std::move(server));
    FClient = std::make_unique<TDBXFilterSocketChannel>(AClientFilters);
    FClient->SetChannel(std::move(client));
  }
  void Send(const std::string& AData) {
    FClient->Write(std::span(reinterpret_cast<const std::uint8_t*>(AData.data()), AData.size()), 0,
                   static_cast<int>(AData.size()));
  }
  std::string Receive(std::size_t ACount) {
    std::string received;
    std::vector<std::uint8_t> buffer(32768);
    while (received.size() < ACount) {
      const int count = FClient->Read(buffer, 0, static_cast<int>(buffer.size()));
      if (count <= 0) break;
      received.append(buffer.begin(), buffer.begin() + count);
    }
    return received;
  }
  void TearDown() override {
    FClient.reset();  // closes the socket, which ends the server's thread
    FServer.reset();
  }

  std::unique_ptr<TDBXFilterSocketChannel> FClient;
  std::unique_ptr<TEchoServer> FServer;
};

TEST_F(FilterChannelPairTest, ExchangeDataThroughCompression) {
  Connect(&ConfiguredFilters(), &ConfiguredFilters());
  const std::string request = Json(100000);
  Send(request);
  EXPECT_EQ(FClient->GetFlag(), 1);
  EXPECT_EQ(Receive(request.size()), request);
  Send("{}");
  EXPECT_EQ(Receive(2), "{}");
  FClient.reset();
  EXPECT_EQ(FServer->Flag(), 1);
  EXPECT_EQ(FServer->Threshold(), 1024);
}

TEST_F(FilterChannelPairTest, ClientWithoutFiltersTakesServerFilter) {
  TTransportFilterCollection none;
  Connect(&none, &ConfiguredFilters());
  Send(Json(5000));
  EXPECT_EQ(Receive(5000), Json(5000));
  EXPECT_EQ(FClient->GetFilterList()->GetFilterIdList(), std::vector<Text>{u"ZLibCompression"});
}

TEST_F(FilterChannelPairTest, TalkPlainWhenServerHasNoFilters) {
  TTransportFilterCollection none;
  Connect(&ConfiguredFilters(), &none);
  Send(R"({"method":"connect"})");
  EXPECT_EQ(FClient->GetFlag(), -1);
  EXPECT_EQ(Receive(20), R"({"method":"connect"})");
  FClient.reset();
  EXPECT_EQ(FServer->Flag(), -1);
}

TEST_F(FilterChannelPairTest, ExchangePublicKeyFiltersFirst) {
  fake_filters::TScopedRegistration key(&fake_filters::CreateKey);
  TTransportFilterCollection filters;
  filters.AddFilter(u"ZLibCompression");
  filters.AddFilter(u"TestKey");
  Connect(&filters, &filters);
  Send(Json(3000));
  EXPECT_EQ(Receive(3000), Json(3000));
}

TEST_F(FilterChannelPairTest, ClientNeedsServerWithItsPublicKeyFilter) {
  fake_filters::TScopedRegistration key(&fake_filters::CreateKey);
  TTransportFilterCollection filters;
  filters.AddFilter(u"TestKey");
  Connect(&filters, &ConfiguredFilters());
  try {
    Send("{}");
    FAIL() << "no error";
  } catch (const TDBXError& e) {
    EXPECT_EQ(e.Message(), u"The Server has no matching TestKey filter.");
  }
}
