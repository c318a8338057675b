#pragma once

// The program's text type. Texts that travel between layers (service arguments and results,
// the certificate list, messages) are UTF-16 code units, as the deployed clients see them;
// conversion to 8-bit encodings happens only at library and wire boundaries.

#include <string>
#include <string_view>

using Text = std::u16string;
using TextView = std::u16string_view;

namespace text {

// UTF-8 <-> UTF-16. Invalid input never throws: ill-formed sequences become U+FFFD.
Text FromUtf8(std::string_view utf8);
std::string ToUtf8(TextView utf16);
// The same conversions appended to AOut, which the caller sizes (reserve) beforehand: the
// converted text goes through a buffer of kConversionChunk units, never a zero-filled resize.
void AppendFromUtf8(std::string_view utf8, Text& AOut);
void AppendToUtf8(TextView utf16, std::string& AOut);
// Whether utf8 is well-formed UTF-8: FromUtf8 replaces nothing in it, and ToUtf8 gives its
// result back byte for byte.
bool IsWellFormedUtf8(std::string_view utf8);
// The number of bytes ToUtf8 writes for utf16.
std::size_t Utf8Length(TextView utf16);
inline constexpr std::size_t kConversionChunk = 4096;

// ISO 8859-1 <-> UTF-16. Code units above 255 become '?' on the way out.
Text FromLatin1(std::string_view latin1);
std::string ToLatin1(TextView utf16);

// UTF-16 code units <-> their bytes in little- or big-endian order. A stray last byte becomes
// U+FFFD rather than vanishing.
Text FromUtf16Bytes(std::string_view bytes, bool bigEndian);
std::string ToUtf16Bytes(TextView utf16, bool bigEndian);

// ASCII-only convenience for literals such as keys and wire constants.
Text FromAscii(std::string_view ascii);

// The character set of the current locale (LC_CTYPE), standing in for the ANSI code page.
// UTF-8 on current systems; ISO 8859-1 for the "C"/POSIX locale and Latin-1 locales.
enum class TLocaleCharset { Utf8, Latin1 };
TLocaleCharset LocaleCharset();
std::string ToLocale(TextView utf16);
Text FromLocale(std::string_view bytes);

// Byte-order marks: the first bytes of a file that name its Unicode encoding.
enum class TByteOrderMark { None, Utf8, Utf16Le, Utf16Be };
// The mark ABytes open with; None when they open with none.
TByteOrderMark ByteOrderMarkOf(std::string_view ABytes);
// The bytes of AMark; empty for None.
std::string_view ByteOrderMarkBytes(TByteOrderMark AMark);

// Letter case. Each rule is named for the letters it folds; a unit it does not fold compares
// as itself.
// ASCII-only: A-Z to a-z. For keys, identifiers and wire constants.
Text LowerAscii(TextView AText);
std::string LowerAscii(std::string_view AText);
bool SameTextAscii(TextView A, TextView B);
// Latin-1: the ASCII letters and U+00C0-U+00DE but U+00D7 to their lower case, whatever the
// process locale.
Text LowerLatin1(TextView AText);
// The current locale's wide-character mapping (towlower, LC_CTYPE): every letter the locale
// knows, ASCII only in the "C" locale.
bool SameTextLocale(TextView A, TextView B);

}  // namespace text
