#pragma once

// The local address a server listens on: every interface (IPv6 and IPv4 on one socket where the
// system has IPv6), or one literal IPv4 or IPv6 address ("127.0.0.1", "::1", "[::1]").
//
// Immutable once made; any thread.

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

class TBindAddress {
 public:
  // Every interface.
  TBindAddress() = default;

  // A literal address, blanks around it ignored; empty text: every interface. Throws Exception
  // (in Portuguese, naming the text) for anything else, host names included.
  static TBindAddress Parse(std::string_view AText);

  bool Any() const { return FFamily == 0; }
  // AF_INET or AF_INET6; 0 for every interface.
  int Family() const { return FFamily; }
  // The address with APort, ready for bind (only when not Any).
  sockaddr_storage SocketAddress(std::uint16_t APort) const;
  // The address as inet_ntop writes it; empty for every interface.
  const std::string& ToString() const { return FText; }

  bool operator==(const TBindAddress& AOther) const { return FText == AOther.FText; }

 private:
  int FFamily = 0;
  unsigned char FBytes[16] = {};
  std::string FText;
};
