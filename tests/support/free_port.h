#pragma once

// TCP ports for tests that need a number before a server listens on it: one the system just
// handed out (free a moment ago), or one held by a listener of the test's own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>

#include "platform/sys/unique_fd.h"

// A listener on every interface, at a port of the system's choice, held while it lives.
class TTakenPort {
 public:
  TTakenPort() : FSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (!FSocket || ::bind(FSocket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(FSocket.get(), 1) != 0 ||
        ::getsockname(FSocket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no port for the test");
    FPort = ntohs(address.sin_port);
  }
  std::uint16_t Port() const { return FPort; }

 private:
  UniqueFd FSocket;
  std::uint16_t FPort = 0;
};

// A port that was free when the call returned.
inline std::uint16_t FreePort() { return TTakenPort().Port(); }
