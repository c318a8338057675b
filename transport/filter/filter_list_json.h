#pragma once

// The filter list exchanged during negotiation: a JSON object with one member per filter,
// named by the filter's Id, whose value is an object of parameter name -> string (or null for
// an empty text). Written compact and pure ASCII, the form deployed peers send and expect;
// read as standard JSON, bytes above 127 standing for the code unit of the same value.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

struct TFilterListEntry {
  Text FilterId;
  std::vector<std::pair<Text, Text>> Parameters;  // in order; an empty value is sent as null
};

using TFilterList = std::vector<TFilterListEntry>;

// Compact text, no blanks; '"', '\' and '/' escaped, control and non-ASCII code units as \uXXXX.
std::string WriteFilterList(const TFilterList& AList);

// The entries in member order, or nothing when AJson is not a JSON object whose members are
// objects of string, number or null values. Numbers keep their literal text; null gives an
// empty text. Never throws for malformed input.
std::optional<TFilterList> ParseFilterList(std::string_view AJson);
