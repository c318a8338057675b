#include "platform/sys/version_resource.h"

#include <algorithm>
#include <system_error>

#include "build_info.h"

namespace sys {
namespace {

bool IsRunningExecutable(const std::filesystem::path& AFile) {
  std::error_code ec;
  const bool same = std::filesystem::equivalent(AFile, "/proc/self/exe", ec);
  return !ec && same;
}

}  // namespace

Text FourPartVersion() {
  Text version = text::FromAscii(build_info::kProjectVersion);
  const auto dots = std::count(version.begin(), version.end(), u'.');
  for (auto i = dots; i < 3; ++i) version += u".0";
  return version;
}

std::optional<TVersionResource> TVersionResource::Load(const std::filesystem::path& AFile) {
  if (!IsRunningExecutable(AFile)) return std::nullopt;
  TVersionResource resource;
  const Text version = FourPartVersion();
  // The keys the executable's block carries; it has no Comments, LegalTrademarks or Aplicativo.
  const std::pair<const char16_t*, Text> kKeys[] = {
      {u"CompanyName", u"Projeto Assinador NFS-e"},
      {u"FileDescription", u"Servidor de Assinatura Digital de NFS-e"},
      {u"FileVersion", version},
      {u"InternalName", u"assinador-nfse"},
      {u"LegalCopyright", u"Copyright © Projeto Assinador NFS-e"},
      {u"OriginalFilename", u"assinador-nfse"},
      {u"ProductName", u"Gerenciador de Assinatura Digital"},
      {u"ProductVersion", version},
  };
  for (const auto& [key, value] : kKeys)
    resource.FValues.emplace_back(Text(kVersionTextBlock) + key, value);
  return resource;
}

std::optional<Text> TVersionResource::Query(TextView ASubBlock) const {
  for (const auto& [path, value] : FValues)
    if (text::SameTextAscii(path, ASubBlock)) return value;
  return std::nullopt;
}

}  // namespace sys
