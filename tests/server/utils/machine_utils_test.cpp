#include "server/utils/machine_utils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

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
