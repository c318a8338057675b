#include "transport/server/password_authentication.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/report_capture.h"

namespace {

namespace msg = authentication_messages;
using password_hash::TPasswordHash;

// A manager for "caixa" / "s3nha!" on a clock the test moves.
class PasswordAuthenticationTest : public testing::Test {
 protected:
  bool Connect(const Text& AUser, const Text& APassword, const Text& AAddress = u"192.168.0.7") {
    TDSAuthenticateEventObject event;
    event.Protocol = u"tcp/ip";
    event.UserName = AUser;
    event.Password = APassword;
    event.RemoteAddress = AAddress;
    std::vector<Text> roles;
    return FManager.Authenticate(event, {}, roles);
  }
  std::size_t ReportsOf(const Text& AAddress) const {
    std::size_t count = 0;
    for (const auto& report : FReports.Reports())
      if (report.Source == msg::kDiagnosticsSource && report.Message.find(AAddress) != Text::npos)
        ++count;
    return count;
  }

  std::chrono::steady_clock::time_point FNow{std::chrono::hours(1)};
  TReportCapture FReports;
  TPasswordAuthenticationManager FManager{u"caixa", TPasswordHash::Make("s3nha!", 1000),
                                          [this] { return FNow; }};
};

TEST_F(PasswordAuthenticationTest, OnlyTheRightUserWithTheRightPasswordIsAccepted) {
  struct Case {
    const char* name;
    Text user;
    Text password;
    bool accepted;
  };
  const Case kCases[] = {
      {"right", u"caixa", u"s3nha!", true},
      {"wrong password", u"caixa", u"s3nha", false},
      {"wrong user", u"caixa2", u"s3nha!", false},
      {"user in other case", u"Caixa", u"s3nha!", false},
      {"no user", u"", u"s3nha!", false},
      {"no password", u"caixa", u"", false},
      {"neither", u"", u"", false},
      {"password with a blank", u"caixa", u"s3nha! ", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FNow += msg::kFailureWindow;  // each case from a fresh minute
    EXPECT_EQ(Connect(c.user, c.password), c.accepted);
  }
  std::vector<Text> authorized, denied;
  FManager.GetAuthRoles(u"TSMSignService.SignDocument", authorized, denied);
  EXPECT_TRUE(authorized.empty() && denied.empty());
  EXPECT_TRUE(FManager.Authorize(
      TDSAuthorizeEventObject{u"TSMSignService.SignDocument", u"caixa", {}, {}, {}}));
}

TEST_F(PasswordAuthenticationTest, PasswordIsCheckedAsUtf8) {
  TPasswordAuthenticationManager manager(u"operação", TPasswordHash::Make("ação", 1000));
  TDSAuthenticateEventObject event{u"tcp/ip", u"operação", u"ação", u"::1"};
  std::vector<Text> roles;
  EXPECT_TRUE(manager.Authenticate(event, {}, roles));
}

TEST_F(PasswordAuthenticationTest, AnAddressThatFailsTooOftenIsRefusedAtOnceForAMinute) {
  for (int i = 0; i < msg::kMaxFailures; ++i) {
    EXPECT_FALSE(Connect(u"caixa", u"chute"));
    FNow += std::chrono::seconds(1);
  }
  // Refused without checking: even the right password.
  EXPECT_FALSE(Connect(u"caixa", u"s3nha!"));
  // Other addresses are not affected.
  EXPECT_TRUE(Connect(u"caixa", u"s3nha!", u"192.168.0.8"));
  EXPECT_TRUE(Connect(u"caixa", u"s3nha!", u"::ffff:192.168.0.70"));
  // Once the oldest failure is a minute old, one more try is checked.
  FNow += msg::kFailureWindow - std::chrono::seconds(msg::kMaxFailures) + std::chrono::seconds(1);
  EXPECT_TRUE(Connect(u"caixa", u"s3nha!"));
}

TEST_F(PasswordAuthenticationTest, SuccessForgetsTheFailuresOfItsAddress) {
  for (int i = 0; i + 1 < msg::kMaxFailures; ++i) EXPECT_FALSE(Connect(u"caixa", u"chute"));
  EXPECT_TRUE(Connect(u"caixa", u"s3nha!"));
  for (int i = 0; i + 1 < msg::kMaxFailures; ++i) EXPECT_FALSE(Connect(u"caixa", u"chute"));
  EXPECT_TRUE(Connect(u"caixa", u"s3nha!"));
}

TEST_F(PasswordAuthenticationTest, FailuresAndRefusalsAreToldOnceAMinutePerAddress) {
  const Text failed = Text(msg::kRefusedBefore) + u"192.168.0.7" + Text(msg::kWrongCredentials);
  const Text refused = Text(msg::kRefusedBefore) + u"192.168.0.7" + Text(msg::kTooManyFailures);
  const auto count = [&](const Text& AMessage) {
    std::size_t n = 0;
    for (const auto& report : FReports.Reports())
      n += report.Source == msg::kDiagnosticsSource && report.Message == AMessage;
    return n;
  };
  for (int i = 0; i < 3 * msg::kMaxFailures; ++i) Connect(u"caixa", u"chute");
  Connect(u"caixa", u"chute", u"10.1.1.1");
  EXPECT_EQ(count(failed), 1u);
  EXPECT_EQ(count(refused), 1u);
  EXPECT_EQ(ReportsOf(u"192.168.0.7"), 2u);
  EXPECT_EQ(ReportsOf(u"10.1.1.1"), 1u);
  FNow += std::chrono::seconds(30);
  Connect(u"caixa", u"chute");  // refused at once, within the minute of the last report
  EXPECT_EQ(ReportsOf(u"192.168.0.7"), 2u);
  FNow += std::chrono::seconds(30);
  for (int i = 0; i < 3 * msg::kMaxFailures; ++i) Connect(u"caixa", u"chute");
  EXPECT_EQ(count(failed), 2u);
  EXPECT_EQ(count(refused), 2u);
}

TEST_F(PasswordAuthenticationTest, ASweepOfManyAddressesIsRememberedOnlySoFar) {
  for (std::size_t i = 0; i < msg::kMaxAddresses + 10; ++i)
    EXPECT_FALSE(Connect(
        u"caixa", u"chute",
        text::FromAscii("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250))));
  // Still serving, and still limiting a guesser.
  for (int i = 0; i < msg::kMaxFailures; ++i) Connect(u"caixa", u"chute");
  EXPECT_FALSE(Connect(u"caixa", u"s3nha!"));
  EXPECT_TRUE(Connect(u"caixa", u"s3nha!", u"192.168.0.9"));
}

// The session asks the manager with the connect's user and password.
TEST_F(PasswordAuthenticationTest, TcpSessionAsksTheManager) {
  TDSTCPSession session(&FManager);
  TDSAuthenticateEventObject event{u"tcp/ip", u"caixa", u"s3nha!", u"127.0.0.1"};
  const TDSConnectProperties properties = {{u"DSAuthenticationUser", u"caixa"},
                                           {u"DSAuthenticationPassword", u"s3nha!"}};
  EXPECT_TRUE(session.Authenticate(event, properties));
  EXPECT_EQ(session.UserName(), u"caixa");
  event.Password = u"errada";
  EXPECT_FALSE(TDSTCPSession(&FManager).Authenticate(event, properties));
}

}  // namespace
