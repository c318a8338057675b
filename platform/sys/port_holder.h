#pragma once

// Who listens on a TCP port, as far as /proc tells the user: a process of the same user whose
// name starts with a given text. For telling an operator that a port is taken by another copy of
// this program rather than by a stranger.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sys {

struct TPortHolder {
  pid_t Pid = 0;
  std::string Name;  // the process's name (/proc/<pid>/comm: at most 15 bytes)
};

// A process of this user, other than this one, named ANamePrefix..., that holds a socket
// listening on APort over IPv4 or IPv6; nullopt when none does or /proc cannot say.
std::optional<TPortHolder> ListenerOfThisUser(std::uint16_t APort, std::string_view ANamePrefix);

// Any process but this one that holds a socket listening on APort, as far as /proc shows it
// (another user's processes only to a privileged reader); nullopt when none can be seen.
std::optional<TPortHolder> ListenerOf(std::uint16_t APort);

}  // namespace sys
