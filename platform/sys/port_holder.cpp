#include "platform/sys/port_holder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

namespace sys {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kListenState = "0A";

// The inodes of the sockets of this user that listen on APort, from a table of /proc/net:
// "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode".
void ListeningInodes(const char* ATable, std::uint16_t APort, std::set<std::string>& AInodes,
                     bool AThisUser = true) {
  std::ifstream table(ATable);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode))
      continue;
    const auto colon = local.rfind(':');
    unsigned port = 0;
    if (colon == std::string::npos ||
        std::from_chars(local.data() + colon + 1, local.data() + local.size(), port, 16).ec !=
            std::errc() ||
        port != APort || state != kListenState || (AThisUser && uid != std::to_string(::getuid())))
      continue;
    AInodes.insert("socket:[" + inode + "]");
  }
}

bool HoldsOneOf(const fs::path& AProcess, const std::set<std::string>& ASockets) {
  std::error_code error;
  for (fs::directory_iterator fd(AProcess / "fd", error), end; !error && fd != end;
       fd.increment(error)) {
    std::error_code ignored;
    if (ASockets.contains(fs::read_symlink(fd->path(), ignored).string())) return true;
  }
  return false;
}

}  // namespace

namespace {

// The first process /proc lets this one see, other than itself, whose name starts with
// ANamePrefix and that holds one of ASockets.
std::optional<TPortHolder> Holder(const std::set<std::string>& ASockets,
                                  std::string_view ANamePrefix, bool AThisUser) {
  const pid_t self = ::getpid();
  std::error_code error;
  for (fs::directory_iterator entry("/proc", error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    pid_t pid = 0;
    if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc() ||
        pid == self)
      continue;
    struct stat owner {};
    if (::stat(entry->path().c_str(), &owner) != 0 || (AThisUser && owner.st_uid != ::getuid()))
      continue;
    std::string command;
    std::getline(std::ifstream(entry->path() / "comm"), command);
    if (!command.starts_with(ANamePrefix) || !HoldsOneOf(entry->path(), ASockets)) continue;
    return TPortHolder{pid, command};
  }
  return std::nullopt;
}

}  // namespace

std::optional<TPortHolder> ListenerOfThisUser(std::uint16_t APort, std::string_view ANamePrefix) {
  std::set<std::string> sockets;
  ListeningInodes("/proc/net/tcp", APort, sockets);
  ListeningInodes("/proc/net/tcp6", APort, sockets);
  if (sockets.empty()) return std::nullopt;
  return Holder(sockets, ANamePrefix, true);
}

std::optional<TPortHolder> ListenerOf(std::uint16_t APort) {
  std::set<std::string> sockets;
  ListeningInodes("/proc/net/tcp", APort, sockets, false);
  ListeningInodes("/proc/net/tcp6", APort, sockets, false);
  if (sockets.empty()) return std::nullopt;
  return Holder(sockets, "", false);
}

}  // namespace sys
