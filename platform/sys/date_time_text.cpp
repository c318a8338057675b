#include "platform/sys/date_time_text.h"

#include <langinfo.h>
#include <time.h>

#include <array>
#include <clocale>
#include <string>

namespace sys {
namespace {

Text Strftime(const std::string& format, const std::tm& ALocal) {
  if (format.empty()) return {};
  std::array<char, 256> buffer{};
  const std::size_t n = std::strftime(buffer.data(), buffer.size(), format.c_str(), &ALocal);
  return text::FromLocale(std::string_view(buffer.data(), n));
}

}  // namespace

bool IsUnchosenLocale(std::string_view AName) {
  return AName == "C" || AName == "POSIX" || AName.starts_with("C.");
}

Text FormatDateTime(const std::tm& ALocal, int AMillis) {
  const char* const locale = std::setlocale(LC_TIME, nullptr);
  const bool unchosen = !locale || IsUnchosenLocale(locale);
  // nl_langinfo's text may be overwritten by its next call: copy it at once.
  const std::string dateFormat = unchosen ? kDefaultDateFormat : nl_langinfo(D_FMT);
  Text result = Strftime(dateFormat, ALocal);
  if (ALocal.tm_hour == 0 && ALocal.tm_min == 0 && ALocal.tm_sec == 0 && AMillis == 0)
    return result;
  const std::string timeFormat = unchosen ? kDefaultTimeFormat : nl_langinfo(T_FMT);
  return result + u' ' + Strftime(timeFormat, ALocal);
}

std::optional<std::tm> ParseDateTime(TextView AText) {
  const std::string input = text::ToLocale(AText);
  const char* const locale = std::setlocale(LC_TIME, nullptr);
  const bool unchosen = !locale || IsUnchosenLocale(locale);
  const std::string date = unchosen ? kDefaultDateFormat : nl_langinfo(D_FMT);
  const std::string time = unchosen ? kDefaultTimeFormat : nl_langinfo(T_FMT);
  const std::string defaultBoth = std::string(kDefaultDateFormat) + " " + kDefaultTimeFormat;
  for (const std::string& format :
       {date + " " + time, date, defaultBoth, std::string(kDefaultDateFormat)}) {
    std::tm moment{};
    const char* end = ::strptime(input.c_str(), format.c_str(), &moment);
    if (!end) continue;
    while (*end == ' ') ++end;
    if (*end != '\0') continue;
    moment.tm_isdst = -1;  // whatever the date's own season says
    return moment;
  }
  return std::nullopt;
}

Text FormatLocalDateTime(std::chrono::system_clock::time_point AMoment) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(AMoment);
  const auto sinceEpoch = AMoment.time_since_epoch();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
      sinceEpoch - std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch));
  std::tm local{};
  localtime_r(&seconds, &local);
  // to_time_t truncates towards zero: keep the milliseconds of the same second.
  return FormatDateTime(local, static_cast<int>((millis.count() + 1000) % 1000));
}

}  // namespace sys
