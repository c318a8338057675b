#pragma once

// Byte strings written as hexadecimal pairs, blanks allowed between them: "7B 22 6D".

#include <string>
#include <string_view>

namespace test_support {

inline std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

}  // namespace test_support
