#include "transport/stream/string_codec.h"

#include <algorithm>
#include <cstring>

#include "transport/dbx_error.h"
#include "transport/stream/row_format.h"

namespace {

// The loops below are written so the compiler vectorises them: long texts (signed documents)
// go through here, and the row has to keep pace with a plain copy.

// Units are scanned in blocks without an early exit; only the block holding a wide unit is
// looked at one unit at a time.
constexpr std::size_t kScanBlock = 64;

bool IsWide(char16_t AUnit) { return AUnit >= row_format::kFirstWideUnit; }

std::size_t FirstWide(TextView AText) {
  const char16_t* units = AText.data();
  const std::size_t count = AText.size();
  std::size_t block = 0;
  for (; block + kScanBlock <= count; block += kScanBlock) {
    unsigned wide = 0;
    for (std::size_t i = 0; i < kScanBlock; ++i) {
      const unsigned unit = units[block + i];
      wide |= (unit >> 8) | (unit == 0xFF ? 1u : 0u);
    }
    if (wide != 0) break;
  }
  for (std::size_t i = block; i < count; ++i)
    if (IsWide(units[i])) return i;
  return count;
}

void Narrow(const char16_t* AUnits, std::size_t ACount, std::uint8_t* ADest) {
  for (std::size_t i = 0; i < ACount; ++i) ADest[i] = static_cast<std::uint8_t>(AUnits[i]);
}

void ToBigEndian(const char16_t* AUnits, std::size_t ACount, std::uint8_t* ADest) {
  for (std::size_t i = 0; i < ACount; ++i) {
    const unsigned unit = AUnits[i];
    ADest[2 * i] = static_cast<std::uint8_t>(unit >> 8);
    ADest[2 * i + 1] = static_cast<std::uint8_t>(unit);
  }
}

void Widen(const std::uint8_t* ABytes, std::size_t ACount, char16_t* ADest) {
  for (std::size_t i = 0; i < ACount; ++i) ADest[i] = ABytes[i];
}

void FromBigEndian(const std::uint8_t* ABytes, std::size_t AUnits, char16_t* ADest) {
  for (std::size_t i = 0; i < AUnits; ++i)
    ADest[i] = static_cast<char16_t>((ABytes[2 * i] << 8) | ABytes[2 * i + 1]);
}

std::size_t SwitchIndex(const std::uint8_t* ABytes, std::size_t ACount) {
  const void* found = std::memchr(ABytes, row_format::kWideSwitch, ACount);
  return found == nullptr
             ? ACount
             : static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - ABytes);
}

[[noreturn]] void IncompleteWideChar() {
  throw TDBXError(row_format::kRowErrorCode, row_format::kIncompleteWideChar);
}

}  // namespace

std::size_t TDBXStringEncoder::EncodedLength(TextView AText, std::size_t& AFirstWide) {
  AFirstWide = FirstWide(AText);
  if (AFirstWide == AText.size()) return AText.size();
  return AFirstWide + 1 + 2 * (AText.size() - AFirstWide);
}

void TDBXStringEncoder::Encode(TextView AText, std::size_t AFirstWide, std::uint8_t* ADest) {
  Narrow(AText.data(), AFirstWide, ADest);
  if (AFirstWide == AText.size()) return;
  ADest[AFirstWide] = row_format::kWideSwitch;
  ToBigEndian(AText.data() + AFirstWide, AText.size() - AFirstWide, ADest + AFirstWide + 1);
}

Text TDBXCharDecoder::Decode(std::span<const std::uint8_t> ABytes) {
  const std::size_t narrow = SwitchIndex(ABytes.data(), ABytes.size());
  if (narrow == ABytes.size()) {
    Text text(narrow, u'\0');
    Widen(ABytes.data(), narrow, text.data());
    return text;
  }
  const std::size_t wideBytes = ABytes.size() - narrow - 1;
  if (wideBytes % 2 != 0) IncompleteWideChar();
  Text text(narrow + wideBytes / 2, u'\0');
  Widen(ABytes.data(), narrow, text.data());
  FromBigEndian(ABytes.data() + narrow + 1, wideBytes / 2, text.data() + narrow);
  return text;
}

void TDBXCharDecoder::Append(std::span<const std::uint8_t> APart, Text& AOut) {
  const std::uint8_t* bytes = APart.data();
  std::size_t count = APart.size();
  if (!FWide) {
    const std::size_t narrow = SwitchIndex(bytes, count);
    const std::size_t at = AOut.size();
    AOut.resize(at + narrow);
    Widen(bytes, narrow, AOut.data() + at);
    if (narrow == count) return;
    FWide = true;
    bytes += narrow + 1;
    count -= narrow + 1;
  }
  if (count == 0) return;
  if (FPendingHigh >= 0) {
    AOut.push_back(static_cast<char16_t>((FPendingHigh << 8) | bytes[0]));
    FPendingHigh = -1;
    ++bytes;
    --count;
  }
  const std::size_t units = count / 2;
  const std::size_t at = AOut.size();
  AOut.resize(at + units);
  FromBigEndian(bytes, units, AOut.data() + at);
  if (count % 2 != 0) FPendingHigh = bytes[count - 1];
}

void TDBXCharDecoder::Finish() const {
  if (FPendingHigh >= 0) IncompleteWideChar();
}
