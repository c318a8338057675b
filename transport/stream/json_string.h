#pragma once

// JSON string literals in the compact, pure-ASCII form this server writes wherever JSON text
// leaves it (the filter list of the negotiation, the JSON values of the built-in methods):
// '"', '\' and '/' and the control characters with JSON's short escapes where there is one,
// every other control or non-ASCII code unit as \uXXXX. Pure functions; any thread.

#include <string>
#include <utility>

#include "platform/text.h"

// JSON's two-character escapes: the code unit and the letter after the backslash.
inline constexpr std::pair<char16_t, char> kJsonShortEscapes[] = {
    {u'"', '"'},  {u'\\', '\\'}, {u'/', '/'},  {u'\b', 'b'},
    {u'\t', 't'}, {u'\n', 'n'},  {u'\f', 'f'}, {u'\r', 'r'}};

// Appends AText as a quoted JSON string.
void AppendJsonString(std::string& AOut, TextView AText);
