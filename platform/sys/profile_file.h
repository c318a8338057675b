#pragma once

// INI text as the platform's profile functions read and write it: "[section]" lines, then
// "key=value" lines; names match without regard to ASCII letter case, blanks around names and
// values do not count, and a value in matching quotes loses them. Lines that are neither (blank,
// ";" comments, text before the first section) are kept as they are and never match. A UTF-8
// byte-order mark at the start of the text is no part of the first line, and is kept.
//
// Pure functions over the file's bytes; the caller reads and replaces the file.

#include <optional>
#include <string>
#include <string_view>

namespace sys {

// The value of AKey in the first section named ASection that holds it; nullopt when none does.
std::optional<std::string> ProfileValue(std::string_view AContent, std::string_view ASection,
                                        std::string_view AKey);

// AContent with AKey of ASection set to AValue. Only that key's value changes; a missing key is
// added at the end of the first such section, a missing section at the end of the text, with the
// text's own line break (CR LF when it has one, LF otherwise). Every other byte stays.
std::string WithProfileValue(std::string_view AContent, std::string_view ASection,
                             std::string_view AKey, std::string_view AValue);

}  // namespace sys
