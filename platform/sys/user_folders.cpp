#include "platform/sys/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace sys {
namespace {

std::filesystem::path HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir)
    return found->pw_dir;
  return "/";
}

std::filesystem::path Folder(const char* AVariable, const std::filesystem::path& ABelowHome) {
  if (const char* value = std::getenv(AVariable); value && *value == '/') return value;
  return HomeFolder() / ABelowHome;
}

}  // namespace

std::filesystem::path UserConfigFolder() { return Folder("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path UserStateFolder() {
  return Folder("XDG_STATE_HOME", std::filesystem::path(".local") / "state");
}

}  // namespace sys
