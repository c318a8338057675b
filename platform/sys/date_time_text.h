#pragma once

// Date and time as the user's regional settings write them: the LC_TIME locale's date format
// (D_FMT), one blank and its time format (T_FMT). Where no regional format was chosen (LC_TIME
// is C or POSIX, the default of services and fresh systems, whose month-first two-digit year
// clients read wrongly) the Brazilian one: "31/12/2045 23:59:59". Reads the process locale;
// any thread.

#include <chrono>
#include <ctime>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace sys {

// ALocal broken down in local time; AMillis 0-999. At exactly midnight (hours, minutes,
// seconds and milliseconds all zero) the blank and the time are left out.
Text FormatDateTime(const std::tm& ALocal, int AMillis);

// Reads back what FormatDateTime wrote in this process's locale, with or without the time; the
// Brazilian form is also taken. Nothing for any other text (trailing blanks aside).
std::optional<std::tm> ParseDateTime(TextView AText);

// Whether a locale name stands for no regional choice: "C", "POSIX", or "C.<charset>".
bool IsUnchosenLocale(std::string_view AName);

// The formats used where no regional format was chosen.
inline constexpr const char* kDefaultDateFormat = "%d/%m/%Y";
inline constexpr const char* kDefaultTimeFormat = "%H:%M:%S";

// The moment in local time, formatted as above.
Text FormatLocalDateTime(std::chrono::system_clock::time_point AMoment);

}  // namespace sys
