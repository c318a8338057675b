#include "platform/text.h"

#include <langinfo.h>

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

Text FromUtf8(std::string_view in) {
  // At most one UTF-16 unit per byte: one allocation, then plain stores.
  Text out(in.size(), u'\0');
  char16_t* o = out.data();
  const auto* const bytes = reinterpret_cast<const std::uint8_t*>(in.data());
  auto append = [&o](char32_t cp) {
    if (cp < 0x10000) {
      *o++ = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
  };
  std::size_t i = 0;
  const std::size_t n = in.size();
  while (i < n) {
    while (i < n && bytes[i] < 0x80) *o++ = bytes[i++];  // the common case: ASCII runs
    if (i == n) break;
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
      append(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= n || (bytes[j] & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (bytes[j] & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      append(kReplacement);
      i = j;  // a truncated sequence resumes at the byte that broke it
      continue;
    }
    append(cp);
    i = j;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Blocks of ASCII characters are measured and narrowed whole (the loops vectorise).
constexpr std::size_t kBlock = 16;

bool IsAsciiBlock(const char16_t* in) {
  char16_t any = 0;
  for (std::size_t k = 0; k < kBlock; ++k) any |= in[k];
  return any < 0x80;
}

}  // namespace

std::string ToUtf8(TextView in) {
  // The exact length first, so that the text is written with one allocation.
  const std::size_t n = in.size();
  std::size_t length = 0;
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    if (!IsAsciiBlock(in.data() + i)) break;  // the rest goes character by character
    length += kBlock;
  }
  for (; i < n; ++i) {
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
  }
  std::string out(length, '\0');
  char* o = out.data();
  for (i = 0; i < n; ++i) {
    if (i + kBlock <= n && IsAsciiBlock(in.data() + i)) {
      for (std::size_t k = 0; k < kBlock; ++k) o[k] = static_cast<char>(in[i + k]);
      o += kBlock;
      i += kBlock - 1;
      continue;
    }
    char32_t cp = in[i];
    if (cp < 0x80) {
      *o++ = static_cast<char>(cp);
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
  }
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
