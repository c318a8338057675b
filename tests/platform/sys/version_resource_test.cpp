#include "platform/sys/version_resource.h"

#include <gtest/gtest.h>

#include "build_info.h"

namespace {

TEST(VersionResource, OnlyTheRunningExecutableCarriesVersionTexts) {
  EXPECT_TRUE(sys::TVersionResource::Load("/proc/self/exe").has_value());
  EXPECT_FALSE(sys::TVersionResource::Load("/etc/hostname").has_value());
  EXPECT_FALSE(sys::TVersionResource::Load("/nonexistent/program.exe").has_value());
}

TEST(VersionResource, QueriesKeysWithoutRegardToCase) {
  const auto resource = sys::TVersionResource::Load("/proc/self/exe");
  ASSERT_TRUE(resource);
  EXPECT_EQ(resource->Query(u"StringFileInfo\\041604E4\\ProductName"),
            Text(u"Gerenciador de Assinatura Digital"));
  EXPECT_EQ(resource->Query(u"StringFileInfo\\041604E4\\OriginalFileName"),
            resource->Query(u"StringFileInfo\\041604E4\\OriginalFilename"));
  EXPECT_FALSE(resource->Query(u"StringFileInfo\\041604E4\\Comments"));
  EXPECT_FALSE(resource->Query(u"StringFileInfo\\041604E4\\Aplicativo"));
  EXPECT_FALSE(resource->Query(u"ProductName"));
}

TEST(VersionResource, VersionHasFourNumbers) {
  const std::string version = text::ToUtf8(sys::FourPartVersion());
  EXPECT_TRUE(version.starts_with(build_info::kProjectVersion));
  int parts[4] = {-1, -1, -1, -1};
  char tail = 0;
  EXPECT_EQ(std::sscanf(version.c_str(), "%d.%d.%d.%d%c", &parts[0], &parts[1], &parts[2],
                        &parts[3], &tail),
            4);
}

}  // namespace
