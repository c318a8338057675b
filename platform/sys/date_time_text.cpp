#include "platform/sys/date_time_text.h"

#include <langinfo.h>

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
