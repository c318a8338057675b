#pragma once

// Stands in for the version-information resource of an executable file. The texts are fixed at
// build time and belong to this project's executables: asked about the running executable it
// answers them; any other file carries no version information. Stateless; any thread.

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace sys {

// The block of the version texts (Portuguese, Brazil; Windows Latin-1 code page) that every
// query path starts with.
inline constexpr TextView kVersionTextBlock = u"StringFileInfo\\041604E4\\";

class TVersionResource {
 public:
  // The version block of AFile, or nullopt when the file has none (size 0 on other platforms).
  static std::optional<TVersionResource> Load(const std::filesystem::path& AFile);

  // The value under a query path such as "StringFileInfo\041604E4\CompanyName"; nullopt when
  // the block has no such key. Keys compare without regard to ASCII letter case, as the
  // platform's query does ("OriginalFilename" answers "OriginalFileName").
  std::optional<Text> Query(TextView ASubBlock) const;

 private:
  TVersionResource() = default;
  std::vector<std::pair<Text, Text>> FValues;  // full query path -> value
};

// The project version as four dot-separated numbers ("1.0.0.0"), missing parts as 0.
Text FourPartVersion();

}  // namespace sys
