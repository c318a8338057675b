#pragma once

// How a failed call into the certificate store or the XML signature objects reaches its
// caller: an Exception whose message is the component's description with trailing blanks,
// control characters and full stops removed, or "OLE error %.8X" when nothing remains.

#include <cstdint>

#include "platform/exception.h"
#include "platform/text.h"

namespace component {

// The generic failure code the components report when they have no more specific one.
inline constexpr std::uint32_t kGenericFailure = 0x80004005;

Text Message(TextView ADescription, std::uint32_t ACode = kGenericFailure);

[[noreturn]] inline void Fail(TextView ADescription, std::uint32_t ACode = kGenericFailure) {
  throw Exception(Message(ADescription, ACode));
}

}  // namespace component
