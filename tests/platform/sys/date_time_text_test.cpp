#include "platform/sys/date_time_text.h"

#include <gtest/gtest.h>

namespace {

std::tm Moment(int AHour, int AMinute, int ASecond) {
  std::tm moment{};
  moment.tm_year = 2014 - 1900;
  moment.tm_mon = 11;
  moment.tm_mday = 31;
  moment.tm_hour = AHour;
  moment.tm_min = AMinute;
  moment.tm_sec = ASecond;
  return moment;
}

// The test program runs in C.UTF-8: no regional format chosen, so the Brazilian one applies
// (the C locale's own "12/31/14" reads as the wrong day or century to clients).
TEST(DateTimeText, LeavesTheTimeOutOnlyAtExactMidnight) {
  struct Case {
    const char* name;
    std::tm moment;
    int millis;
    Text expected;
  };
  const Case kCases[] = {
      {"midnight", Moment(0, 0, 0), 0, u"31/12/2014"},
      {"one millisecond after midnight", Moment(0, 0, 0), 1, u"31/12/2014 00:00:00"},
      {"one second after midnight", Moment(0, 0, 1), 0, u"31/12/2014 00:00:01"},
      {"noon", Moment(12, 0, 0), 0, u"31/12/2014 12:00:00"},
      {"end of day", Moment(23, 59, 59), 999, u"31/12/2014 23:59:59"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sys::FormatDateTime(c.moment, c.millis), c.expected);
  }
}

TEST(DateTimeText, ReadsBackWhatItWrites) {
  struct Case {
    Text written;
    std::optional<std::tm> expected;
  };
  const Case kCases[] = {
      {u"31/12/2014 23:59:59", Moment(23, 59, 59)},
      {u"31/12/2014", Moment(0, 0, 0)},
      {u"31/12/2014 12:00:00  ", Moment(12, 0, 0)},
      {u"31/12/2014 12:00:00 x", std::nullopt},
      {u"2014-12-31", std::nullopt},
      {u"", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(text::ToUtf8(c.written));
    const std::optional<std::tm> read = sys::ParseDateTime(c.written);
    ASSERT_EQ(read.has_value(), c.expected.has_value());
    if (!read) continue;
    EXPECT_EQ(sys::FormatDateTime(*read, 0), sys::FormatDateTime(*c.expected, 0));
  }
}

TEST(DateTimeText, OnlyCAndPosixCountAsNoRegionalChoice) {
  for (const char* name : {"C", "POSIX", "C.UTF-8", "C.utf8"})
    EXPECT_TRUE(sys::IsUnchosenLocale(name)) << name;
  for (const char* name : {"pt_BR.UTF-8", "en_US.UTF-8", "de_DE", "Cs_CZ"})
    EXPECT_FALSE(sys::IsUnchosenLocale(name)) << name;
}

}  // namespace
