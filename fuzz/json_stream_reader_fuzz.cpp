// libFuzzer target for the message reader; see json_stream_reader_driver.h.

#include <cstddef>
#include <cstdint>

#include "fuzz/json_stream_reader_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DriveJsonStreamReader(data, size);
  return 0;
}
