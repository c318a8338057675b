// libFuzzer target for the parameter row; see row_buffer_driver.h.

#include <cstddef>
#include <cstdint>

#include "fuzz/row_buffer_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    DriveRowBuffer(data, size);
  } catch (const TDBXError&) {
    // Loading the row itself failed: the request ends in an error reply.
  }
  return 0;
}
