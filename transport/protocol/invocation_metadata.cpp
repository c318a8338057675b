#include "transport/protocol/invocation_metadata.h"

namespace invocation_metadata {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::optional<std::string> AsMetadata(std::string_view AJson) {
  while (!AJson.empty() && IsBlank(AJson.front())) AJson.remove_prefix(1);
  while (!AJson.empty() && IsBlank(AJson.back())) AJson.remove_suffix(1);
  if (AJson.size() < 2 || AJson.front() != '{' || AJson.back() != '}') return std::nullopt;
  return std::string(AJson);
}

}  // namespace invocation_metadata
