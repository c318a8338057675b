#pragma once

// Whether a document's text opens with an XML declaration: "<?xml" followed by a blank (space,
// tab, CR, LF) or by "?". "<?xml-stylesheet" and the like are processing instructions, not a
// declaration. A byte-order mark is not skipped: callers that allow one skip it first.

#include <string_view>

#include "platform/text.h"

namespace xml {

template <class TChar>
constexpr bool StartsWithXmlDeclaration(std::basic_string_view<TChar> AText) {
  constexpr TChar kOpen[] = {'<', '?', 'x', 'm', 'l'};
  if (AText.size() <= std::size(kOpen)) return false;
  for (std::size_t i = 0; i < std::size(kOpen); ++i)
    if (AText[i] != kOpen[i]) return false;
  const TChar next = AText[std::size(kOpen)];
  return next == ' ' || next == '\t' || next == '\r' || next == '\n' || next == '?';
}

inline bool StartsWithXmlDeclaration(TextView AText) {
  return StartsWithXmlDeclaration<char16_t>(AText);
}
inline bool StartsWithXmlDeclaration(std::string_view AText) {
  return StartsWithXmlDeclaration<char>(AText);
}

}  // namespace xml
