#include "platform/text.h"

#include <langinfo.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwctype>

namespace text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

constexpr char16_t LowerAsciiUnit(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

}  // namespace

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Blocks of ASCII characters are measured and copied whole, with SSE2 where there is.
constexpr std::size_t kBlock = 16;

#ifdef __SSE2__
bool IsAsciiBlock(const char16_t* in) {
  const __m128i any = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8)));
  const __m128i wide = _mm_and_si128(any, _mm_set1_epi16(static_cast<short>(0xFF80)));
  return _mm_movemask_epi8(_mm_cmpeq_epi16(wide, _mm_setzero_si128())) == 0xFFFF;
}

bool IsAsciiBlock(const std::uint8_t* in) {
  return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))) == 0;
}

// An ASCII block, narrowed or widened.
void CopyAsciiBlock(const char16_t* in, char* out) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8))));
}

void CopyAsciiBlock(const std::uint8_t* in, char16_t* out) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8),
                   _mm_unpackhi_epi8(bytes, _mm_setzero_si128()));
}
#else
bool IsAsciiBlock(const char16_t* in) {
  char16_t any = 0;
  for (std::size_t k = 0; k < kBlock; ++k) any |= in[k];
  return any < 0x80;
}

bool IsAsciiBlock(const std::uint8_t* in) {
  std::uint8_t any = 0;
  for (std::size_t k = 0; k < kBlock; ++k) any |= in[k];
  return any < 0x80;
}

void CopyAsciiBlock(const char16_t* in, char* out) {
  for (std::size_t k = 0; k < kBlock; ++k) out[k] = static_cast<char>(in[k]);
}

void CopyAsciiBlock(const std::uint8_t* in, char16_t* out) {
  for (std::size_t k = 0; k < kBlock; ++k) out[k] = in[k];
}
#endif

// Converted text is written into a small buffer and appended a buffer at a time: the
// destination is allocated once by the caller and never zero-filled first.
template <class TChar>
class TChunkedAppender {
 public:
  explicit TChunkedAppender(std::basic_string<TChar>& AOut) : FOut(AOut) {}
  ~TChunkedAppender() { Flush(); }
  TChunkedAppender(const TChunkedAppender&) = delete;
  TChunkedAppender& operator=(const TChunkedAppender&) = delete;

  // Room for at least AUnits more units.
  TChar* Reserve(std::size_t AUnits) {
    if (static_cast<std::size_t>(FEnd - FAt) < AUnits) Flush();
    return FAt;
  }
  void Advance(TChar* ATo) { FAt = ATo; }
  void Flush() {
    FOut.append(FBuffer, static_cast<std::size_t>(FAt - FBuffer));
    FAt = FBuffer;
  }

 private:
  std::basic_string<TChar>& FOut;
  TChar FBuffer[kConversionChunk];
  TChar* FAt = FBuffer;
  TChar* const FEnd = FBuffer + kConversionChunk;
};

// One multi-byte sequence whose lead byte is at bytes[i] (>= 0x80). Valid is false for a bad
// lead byte, a missing continuation, an overlong form, a surrogate or a value past U+10FFFF;
// Next is where decoding resumes: past the sequence, or at the byte that broke it.
struct TUtf8Sequence {
  char32_t CodePoint;
  bool Valid;
  std::size_t Next;
};

inline TUtf8Sequence DecodeSequence(const std::uint8_t* bytes, std::size_t n, std::size_t i) {
  const std::uint8_t b0 = bytes[i];
  int extra;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return {0, false, i + 1};
  }
  std::size_t j = i + 1;
  for (int k = 0; k < extra; ++k, ++j) {
    if (j >= n || (bytes[j] & 0xC0) != 0x80) return {0, false, j};
    cp = (cp << 6) | (bytes[j] & 0x3F);
  }
  const bool valid = cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
  return {cp, valid, j};
}

}  // namespace

void AppendFromUtf8(std::string_view in, Text& out) {
  TChunkedAppender<char16_t> appender(out);
  const auto* const bytes = reinterpret_cast<const std::uint8_t*>(in.data());
  std::size_t i = 0;
  const std::size_t n = in.size();
  while (i < n) {
    // At most two units per step below; kBlock for an ASCII block.
    char16_t* o = appender.Reserve(kBlock);
    if (i + kBlock <= n && IsAsciiBlock(bytes + i)) {  // the common case: ASCII runs
      CopyAsciiBlock(bytes + i, o);
      appender.Advance(o + kBlock);
      i += kBlock;
      continue;
    }
    const std::uint8_t b0 = bytes[i];
    if (b0 < 0x80) {
      *o++ = b0;
      appender.Advance(o);
      ++i;
      continue;
    }
    auto append = [&o](char32_t cp) {
      if (cp < 0x10000) {
        *o++ = static_cast<char16_t>(cp);
      } else {
        cp -= 0x10000;
        *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
        *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      }
    };
    const TUtf8Sequence sequence = DecodeSequence(bytes, n, i);
    // A truncated sequence resumes at the byte that broke it.
    append(sequence.Valid ? sequence.CodePoint : kReplacement);
    appender.Advance(o);
    i = sequence.Next;
  }
}

bool IsWellFormedUtf8(std::string_view in) {
  const auto* const bytes = reinterpret_cast<const std::uint8_t*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + kBlock <= n && IsAsciiBlock(bytes + i)) {
      i += kBlock;
      continue;
    }
    const std::uint8_t b0 = bytes[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    const TUtf8Sequence sequence = DecodeSequence(bytes, n, i);
    if (!sequence.Valid) return false;
    i = sequence.Next;
  }
  return true;
}

Text FromUtf8(std::string_view in) {
  // At most one UTF-16 unit per byte: one allocation.
  Text out;
  out.reserve(in.size());
  AppendFromUtf8(in, out);
  return out;
}

std::size_t Utf8Length(TextView in) {
  const std::size_t n = in.size();
  std::size_t length = 0;
  std::size_t i = 0;
  while (i < n) {
    if (i + kBlock <= n && IsAsciiBlock(in.data() + i)) {
      length += kBlock;
      i += kBlock;
      continue;
    }
    const char16_t c = in[i];
    if (c < 0x80) {
      length += 1;
    } else if (c < 0x800) {
      length += 2;
    } else if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(in[i + 1])) {
      length += 4;
      ++i;
    } else {
      length += 3;  // also a lone surrogate, written as U+FFFD
    }
    ++i;
  }
  return length;
}

void AppendToUtf8(TextView in, std::string& out) {
  TChunkedAppender<char> appender(out);
  const std::size_t n = in.size();
  for (std::size_t i = 0; i < n; ++i) {
    char* o = appender.Reserve(kBlock);  // at most 4 bytes per step below; kBlock for a block
    if (i + kBlock <= n && IsAsciiBlock(in.data() + i)) {
      CopyAsciiBlock(in.data() + i, o);
      appender.Advance(o + kBlock);
      i += kBlock - 1;
      continue;
    }
    char32_t cp = in[i];
    if (cp < 0x80) {
      *o++ = static_cast<char>(cp);
      appender.Advance(o);
      continue;
    }
    if (IsHighSurrogate(in[i]) && i + 1 < n && IsLowSurrogate(in[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;  // lone surrogate
    }
    if (cp < 0x800) {
      *o++ = static_cast<char>(0xC0 | (cp >> 6));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *o++ = static_cast<char>(0xE0 | (cp >> 12));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *o++ = static_cast<char>(0xF0 | (cp >> 18));
      *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    appender.Advance(o);
  }
}

std::string ToUtf8(TextView in) {
  // The exact length first, so that the text is written with one allocation.
  std::string out;
  out.reserve(Utf8Length(in));
  AppendToUtf8(in, out);
  return out;
}

Text FromLatin1(std::string_view in) {
  Text out(in.size(), u'\0');
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = static_cast<std::uint8_t>(in[i]);
  return out;
}

std::string ToLatin1(TextView in) {
  std::string out(in.size(), '\0');
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = in[i] < 256 ? static_cast<char>(in[i]) : '?';
  return out;
}

Text FromUtf16Bytes(std::string_view bytes, bool bigEndian) {
  Text out;
  out.reserve(bytes.size() / 2 + 1);
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    out.push_back(bigEndian ? char16_t(first << 8 | second) : char16_t(second << 8 | first));
  }
  if (i < bytes.size()) out.push_back(u'\uFFFD');
  return out;
}

std::string ToUtf16Bytes(TextView utf16, bool bigEndian) {
  std::string out;
  out.reserve(utf16.size() * 2);
  for (const char16_t unit : utf16) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out.push_back(bigEndian ? high : low);
    out.push_back(bigEndian ? low : high);
  }
  return out;
}

Text FromAscii(std::string_view ascii) { return FromLatin1(ascii); }

TLocaleCharset LocaleCharset() {
  // nl_langinfo reads the calling thread's locale; a program that never called setlocale
  // is in the "C" locale, which we treat as Latin-1 like the single-byte code page it stands for.
  const char* codeset = nl_langinfo(CODESET);
  if (codeset != nullptr &&
      (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0))
    return TLocaleCharset::Utf8;
  return TLocaleCharset::Latin1;
}

std::string ToLocale(TextView utf16) {
  return LocaleCharset() == TLocaleCharset::Utf8 ? ToUtf8(utf16) : ToLatin1(utf16);
}

Text FromLocale(std::string_view bytes) {
  return LocaleCharset() == TLocaleCharset::Utf8 ? FromUtf8(bytes) : FromLatin1(bytes);
}

std::string_view ByteOrderMarkBytes(TByteOrderMark AMark) {
  switch (AMark) {
    case TByteOrderMark::Utf8:
      return "\xEF\xBB\xBF";
    case TByteOrderMark::Utf16Le:
      return "\xFF\xFE";
    case TByteOrderMark::Utf16Be:
      return "\xFE\xFF";
    case TByteOrderMark::None:
      break;
  }
  return {};
}

TByteOrderMark ByteOrderMarkOf(std::string_view ABytes) {
  for (const TByteOrderMark mark :
       {TByteOrderMark::Utf8, TByteOrderMark::Utf16Le, TByteOrderMark::Utf16Be}) {
    if (ABytes.starts_with(ByteOrderMarkBytes(mark))) return mark;
  }
  return TByteOrderMark::None;
}

Text LowerAscii(TextView AText) {
  Text lower(AText);
  for (char16_t& c : lower) c = LowerAsciiUnit(c);
  return lower;
}

std::string LowerAscii(std::string_view AText) {
  std::string lower(AText);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return lower;
}

bool SameTextAscii(TextView A, TextView B) {
  return A.size() == B.size() &&
         std::equal(A.begin(), A.end(), B.begin(),
                    [](char16_t a, char16_t b) { return LowerAsciiUnit(a) == LowerAsciiUnit(b); });
}

Text LowerLatin1(TextView AText) {
  Text lower(AText);
  for (char16_t& c : lower) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c += 0x20;
  }
  return lower;
}

bool SameTextLocale(TextView A, TextView B) {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i) {
    if (A[i] == B[i]) continue;
    if (std::towlower(static_cast<wint_t>(A[i])) != std::towlower(static_cast<wint_t>(B[i])))
      return false;
  }
  return true;
}

}  // namespace text
