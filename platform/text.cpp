#include "platform/text.h"

#include <langinfo.h>

#include <clocale>
#include <cstdint>
#include <cstring>

namespace text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(Text& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

Text FromUtf8(std::string_view in) {
  Text out;
  out.reserve(in.size());
  std::size_t i = 0;
  const std::size_t n = in.size();
  while (i < n) {
    const auto b0 = static_cast<std::uint8_t>(in[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    int extra;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
      extra = 1; cp = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2; cp = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3; cp = b0 & 0x07; min = 0x10000;
    } else {
      AppendUtf16(out, kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= n || (static_cast<std::uint8_t>(in[j]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<std::uint8_t>(in[j]) & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      AppendUtf16(out, kReplacement);
      i = j;  // a truncated sequence resumes at the byte that broke it
      continue;
    }
    AppendUtf16(out, cp);
    i = j;
  }
  return out;
}

std::string ToUtf8(TextView in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;  // lone surrogate
    }
    AppendUtf8(out, cp);
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
  for (std::size_t i = 0; i < in.size(); ++i)
    out[i] = in[i] < 256 ? static_cast<char>(in[i]) : '?';
  return out;
}

Text FromAscii(std::string_view ascii) { return FromLatin1(ascii); }

TLocaleCharset LocaleCharset() {
  // nl_langinfo reads the calling thread's locale; a program that never called setlocale
  // is in the "C" locale, which we treat as Latin-1 like the single-byte code page it stands for.
  const char* codeset = nl_langinfo(CODESET);
  if (codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0))
    return TLocaleCharset::Utf8;
  return TLocaleCharset::Latin1;
}

std::string ToLocale(TextView utf16) {
  return LocaleCharset() == TLocaleCharset::Utf8 ? ToUtf8(utf16) : ToLatin1(utf16);
}

Text FromLocale(std::string_view bytes) {
  return LocaleCharset() == TLocaleCharset::Utf8 ? FromUtf8(bytes) : FromLatin1(bytes);
}

}  // namespace text
