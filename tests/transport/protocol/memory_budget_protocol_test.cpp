// The process's memory budget seen from the clients: a request past it is answered with the
// refusal and its bytes are given back, while the small requests of other clients go on.

#include <gtest/gtest.h>

#include <string>

#include "tests/transport/protocol/protocol_test_support.h"
#include "transport/stream/memory_budget.h"

using namespace prototest;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// Sets the process's budget for one test and puts the previous one back.
class TBudgetScope {
 public:
  explicit TBudgetScope(std::size_t ALimit) : FPrevious(TMemoryBudget::Process().Limit()) {
    TMemoryBudget::Process().SetLimit(ALimit);
  }
  ~TBudgetScope() { TMemoryBudget::Process().SetLimit(FPrevious); }
  TBudgetScope(const TBudgetScope&) = delete;
  TBudgetScope& operator=(const TBudgetScope&) = delete;

 private:
  std::size_t FPrevious;
};

TClient Connected(const TProtocolServer& AServer) {
  TClient client(AServer.Port(), true);
  EXPECT_EQ(client.Exchange(kConnect), kConnectReply);
  return client;
}

TEST(MemoryBudgetProtocol, RequestPastTheBudgetIsRefusedAndOtherClientsGoOn) {
  const TBudgetScope budget(8 * kMiB);
  const std::size_t idle = TMemoryBudget::Process().InUse();
  TProtocolServer server;
  TClient good = Connected(server);
  const struct {
    const char* name;
    std::size_t bytes;  // of the request's block once inflated
  } kCases[] = {{"block past the budget", 12 * kMiB}, {"bomb far past it", 60 * kMiB}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TClient greedy = Connected(server);
    // Deflates to a few kilobytes; the server learns its size only by inflating it.
    const std::string request = Request(
        "prepare", "-1,false,\"DataSnap.ServerMethod\",\"" + std::string(c.bytes, ' ') + "\"");
    const std::string reply = greedy.Exchange(request);
    EXPECT_EQ(reply,
              DbxError(memory_budget_messages::kExceededCode, memory_budget_messages::kExceeded));
    EXPECT_TRUE(greedy.ClosedByServer());
    EXPECT_EQ(good.Exchange(kConnect), kConnectReply);
  }
  good.Close();
  ASSERT_TRUE(server.WaitForNoSession());
  EXPECT_EQ(TMemoryBudget::Process().InUse(), idle) << "every refused byte is given back";
}

}  // namespace
