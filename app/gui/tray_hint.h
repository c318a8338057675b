#pragma once

// The tray icon's hint as the notification area takes it: at most its first 127 characters
// (UTF-16 code units), never ending in half of a surrogate pair.

#include <QString>

#include "platform/text.h"

inline constexpr qsizetype kTrayHintMaxLength = 127;

inline QString TrayHintText(TextView AHint) {
  qsizetype length = std::min<qsizetype>(static_cast<qsizetype>(AHint.size()), kTrayHintMaxLength);
  // A pair cut in two would show as a broken character.
  if (length < static_cast<qsizetype>(AHint.size()) && length > 0 &&
      QChar::isHighSurrogate(AHint[static_cast<std::size_t>(length - 1)]))
    --length;
  return QString::fromUtf16(AHint.data(), length);
}
