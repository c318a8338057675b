#include "transport/stream/json_string.h"

namespace {

const char* ShortEscapeOf(char16_t AUnit) {
  for (const auto& escape : kJsonShortEscapes)
    if (escape.first == AUnit) return &escape.second;
  return nullptr;
}

}  // namespace

void AppendJsonString(std::string& AOut, TextView AText) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  AOut.push_back('"');
  for (char16_t c : AText) {
    if (const char* escape = ShortEscapeOf(c)) {
      AOut.push_back('\\');
      AOut.push_back(*escape);
    } else if (c < 0x20 || c > 0x7F) {
      AOut += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) AOut.push_back(kHex[(c >> shift) & 0xF]);
    } else {
      AOut.push_back(static_cast<char>(c));
    }
  }
  AOut.push_back('"');
}
