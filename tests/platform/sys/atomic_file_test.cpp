#include "platform/sys/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <system_error>

#include "tests/support/scratch_directory.h"

namespace {

class AtomicFile : public testing::Test {
 protected:
  std::size_t Entries() const {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(FDir.Path()), {}));
  }
  static mode_t ModeOf(const std::filesystem::path& APath) {
    struct stat info {};
    ::stat(APath.c_str(), &info);
    return info.st_mode & 07777;
  }

  TScratchDirectory FDir;
  std::filesystem::path FFile = FDir / "arquivo.xml";
};

TEST_F(AtomicFile, ReadsWhatWasWrittenAndNothingForAMissingFile) {
  EXPECT_EQ(sys::ReadFileIfExists(FFile), std::nullopt);
  const std::string bytes("<a>\0\xFF</a>", 9);
  sys::WriteFileAtomically(FFile, bytes);
  EXPECT_EQ(sys::ReadFileIfExists(FFile), bytes);
  sys::WriteFileAtomically(FFile, "");
  EXPECT_EQ(sys::ReadFileIfExists(FFile), "");
  EXPECT_EQ(Entries(), 1u) << "no temporary file left behind";
}

TEST_F(AtomicFile, ReplacementKeepsThePermissionsOfTheReplacedFile) {
  TScratchDirectory::WriteBytes(FFile, "antigo");
  ::chmod(FFile.c_str(), 0640);
  sys::WriteFileAtomically(FFile, "novo");
  EXPECT_EQ(ModeOf(FFile), 0640u);
  EXPECT_EQ(TScratchDirectory::ReadBytes(FFile), "novo");
}

TEST_F(AtomicFile, SymbolicLinkIsReplacedNotFollowed) {
  const std::filesystem::path target = FDir / "alvo";
  TScratchDirectory::WriteBytes(target, "alvo");
  std::filesystem::create_symlink(target, FFile);
  sys::WriteFileAtomically(FFile, "novo");
  EXPECT_FALSE(std::filesystem::is_symlink(FFile));
  EXPECT_EQ(TScratchDirectory::ReadBytes(FFile), "novo");
  EXPECT_EQ(TScratchDirectory::ReadBytes(target), "alvo");
}

TEST_F(AtomicFile, FailedReplacementLeavesNoTemporaryFileAndSaysWhy) {
  // A folder in the file's place cannot be renamed over.
  std::filesystem::create_directories(FFile / "dentro");
  try {
    sys::WriteFileAtomically(FFile, "novo");
    ADD_FAILURE() << "the replacement should have failed";
  } catch (const std::system_error& e) {
    EXPECT_NE(e.code().value(), 0);
  }
  EXPECT_EQ(Entries(), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(FFile / "dentro"));
}

TEST_F(AtomicFile, ReadingAFolderOrWritingIntoAMissingFolderThrows) {
  EXPECT_THROW(sys::ReadFileIfExists(FDir.Path()), std::system_error);
  EXPECT_THROW(sys::WriteFileAtomically(FDir / "falta" / "x", "x"), std::system_error);
}

}  // namespace
