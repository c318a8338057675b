#pragma once

// Raw loopback sockets for the tests and the benches that talk to a server byte by byte.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <string_view>

#include "platform/sys/unique_fd.h"

// A connection to APort on loopback, its receives timing out after 20 s; AFrom, when given, is
// the loopback address it comes from (as "127.0.0.2"). Invalid, with errno set, when the
// socket could not be made, bound or connected.
inline UniqueFd ConnectLoopback(std::uint16_t APort, const char* AFrom = nullptr) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return fd;
  timeval timeout{20, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (AFrom) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, AFrom, &from.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return UniqueFd();
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(APort);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return UniqueFd();
  return fd;
}

// True when every byte was sent; a closed peer fails it without a SIGPIPE.
inline bool SendAll(int AFd, std::string_view ABytes) {
  while (!ABytes.empty()) {
    const ssize_t sent = ::send(AFd, ABytes.data(), ABytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    ABytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}
