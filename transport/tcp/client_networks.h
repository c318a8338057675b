#pragma once

// Which client addresses may connect: a list of networks, each an address with an optional
// prefix length ("192.168.0.0/16", "::1", "fe80::/10"), or "*" for every address. IPv4 clients
// that reach a dual-stack socket as v4-mapped IPv6 addresses are matched as IPv4.
//
// Immutable once made; any thread.

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the server admits when its configuration names no networks: this machine, the private
// ranges and the link-local ones, IPv4 and IPv6 (the local network, never the internet).
inline constexpr std::string_view kDefaultClientNetworks =
    "127.0.0.0/8 ::1 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16 169.254.0.0/16 fc00::/7 fe80::/10";

class TClientNetworks {
 public:
  // Every address.
  TClientNetworks() = default;

  // Entries separated by commas, semicolons or blanks; "*" among them admits every address.
  // Throws Exception naming the first entry that is not a network (or an empty list).
  static TClientNetworks Parse(std::string_view AText);

  bool Allows(const sockaddr_storage& APeer) const;
  bool AllowsAll() const { return FAll; }

 private:
  struct TNetwork {
    int Family = 0;  // AF_INET or AF_INET6
    std::array<std::uint8_t, 16> Bytes{};
    int Prefix = 0;
  };
  static bool Matches(const TNetwork& ANetwork, int AFamily, const std::uint8_t* ABytes);

  bool FAll = true;
  std::vector<TNetwork> FNetworks;
};
