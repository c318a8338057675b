// Replays the reader's fuzz corpus in the ordinary build, so every seed (and every crasher
// added to it) runs with each test run, sanitized or not.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/json_stream_reader_driver.h"

TEST(JsonStreamCorpus, EverySeedRunsCleanly) {
  const auto corpus = std::filesystem::path(ASSINADOR_TEST_DATA).parent_path().parent_path() /
                      "fuzz" / "corpus" / "json_stream_reader_fuzz";
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().string());
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    DriveJsonStreamReader(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++seeds;
  }
  EXPECT_GT(seeds, 0);
}
