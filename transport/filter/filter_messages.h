#pragma once

// Texts of the filtered channel and its filters, as deployed clients show them; tests compare
// them byte for byte. "%s" marks are filled in order by FormatMessage.

#include <initializer_list>

#include "platform/text.h"

namespace filter_messages {

// Code of every TDBXError raised by the filter layer.
inline constexpr int kErrorCode = 0;

inline constexpr TextView kFilterNotRegistered =
    u"Communication filter %s is not registered. Filter class needs to be registered in order "
    u"to communicate with the server.";
inline constexpr TextView kFilterRejectedParameter =
    u"Filter %s rejected setup parameter %s given value %s. At this point the server "
    u"communication is not possible due to this incompatibility.";
inline constexpr TextView kNoMatchingFilter = u"The Server has no matching %s filter.";
inline constexpr TextView kIllegalArgument = u"Illegal argument";
inline constexpr TextView kInvalidInteger = u"'%s' is not a valid integer value";

// Our own, for bodies the deployed protocol never produces.
inline constexpr TextView kEmptyBody = u"Received a block without a compression marker";
inline constexpr TextView kInflatedTooLong = u"Compressed block inflates to more than %s bytes";

// Replaces each "%s" of APattern by the next argument; extra marks stay as they are.
inline Text FormatMessage(TextView APattern, std::initializer_list<TextView> AArgs) {
  Text result;
  auto arg = AArgs.begin();
  for (std::size_t i = 0; i < APattern.size(); ++i) {
    if (APattern[i] == u'%' && i + 1 < APattern.size() && APattern[i + 1] == u's' &&
        arg != AArgs.end()) {
      result.append(*arg++);
      ++i;
    } else {
      result.push_back(APattern[i]);
    }
  }
  return result;
}

}  // namespace filter_messages
