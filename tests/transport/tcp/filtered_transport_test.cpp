// The transport's connections talk through the filtered channel built from its configured
// filters: negotiation, compressed blocks, and hostile blocks that end only their own
// connection.

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/loopback_socket_channel.h"
#include "tests/transport/tcp/tcp_test_support.h"
#include "transport/dbx_error.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/filter_socket_channel.h"
#include "transport/tcp/server_transport.h"

using namespace tcptest;

namespace {

const std::string kRequest(5, '\x05');
const std::string kServerList =
    R"({"ZLibCompression":{"FilterUnit":"DbxCompressionFilter","CompressMoreThan":"1024"}})";

std::string Header(std::uint8_t AKind, std::uint32_t ALength) {
  return {static_cast<char>(AKind), static_cast<char>(ALength >> 24),
          static_cast<char>(ALength >> 16), static_cast<char>(ALength >> 8),
          static_cast<char>(ALength)};
}

// Echoes every read back as one write; a failed read ends the connection like the message
// reader does.
class TBlockEcho : public TDBXProtocolHandler {
 public:
  explicit TBlockEcho(TDbxChannelPtr AChannel) : FChannel(std::move(AChannel)) {}
  void HandleProtocol() override {}
  void SetUp(TDSAuthenticationManager*) override {}
  bool HandleNonBlockingProtocol() override {
    const int n = FChannel->Read(FBuffer, 0, static_cast<int>(FBuffer.size()));
    if (n <= 0) throw TDBXError(0, "Read error");
    FChannel->Write(FBuffer, 0, n);
    return true;
  }

 private:
  TDbxChannelPtr FChannel;
  std::vector<std::uint8_t> FBuffer = std::vector<std::uint8_t>(32768);
};

class TBlockEchoFactory : public TDSProtocolHandlerFactory {
 public:
  TDBXProtocolHandlerPtr CreateProtocolHandler(TDbxChannelPtr Channel,
                                               TDSConnectionContext&) override {
    return std::make_unique<TBlockEcho>(std::move(Channel));
  }
};

class FilteredTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    FTransport.SetSessionManager(FManager);
    FTransport.SetPort(0);
    FTransport.SetProtocolHandlerFactory(std::make_unique<TBlockEchoFactory>());
    ASSERT_EQ(FTransport.Filters().AddFilter(u"ZLibCompression"), 0);
    FTransport.Filters().GetItem(0)->SetFilterPropertiesText(u"CompressMoreThan=1024");
    FTransport.Start();
    FPort = FTransport.BoundPort();
  }

  // A client holding the same filter, as deployed clients do.
  std::unique_ptr<TDBXFilterSocketChannel> FilteredClient() {
    UniqueFd fd = Connect(FPort);
    EXPECT_TRUE(fd);
    auto client = std::make_unique<TDBXFilterSocketChannel>(&ClientFilters());
    client->SetChannel(std::make_unique<test_support::TLoopbackSocketChannel>(
        test_support::TSocketFd(fd.release())));
    return client;
  }

  static TTransportFilterCollection& ClientFilters() {
    static TTransportFilterCollection filters;
    if (filters.Count() == 0) filters.AddFilter(u"ZLibCompression");
    return filters;
  }

  static std::string RoundTrip(TDbxChannel& AClient, const std::string& APayload) {
    std::span bytes(reinterpret_cast<const std::uint8_t*>(APayload.data()), APayload.size());
    if (AClient.Write(bytes, 0, static_cast<int>(bytes.size())) < 0) return "<write failed>";
    std::string back;
    std::vector<std::uint8_t> buffer(APayload.size());
    while (back.size() < APayload.size()) {
      const int n = AClient.Read(buffer, 0, static_cast<int>(APayload.size() - back.size()));
      if (n <= 0) return back + "<read failed>";
      back.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    return back;
  }

  // A raw connection that has negotiated like a client holding the same filter.
  UniqueFd NegotiatedRawClient() {
    UniqueFd fd = Connect(FPort);
    EXPECT_TRUE(SendAll(fd.get(), kRequest));
    EXPECT_EQ(RecvExactly(fd.get(), 5 + kServerList.size()),
              Header(0x0D, static_cast<std::uint32_t>(kServerList.size())) + kServerList);
    EXPECT_TRUE(SendAll(
        fd.get(), Header(0x0D, static_cast<std::uint32_t>(kServerList.size())) + kServerList));
    return fd;
  }

  TDSSessionManager FManager;
  TDSTCPServerTransport FTransport;
  std::uint16_t FPort = 0;
};

TEST_F(FilteredTransport, AnswersTheNegotiationRequestWithItsFilterList) {
  UniqueFd client = NegotiatedRawClient();
  // A small block goes out plain (marker 2) and comes back the same way.
  ASSERT_TRUE(SendAll(client.get(), Header(0x0D, 14) + "\x02{\"result\":[]}"));
  EXPECT_EQ(RecvExactly(client.get(), 19), Header(0x0D, 14) + "\x02{\"result\":[]}");
}

TEST_F(FilteredTransport, FilteredClientsRoundTripSmallAndCompressedBlocks) {
  auto first = FilteredClient();
  auto second = FilteredClient();
  std::string large;
  for (int i = 0; large.size() < 20000; ++i) large += "<Valor>" + std::to_string(i) + "</Valor>";
  for (const std::string& payload :
       {std::string("{\"result\":[]}"), large, std::string(1025, 'x')}) {
    EXPECT_EQ(RoundTrip(*first, payload), payload);
    EXPECT_EQ(RoundTrip(*second, payload), payload);
  }
}

TEST_F(FilteredTransport, PlainBytesWithoutNegotiationAreDisconnectedUnanswered) {
  UniqueFd client = Connect(FPort);
  ASSERT_TRUE(SendAll(client.get(), "{\"method\":\"connect\"}"));
  EXPECT_TRUE(ClosedByServer(client.get()));
}

// A compressed body that inflates to far more than any block may carry.
std::string ZlibBomb() {
  z_stream stream{};
  EXPECT_EQ(deflateInit(&stream, 9), Z_OK);
  std::vector<std::uint8_t> zeros(1 << 20);
  std::string out(1, '\x01');
  std::vector<std::uint8_t> chunk(1 << 16);
  for (int i = 0; i < 128; ++i) {
    stream.next_in = zeros.data();
    stream.avail_in = static_cast<uInt>(zeros.size());
    const int flush = i == 127 ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = chunk.data();
      stream.avail_out = static_cast<uInt>(chunk.size());
      deflate(&stream, flush);
      out.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return out;
}

TEST_F(FilteredTransport, HostileBlocksEndOnlyTheirOwnConnection) {
  auto bystander = FilteredClient();
  ASSERT_EQ(RoundTrip(*bystander, "before"), "before");
  const std::string bomb = ZlibBomb();
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case kCases[] = {
      {"huge length header", Header(0x0D, 0x7FFFFFF0) + "\x02"},
      {"zlib bomb", Header(0x0D, static_cast<std::uint32_t>(bomb.size())) + bomb},
      {"empty body", Header(0x0D, 0)},
      {"unknown block kind", Header(0x09, 1) + "\x02"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    UniqueFd attacker = NegotiatedRawClient();
    ASSERT_TRUE(SendAll(attacker.get(), c.bytes));
    EXPECT_TRUE(ClosedByServer(attacker.get()));
    EXPECT_EQ(RoundTrip(*bystander, c.name), c.name);
  }
}

TEST_F(FilteredTransport, UnregisteredFilterEndsTheConnection) {
  UniqueFd client = Connect(FPort);
  ASSERT_TRUE(SendAll(client.get(), kRequest));
  ASSERT_EQ(RecvExactly(client.get(), 5 + kServerList.size()).size(), 5 + kServerList.size());
  const std::string list = R"({"PC1":{"Key":"abc"}})";
  ASSERT_TRUE(SendAll(client.get(), Header(0x0D, static_cast<std::uint32_t>(list.size())) + list));
  EXPECT_TRUE(ClosedByServer(client.get()));
}

}  // namespace
