#include "transport/stream/string_codec.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "transport/dbx_error.h"
#include "transport/stream/row_format.h"

namespace {

// Long texts (signed documents) pass through here, and the row has to keep pace with a plain
// copy: the common runs (units below 255 out, bytes other than 0xFF in) go 16 or 32 at a time
// with SSE2, which every x86-64 processor has; the plain loops finish the rest.

bool IsWide(char16_t AUnit) { return AUnit >= row_format::kFirstWideUnit; }

// Narrows units into ADest while they stay below 255; the count narrowed.
std::size_t NarrowPrefix(const char16_t* AUnits, std::size_t ACount, std::uint8_t* ADest) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi16(row_format::kFirstWideUnit - 1);
  const __m128i zero = _mm_setzero_si128();
  for (; i + 32 <= ACount; i += 32) {
    const auto* in = reinterpret_cast<const __m128i*>(AUnits + i);
    const __m128i a = _mm_loadu_si128(in);
    const __m128i b = _mm_loadu_si128(in + 1);
    const __m128i c = _mm_loadu_si128(in + 2);
    const __m128i d = _mm_loadu_si128(in + 3);
    // Saturating subtraction leaves a non-zero lane exactly for the units of 255 and more.
    const __m128i over =
        _mm_or_si128(_mm_or_si128(_mm_subs_epu16(a, limit), _mm_subs_epu16(b, limit)),
                     _mm_or_si128(_mm_subs_epu16(c, limit), _mm_subs_epu16(d, limit)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, zero)) != 0xFFFF) break;
    auto* out = reinterpret_cast<__m128i*>(ADest + i);
    _mm_storeu_si128(out, _mm_packus_epi16(a, b));
    _mm_storeu_si128(out + 1, _mm_packus_epi16(c, d));
  }
#endif
  for (; i < ACount && !IsWide(AUnits[i]); ++i) ADest[i] = static_cast<std::uint8_t>(AUnits[i]);
  return i;
}

std::size_t FirstWide(TextView AText) {
  const char16_t* units = AText.data();
  const std::size_t count = AText.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi16(row_format::kFirstWideUnit - 1);
  const __m128i zero = _mm_setzero_si128();
  for (; i + 32 <= count; i += 32) {
    const auto* in = reinterpret_cast<const __m128i*>(units + i);
    const __m128i over = _mm_or_si128(_mm_or_si128(_mm_subs_epu16(_mm_loadu_si128(in), limit),
                                                   _mm_subs_epu16(_mm_loadu_si128(in + 1), limit)),
                                      _mm_or_si128(_mm_subs_epu16(_mm_loadu_si128(in + 2), limit),
                                                   _mm_subs_epu16(_mm_loadu_si128(in + 3), limit)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, zero)) != 0xFFFF) break;
  }
#endif
  for (; i < count; ++i)
    if (IsWide(units[i])) return i;
  return count;
}

void ToBigEndian(const char16_t* AUnits, std::size_t ACount, std::uint8_t* ADest) {
  for (std::size_t i = 0; i < ACount; ++i) {
    const unsigned unit = AUnits[i];
    ADest[2 * i] = static_cast<std::uint8_t>(unit >> 8);
    ADest[2 * i + 1] = static_cast<std::uint8_t>(unit);
  }
}

// Widens bytes into ADest until the first 0xFF; the count widened.
std::size_t WidenPrefix(const std::uint8_t* ABytes, std::size_t ACount, char16_t* ADest) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i switchByte = _mm_set1_epi8(static_cast<char>(row_format::kWideSwitch));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= ACount; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ABytes + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, switchByte)) != 0) break;
    auto* out = reinterpret_cast<__m128i*>(ADest + i);
    _mm_storeu_si128(out, _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi8(bytes, zero));
  }
#endif
  for (; i < ACount && ABytes[i] != row_format::kWideSwitch; ++i) ADest[i] = ABytes[i];
  return i;
}

void FromBigEndian(const std::uint8_t* ABytes, std::size_t AUnits, char16_t* ADest) {
  for (std::size_t i = 0; i < AUnits; ++i)
    ADest[i] = static_cast<char16_t>((ABytes[2 * i] << 8) | ABytes[2 * i + 1]);
}

}  // namespace

std::size_t TDBXStringEncoder::EncodedLength(TextView AText, std::size_t& AFirstWide) {
  AFirstWide = FirstWide(AText);
  if (AFirstWide == AText.size()) return AText.size();
  return AFirstWide + 1 + 2 * (AText.size() - AFirstWide);
}

void TDBXStringEncoder::Encode(TextView AText, std::size_t AFirstWide, std::uint8_t* ADest) {
  NarrowPrefix(AText.data(), AFirstWide, ADest);
  EncodeWideRest(AText, AFirstWide, ADest + AFirstWide);
}

std::size_t TDBXStringEncoder::EncodeNarrowPrefix(TextView AText, std::uint8_t* ADest) {
  return NarrowPrefix(AText.data(), AText.size(), ADest);
}

void TDBXStringEncoder::EncodeWideRest(TextView AText, std::size_t AFirstWide,
                                       std::uint8_t* ADest) {
  if (AFirstWide == AText.size()) return;
  ADest[0] = row_format::kWideSwitch;
  ToBigEndian(AText.data() + AFirstWide, AText.size() - AFirstWide, ADest + 1);
}

// A text without the switch is built straight from its bytes, so its units are written once.
Text TDBXCharDecoder::Decode(std::span<const std::uint8_t> ABytes) {
  const std::uint8_t* bytes = ABytes.data();
  const std::size_t count = ABytes.size();
  const void* found = count == 0 ? nullptr : std::memchr(bytes, row_format::kWideSwitch, count);
  if (found == nullptr) return Text(bytes, bytes + count);
  const auto narrow = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes);
  const std::size_t wideBytes = count - narrow - 1;
  if (wideBytes % 2 != 0)
    throw TDBXError(row_format::kRowErrorCode, row_format::kIncompleteWideChar);
  Text text(narrow + wideBytes / 2, u'\0');
  WidenPrefix(bytes, narrow, text.data());
  FromBigEndian(bytes + narrow + 1, wideBytes / 2, text.data() + narrow);
  return text;
}
