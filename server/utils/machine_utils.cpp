#include "server/utils/machine_utils.h"

#include <filesystem>

#include "platform/sys/host.h"
#include "platform/sys/version_resource.h"
#include "server/utils/log_messages.h"

Text TMachineUtils::getIP(Text& AMachine) {
  const std::string host = sys::HostName();
  AMachine = text::FromLocale(host);
  const auto addresses = sys::ResolveIPv4(host);
  return addresses.empty() ? Text{} : text::FromAscii(addresses.front());
}

TVersionInfoEx TMachineUtils::GetVersionInfoEx(const Text& pExeFileName) {
  TVersionInfoEx info;
  const auto resource =
      sys::TVersionResource::Load(std::filesystem::path(text::ToLocale(pExeFileName)));
  if (!resource) {
    info.Comments = log_messages::kNoVersionInformation;
    return info;
  }
  const std::pair<Text*, const char16_t*> kFields[] = {
      {&info.CompanyName, u"CompanyName"},
      {&info.FileDescription, u"FileDescription"},
      {&info.FileVersion, u"FileVersion"},
      {&info.InternalName, u"InternalName"},
      {&info.LegalCopyright, u"LegalCopyright"},
      {&info.LegalTradeMarks, u"LegalTradeMarks"},
      {&info.OriginalFileName, u"OriginalFileName"},
      {&info.ProductName, u"ProductName"},
      {&info.ProductVersion, u"ProductVersion"},
      {&info.Comments, u"Comments"},
      {&info.Application, u"Aplicativo"},
  };
  for (const auto& [field, key] : kFields) {
    // The platform's value ends at its terminating NUL.
    if (auto value = resource->Query(Text(sys::kVersionTextBlock) + key))
      *field = value->substr(0, value->find(u'\0'));
  }
  return info;
}
