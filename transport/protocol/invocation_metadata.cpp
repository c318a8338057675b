#include "transport/protocol/invocation_metadata.h"

#include <utility>

namespace invocation_metadata {

namespace {

thread_local std::optional<std::string> tMetadata;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::optional<std::string> AsMetadata(std::string_view AJson) {
  while (!AJson.empty() && IsBlank(AJson.front())) AJson.remove_prefix(1);
  while (!AJson.empty() && IsBlank(AJson.back())) AJson.remove_suffix(1);
  if (AJson.size() < 2 || AJson.front() != '{' || AJson.back() != '}') return std::nullopt;
  return std::string(AJson);
}

void Set(std::optional<std::string> AJson) { tMetadata = std::move(AJson); }

std::optional<std::string> Take() { return std::exchange(tMetadata, std::nullopt); }

void Clear() { tMetadata.reset(); }

}  // namespace invocation_metadata
