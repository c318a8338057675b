#include "platform/component_error.h"

#include <cstdio>

namespace component {

Text Message(TextView ADescription, std::uint32_t ACode) {
  std::size_t end = ADescription.size();
  while (end > 0 && (ADescription[end - 1] <= 32 || ADescription[end - 1] == u'.')) --end;
  if (end > 0) return Text{ADescription.substr(0, end)};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "OLE error %.8X", static_cast<unsigned>(ACode));
  return text::FromAscii(buffer);
}

}  // namespace component
