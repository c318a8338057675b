// Replays the parameter row's fuzz corpus in the ordinary build, so every seed (and every
// crasher added to it) runs with each test run, sanitized or not.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/row_buffer_driver.h"

TEST(RowBufferCorpus, EverySeedRunsCleanly) {
  const auto corpus = std::filesystem::path(ASSINADOR_TEST_DATA).parent_path().parent_path() /
                      "fuzz" / "corpus" / "row_buffer_fuzz";
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().string());
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    try {
      DriveRowBuffer(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    } catch (const TDBXError&) {
    }
    ++seeds;
  }
  EXPECT_GT(seeds, 0);
}
