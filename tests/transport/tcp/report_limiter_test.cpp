#include "transport/tcp/report_limiter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(ReportLimiter, OneLineAMinutePerAddressCountingTheRest) {
  TReportLimiter limiter;
  const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
  const struct {
    const char* name;
    const char* address;
    std::chrono::steady_clock::duration at;
    bool admitted;
    std::uint64_t heldBack;
  } kSteps[] = {
      {"first", "10.0.0.1", 0s, true, 0},           {"same address soon", "10.0.0.1", 1s, false, 0},
      {"again", "10.0.0.1", 59s, false, 0},         {"other address", "10.0.0.2", 2s, true, 0},
      {"a minute later", "10.0.0.1", 61s, true, 2}, {"then quiet again", "10.0.0.1", 62s, false, 0},
  };
  for (const auto& s : kSteps) {
    SCOPED_TRACE(s.name);
    std::uint64_t heldBack = 99;
    EXPECT_EQ(limiter.Admit(s.address, t0 + s.at, heldBack), s.admitted);
    if (s.admitted) {
      EXPECT_EQ(heldBack, s.heldBack);
    }
  }
}

TEST(TruncatedForReport, KeepsAtMostTheGivenBytesOfAClientsText) {
  const std::u16string longText(32 * 1024, u'x');
  std::u16string pairAtCut(199, u'a');
  pairAtCut += u"\U0001F600tail";
  const struct {
    const char* name;
    std::u16string in;
    std::u16string out;
  } kCases[] = {
      {"short", u"abc", u"abc"},
      {"exactly 200", std::u16string(200, u'y'), std::u16string(200, u'y')},
      {"long", longText, std::u16string(200, u'x') + u"..."},
      {"surrogate pair at the cut", pairAtCut, std::u16string(199, u'a') + u"..."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TruncatedForReport(c.in), c.out);
  }
}

}  // namespace
