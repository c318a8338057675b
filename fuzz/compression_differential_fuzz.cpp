// Holds the compression filter's codec to zlib. Any input, deflated by the codec, is a zlib
// stream with header 78 01 that zlib inflates back to the input; and any input taken as a
// compressed body (valid, cut or damaged), inflated by the codec, gives exactly what zlib gives:
// the same bytes or the same message.

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "transport/dbx_error.h"
#include "transport/filter/body_codec.h"

namespace {

using TOutcome = std::variant<TBytes, std::string>;

TOutcome Outcome(TBytes (*AInflate)(std::span<const std::uint8_t>,
                                    const std::shared_ptr<TMemoryAccount>&),
                 std::span<const std::uint8_t> AStream) {
  try {
    return AInflate(AStream, nullptr);
  } catch (const TDBXError& e) {
    return text::ToUtf8(e.Message());
  }
}

void ExpectInflatesAsZLib(std::span<const std::uint8_t> AStream) {
  if (Outcome(body_codec::Inflate, AStream) != Outcome(body_codec::ZLibInflate, AStream))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::span<const std::uint8_t> input(AData, ASize);

  TBytes stream;
  body_codec::Deflate(input, stream);
  if (stream.size() < 6 || stream[0] != 0x78 || stream[1] != 0x01) __builtin_trap();
  TBytes inflated(ASize + 1);
  uLongf length = static_cast<uLongf>(inflated.size());
  if (uncompress(inflated.data(), &length, stream.data(), static_cast<uLong>(stream.size())) !=
          Z_OK ||
      length != ASize || !std::equal(input.begin(), input.end(), inflated.begin()))
    __builtin_trap();

  ExpectInflatesAsZLib(input);
  // The codec's own stream, cut where the input's first byte says.
  if (ASize > 0) ExpectInflatesAsZLib(std::span(stream).first(AData[0] * stream.size() / 256));
  return 0;
}
