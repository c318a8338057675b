#pragma once

// Date and time as the user's regional settings write them: the LC_TIME locale's date format
// (D_FMT), one blank and its time format (T_FMT). Reads the process locale; any thread.

#include <chrono>
#include <ctime>

#include "platform/text.h"

namespace sys {

// ALocal broken down in local time; AMillis 0-999. At exactly midnight (hours, minutes,
// seconds and milliseconds all zero) the blank and the time are left out.
Text FormatDateTime(const std::tm& ALocal, int AMillis);

// The moment in local time, formatted as above.
Text FormatLocalDateTime(std::chrono::system_clock::time_point AMoment);

}  // namespace sys
