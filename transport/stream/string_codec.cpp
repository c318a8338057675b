#include "transport/stream/string_codec.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) || defined(__x86_64__)
#include <immintrin.h>
#endif

#include "transport/dbx_error.h"
#include "transport/stream/row_format.h"

namespace {

// Long texts (signed documents) pass through here, and the row has to keep pace with a plain
// copy. The common runs (units below 255 out, bytes without 0xFF in) are written as plain
// block loops the compiler vectorises; they are compiled twice, for the x86-64 baseline and
// for AVX2, and the processor picks at run time.

bool IsWide(char16_t AUnit) { return AUnit >= row_format::kFirstWideUnit; }

// Narrows units into ADest while they stay below 255; the count narrowed. A saturating
// subtraction of 254 leaves a non-zero lane exactly for the units of 255 and more.
std::size_t NarrowPrefixTail(const char16_t* AUnits, std::size_t ACount, std::uint8_t* ADest,
                             std::size_t AFrom) {
  std::size_t i = AFrom;
  for (; i < ACount && !IsWide(AUnits[i]); ++i) ADest[i] = static_cast<std::uint8_t>(AUnits[i]);
  return i;
}

std::size_t NarrowPrefixSse2(const char16_t* AUnits, std::size_t ACount, std::uint8_t* ADest) {
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
    const __m128i over =
        _mm_or_si128(_mm_or_si128(_mm_subs_epu16(a, limit), _mm_subs_epu16(b, limit)),
                     _mm_or_si128(_mm_subs_epu16(c, limit), _mm_subs_epu16(d, limit)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, zero)) != 0xFFFF) break;
    auto* out = reinterpret_cast<__m128i*>(ADest + i);
    _mm_storeu_si128(out, _mm_packus_epi16(a, b));
    _mm_storeu_si128(out + 1, _mm_packus_epi16(c, d));
  }
#endif
  return NarrowPrefixTail(AUnits, ACount, ADest, i);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] std::size_t NarrowPrefixAvx2(const char16_t* AUnits, std::size_t ACount,
                                                     std::uint8_t* ADest) {
  std::size_t i = 0;
  const __m256i limit = _mm256_set1_epi16(row_format::kFirstWideUnit - 1);
  for (; i + 64 <= ACount; i += 64) {
    const auto* in = reinterpret_cast<const __m256i*>(AUnits + i);
    const __m256i a = _mm256_loadu_si256(in);
    const __m256i b = _mm256_loadu_si256(in + 1);
    const __m256i c = _mm256_loadu_si256(in + 2);
    const __m256i d = _mm256_loadu_si256(in + 3);
    const __m256i over =
        _mm256_or_si256(_mm256_or_si256(_mm256_subs_epu16(a, limit), _mm256_subs_epu16(b, limit)),
                        _mm256_or_si256(_mm256_subs_epu16(c, limit), _mm256_subs_epu16(d, limit)));
    if (!_mm256_testz_si256(over, over)) break;
    // The pack works within 128-bit lanes; the permutation puts the quarters back in order.
    auto* out = reinterpret_cast<__m256i*>(ADest + i);
    _mm256_storeu_si256(out, _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
    _mm256_storeu_si256(out + 1, _mm256_permute4x64_epi64(_mm256_packus_epi16(c, d), 0xD8));
  }
  return NarrowPrefixTail(AUnits, ACount, ADest, i);
}
#endif

[[gnu::always_inline]] inline Text WidenedTextBody(const std::uint8_t* ABytes, std::size_t ACount) {
  return Text(ABytes, ABytes + ACount);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] Text WidenedTextAvx2(const std::uint8_t* ABytes, std::size_t ACount) {
  return WidenedTextBody(ABytes, ACount);
}
bool HasAvx2() {
  static const bool kHasAvx2 = __builtin_cpu_supports("avx2");
  return kHasAvx2;
}
#endif

std::size_t NarrowPrefix(const char16_t* AUnits, std::size_t ACount, std::uint8_t* ADest) {
#if defined(__x86_64__)
  if (HasAvx2()) return NarrowPrefixAvx2(AUnits, ACount, ADest);
#endif
  return NarrowPrefixSse2(AUnits, ACount, ADest);
}

// The units of bytes that hold no 0xFF, each written once (no zero-filled string first).
Text WidenedText(const std::uint8_t* ABytes, std::size_t ACount) {
#if defined(__x86_64__)
  if (HasAvx2()) return WidenedTextAvx2(ABytes, ACount);
#endif
  return WidenedTextBody(ABytes, ACount);
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
  if (found == nullptr) return WidenedText(bytes, count);
  const auto narrow = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes);
  const std::size_t wideBytes = count - narrow - 1;
  if (wideBytes % 2 != 0)
    throw TDBXError(row_format::kRowErrorCode, row_format::kIncompleteWideChar);
  // Reserved once and appended through a small buffer: a zero-filled text of the whole size
  // would be written twice.
  Text text;
  text.reserve(narrow + wideBytes / 2);
  char16_t chunk[kDecodeChunkUnits];
  for (std::size_t done = 0; done < narrow;) {
    const std::size_t n = std::min(kDecodeChunkUnits, narrow - done);
    WidenPrefix(bytes + done, n, chunk);
    text.append(chunk, n);
    done += n;
  }
  const std::uint8_t* const wide = bytes + narrow + 1;
  for (std::size_t done = 0; done < wideBytes / 2;) {
    const std::size_t n = std::min(kDecodeChunkUnits, wideBytes / 2 - done);
    FromBigEndian(wide + 2 * done, n, chunk);
    text.append(chunk, n);
    done += n;
  }
  return text;
}
