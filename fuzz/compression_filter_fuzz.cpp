// Decodes arbitrary bodies with the compression filter; whatever decodes must survive an
// encode/decode round trip unchanged, compressed or plain.

#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/dbx_error.h"
#include "transport/filter/compression_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  TTransportCompressionFilter filter;
  try {
    const TBytes decoded = filter.ProcessOutput(std::span(AData, ASize));
    for (const char16_t* threshold : {u"0", u"1024"}) {
      filter.SetParameterValue(u"CompressMoreThan", threshold);
      if (filter.ProcessOutput(filter.ProcessInput(decoded)) != decoded) __builtin_trap();
    }
  } catch (const TDBXError&) {
    // Undecodable, empty or oversized bodies end the peer's connection.
  }
  return 0;
}
