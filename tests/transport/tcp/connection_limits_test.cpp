// The transport's defences against clients that hold what others need: connection slots per
// address and in all, the deadline of a started message and of a stalled send.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/report_capture.h"
#include "tests/support/wait_until.h"
#include "tests/transport/tcp/tcp_test_support.h"
#include "transport/tcp/server_transport.h"

using namespace tcptest;
using namespace std::chrono_literals;

namespace {

// Echo of the support header, the frame built without string concatenation (which GCC 12's
// restrict warning misreads once inlined here).
bool RoundTrip(int AFd, const std::string& APayload) {
  std::string frame(1, static_cast<char>(APayload.size()));
  frame.append(APayload);
  return SendAll(AFd, frame) && RecvExactly(AFd, APayload.size()) == APayload;
}

class ConnectionLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    FTransport.SetSessionManager(FManager);
    FTransport.SetPort(0);
    FTransport.SetProtocolHandlerFactory(std::make_unique<TEchoFactory>(FProbe, FManager));
  }

  std::uint16_t Start() {
    FTransport.Start();
    return FTransport.BoundPort();
  }

  bool WaitForHandlers(int ACreated, int ADestroyed = 0) {
    return FProbe->WaitFor(
        [&](TProbe& p) { return p.Created() >= ACreated && p.Destroyed() >= ADestroyed; });
  }

  // Figures that have nothing to wait on: polled.
  template <class TPredicate>
  static bool Eventually(TPredicate APredicate) {
    return WaitUntil(APredicate, kWait);
  }

  std::shared_ptr<TProbe> FProbe = std::make_shared<TProbe>();
  TDSSessionManager FManager;
  TDSTCPServerTransport FTransport;
};

// A client whose receive buffer is small, so that replies it does not read soon fill it.
UniqueFd SmallReceiveBufferClient(std::uint16_t APort) {
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int small = 4096;
  ::setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(APort);
  if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return UniqueFd();
  return client;
}

// The longest frame the echo protocol takes: 255 bytes after its length byte.
std::string FullFrame() {
  std::string frame(256, 'r');
  frame[0] = static_cast<char>(255);
  return frame;
}

TEST_F(ConnectionLimits, SlotsTakenRefuseAtOnceAndOtherAddressesGoOn) {
  const struct {
    const char* name;
    int max, perAddress;
    const char* refusedFrom;  // the address of the connection past the limit
    std::u16string_view reason;
    const char* servedFrom;  // nullptr when every slot is taken
  } kCases[] = {
      {"per address", 0, 2, "127.0.0.1", tcp_messages::kNoAddressSlot, "127.0.0.2"},
      {"in all", 2, 64, "127.0.0.3", tcp_messages::kNoConnectionSlot, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TReportCapture capture;
    FProbe = std::make_shared<TProbe>();
    FTransport.SetProtocolHandlerFactory(std::make_unique<TEchoFactory>(FProbe, FManager));
    FTransport.SetConnectionLimits(c.max, c.perAddress);
    const std::uint64_t refusedBefore = FTransport.RefusedConnections();
    const std::uint16_t port = Start();
    UniqueFd first = Connect(port);
    UniqueFd second = Connect(port);
    ASSERT_TRUE(RoundTrip(first.get(), "one"));
    ASSERT_TRUE(RoundTrip(second.get(), "two"));
    UniqueFd refused = Connect(port, c.refusedFrom);
    ASSERT_TRUE(refused);
    EXPECT_TRUE(ClosedByServer(refused.get()));
    EXPECT_EQ(FTransport.RefusedConnections(), refusedBefore + 1);
    EXPECT_TRUE(capture.WaitFor(tcp_messages::kRefusalSource, c.reason));
    if (c.servedFrom) {
      UniqueFd other = Connect(port, c.servedFrom);
      EXPECT_TRUE(RoundTrip(other.get(), "served"));
    }
    // A slot given back is free again.
    first.reset();
    ASSERT_TRUE(Eventually([&] { return FTransport.ConnectionCount() <= 1; }));
    UniqueFd again = Connect(port, c.refusedFrom);
    EXPECT_TRUE(RoundTrip(again.get(), "again"));
    FTransport.Stop();
  }
}

TEST_F(ConnectionLimits, RefusalsOfOneAddressAreReportedOnceAMinute) {
  const TReportCapture capture;
  FTransport.SetConnectionLimits(0, 1);
  const std::uint16_t port = Start();
  UniqueFd held = Connect(port);
  ASSERT_TRUE(RoundTrip(held.get(), "held"));
  for (int i = 0; i < 5; ++i) {
    UniqueFd refused = Connect(port);
    EXPECT_TRUE(ClosedByServer(refused.get()));
  }
  EXPECT_EQ(FTransport.RefusedConnections(), 5u);
  std::size_t lines = 0;
  for (const auto& report : capture.Reports())
    lines += report.Source == tcp_messages::kRefusalSource ? 1 : 0;
  EXPECT_EQ(lines, 1u);
}

TEST_F(ConnectionLimits, MessageThatTricklesIsClosedAtItsDeadlineWhileIdleOnesStay) {
  FTransport.SetDeadlines(300ms, 60s);
  const std::uint16_t port = Start();
  UniqueFd idle = Connect(port);
  UniqueFd trickling = Connect(port);
  ASSERT_TRUE(SendAll(trickling.get(),
                      "\x0A"
                      "abc"));  // 10 announced, 3 sent
  EXPECT_TRUE(ClosedByServer(trickling.get()));
  EXPECT_TRUE(Eventually([&] { return FTransport.TimedOutConnections() == 1; }));
  // Idle far longer than the deadline between messages, then served.
  std::this_thread::sleep_for(600ms);
  EXPECT_TRUE(RoundTrip(idle.get(), "still here"));
  // A message that completes in time is served, however many come after each other.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(RoundTrip(idle.get(), "tick"));
}

// A client speaks first: a connection that says nothing after its accept is ended at the
// first-byte deadline, and one that spoke stays idle between messages as long as it likes.
TEST_F(ConnectionLimits, AConnectionThatNeverSpeaksIsClosedAtItsFirstByteDeadline) {
  FTransport.SetDeadlines(30s, 60s, 300ms);
  const std::uint16_t port = Start();
  UniqueFd spoke = Connect(port);
  ASSERT_TRUE(RoundTrip(spoke.get(), "cedo"));
  UniqueFd silent = Connect(port);
  EXPECT_TRUE(ClosedByServer(silent.get()));
  EXPECT_TRUE(Eventually([&] { return FTransport.TimedOutConnections() == 1; }));
  std::this_thread::sleep_for(600ms);
  EXPECT_TRUE(RoundTrip(spoke.get(), "ainda aqui"));
  EXPECT_EQ(FTransport.TimedOutConnections(), 1u);
}

TEST_F(ConnectionLimits, ClientThatDoesNotReadItsRepliesIsClosedWhenTheSendStalls) {
  FTransport.SetDeadlines(30s, 300ms);
  const std::uint16_t port = Start();
  UniqueFd reader = Connect(port);
  UniqueFd client = SmallReceiveBufferClient(port);
  ASSERT_TRUE(client);
  // Requests until the server stops taking them: its replies then fill every buffer.
  const std::string frame = FullFrame();
  for (int i = 0; i < 400000 && FTransport.TimedOutConnections() == 0; ++i) {
    const ssize_t sent =
        ::send(client.get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (sent < 0) break;
  }
  EXPECT_TRUE(Eventually([&] { return FTransport.TimedOutConnections() == 1; }));
  EXPECT_TRUE(Eventually([&] { return FTransport.ConnectionCount() == 1; }));
  EXPECT_TRUE(RoundTrip(reader.get(), "others go on"));
}

// A reader that takes a little now and then keeps every send moving, so the stall deadline
// never comes: its reply must drain at the minimum rate, or the connection ends.
TEST_F(ConnectionLimits, AReaderSlowerThanTheMinimumDrainIsClosed) {
  FTransport.SetDeadlines(30s, 30s);
  FTransport.SetMinimumDrain(1024 * 1024, 300ms);
  const std::uint16_t port = Start();
  UniqueFd reader = Connect(port);
  UniqueFd client = SmallReceiveBufferClient(port);
  ASSERT_TRUE(client);
  const std::string frame = FullFrame();
  for (int i = 0; i < 400000; ++i) {
    const ssize_t sent =
        ::send(client.get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) break;
  }
  // About 5 KB/s, far below the minimum: some bytes move all the time.
  char some[100];
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (FTransport.TimedOutConnections() == 0 && std::chrono::steady_clock::now() < until) {
    [[maybe_unused]] const ssize_t n = ::recv(client.get(), some, sizeof some, MSG_DONTWAIT);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(FTransport.TimedOutConnections(), 1u);
  EXPECT_TRUE(RoundTrip(reader.get(), "others go on"));
}

}  // namespace
