#include "server/utils/machine_utils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/sys/host.h"
#include "platform/sys/version_resource.h"

namespace {

TEST(MachineUtils, GetIPGivesHostNameAndDottedIPv4) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  Text machine = u"antes";
  const Text ip = TMachineUtils::getIP(machine);
  EXPECT_EQ(text::ToUtf8(machine), host);
  in_addr parsed{};
  if (!ip.empty()) {
    EXPECT_EQ(inet_pton(AF_INET, text::ToUtf8(ip).c_str(), &parsed), 1);
  }
  // The address is the resolver's first answer for the host name, whatever it finds here.
  const std::vector<std::string> addresses = sys::ResolveIPv4(host);
  EXPECT_EQ(ip, addresses.empty() ? Text{} : text::FromAscii(addresses.front()));
}

TEST(MachineUtils, ResolverGivesDottedIPv4WithoutANameService) {
  EXPECT_EQ(sys::ResolveIPv4("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(sys::ResolveIPv4("127.1.2.3"), std::vector<std::string>{"127.1.2.3"});
}

// Each field holds the value of its own key of the version block.
TEST(MachineUtils, VersionFieldsMapToTheirOwnKeys) {
  const auto resource = sys::TVersionResource::Load("/proc/self/exe");
  ASSERT_TRUE(resource);
  const TVersionInfoEx info = TMachineUtils::GetVersionInfoEx(u"/proc/self/exe");
  const std::pair<const Text*, const char16_t*> kFields[] = {
      {&info.CompanyName, u"CompanyName"},
      {&info.FileDescription, u"FileDescription"},
      {&info.FileVersion, u"FileVersion"},
      {&info.InternalName, u"InternalName"},
      {&info.LegalCopyright, u"LegalCopyright"},
      {&info.LegalTradeMarks, u"LegalTrademarks"},
      {&info.OriginalFileName, u"OriginalFilename"},
      {&info.ProductName, u"ProductName"},
      {&info.ProductVersion, u"ProductVersion"},
      {&info.Comments, u"Comments"},
      {&info.Application, u"Aplicativo"},
  };
  for (const auto& [field, key] : kFields) {
    SCOPED_TRACE(text::ToUtf8(key));
    EXPECT_EQ(*field, resource->Query(Text(sys::kVersionTextBlock) + key).value_or(Text{}));
  }
  EXPECT_NE(info.CompanyName, info.FileDescription);
  EXPECT_NE(info.InternalName, info.ProductName);
}

TEST(MachineUtils, RunningExecutableHasTheBuildTimeVersionTexts) {
  const TVersionInfoEx info = TMachineUtils::GetVersionInfoEx(u"/proc/self/exe");
  EXPECT_EQ(info.ProductName, u"Gerenciador de Assinatura Digital");
  EXPECT_EQ(info.FileVersion, info.ProductVersion);
  EXPECT_FALSE(info.FileVersion.empty());
  for (const Text* own : {&info.CompanyName, &info.FileDescription, &info.InternalName,
                          &info.LegalCopyright, &info.OriginalFileName})
    EXPECT_FALSE(own->empty());
  // The block has no such keys.
  EXPECT_TRUE(info.Comments.empty());
  EXPECT_TRUE(info.LegalTradeMarks.empty());
  EXPECT_TRUE(info.Application.empty());
}

TEST(MachineUtils, FileWithoutVersionInformationSaysSoInComments) {
  for (const char16_t* file : {u"/etc/hostname", u"/nonexistent/Servidor.exe"}) {
    const TVersionInfoEx info = TMachineUtils::GetVersionInfoEx(file);
    EXPECT_EQ(info.Comments, u"Nenhuma informação encontrada sobre o Sistema Operacional.");
    EXPECT_TRUE(info.ProductName.empty());
    EXPECT_TRUE(info.FileVersion.empty());
  }
}

}  // namespace
