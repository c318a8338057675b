#include "transport/filter/inflate_output.h"

#include <algorithm>
#include <string>

#include "transport/dbx_error.h"
#include "transport/filter/filter_format.h"
#include "transport/filter/filter_messages.h"

namespace {

// First guess for the inflated size; grows by doubling from there.
constexpr std::size_t kInitialInflateSize = 16 * 1024;

[[noreturn]] void ThrowInflatedTooLong() {
  using namespace filter_messages;
  throw TDBXError(
      kErrorCode,
      FormatMessage(kInflatedTooLong,
                    {text::FromAscii(std::to_string(filter_format::kMaxInflatedLength))}));
}

}  // namespace

TInflateOutput::TInflateOutput(std::size_t ACompressedSize,
                               const std::shared_ptr<TMemoryAccount>& AAccount) {
  using filter_format::kMaxInflatedLength;
  // The channel charges the finished block again while it holds it.
  if (AAccount) FCharged = TMemoryReservation(AAccount);
  const std::size_t first =
      std::min(kMaxInflatedLength + 1, std::max(kInitialInflateSize, ACompressedSize * 8));
  FCharged.Resize(first);
  FBuffer.resize(first);
}

void TInflateOutput::MakeRoom() {
  using filter_format::kMaxInflatedLength;
  if (FProduced < FBuffer.size()) return;
  // The buffer never grows past one byte over the limit: filling it proves a bomb.
  if (FBuffer.size() > kMaxInflatedLength) ThrowInflatedTooLong();
  const std::size_t grown = std::min(kMaxInflatedLength + 1, FBuffer.size() * 2);
  // While growing, the old buffer and the new one are held at once.
  FCharged.Resize(FBuffer.capacity() + grown);
  FBuffer.resize(grown);
  FCharged.Resize(FBuffer.capacity());
}

TBytes TInflateOutput::Take() {
  if (FProduced > filter_format::kMaxInflatedLength) ThrowInflatedTooLong();
  FBuffer.resize(FProduced);
  return std::move(FBuffer);
}
