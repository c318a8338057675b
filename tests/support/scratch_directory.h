#pragma once

// A fresh directory under the system's temporary folder ($TMPDIR or /tmp), removed with
// everything in it when the object goes. For tests that need real files (journals, stores,
// documents). Every test helper that needs a folder makes it here.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

class TScratchDirectory {
 public:
  // The folder's name starts with APrefix.
  explicit TScratchDirectory(const std::string& APrefix = "assinador") {
    std::string pattern = (std::filesystem::temp_directory_path() / (APrefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
  }
  TScratchDirectory(const TScratchDirectory&) = delete;
  TScratchDirectory& operator=(const TScratchDirectory&) = delete;
  ~TScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }

  const std::filesystem::path& Path() const { return FPath; }
  std::filesystem::path operator/(const std::string& AName) const { return FPath / AName; }

  static std::string ReadBytes(const std::filesystem::path& AFile) {
    std::ifstream in(AFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteBytes(const std::filesystem::path& AFile, std::string_view ABytes) {
    std::ofstream out(AFile, std::ios::binary | std::ios::trunc);
    out.write(ABytes.data(), static_cast<std::streamsize>(ABytes.size()));
  }

 private:
  std::filesystem::path FPath;
};
