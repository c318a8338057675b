#include "transport/tcp/client_networks.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

#include "platform/exception.h"
#include "transport/tcp/tcp_messages.h"

TClientNetworks TClientNetworks::Parse(std::string_view AText) {
  TClientNetworks networks;
  networks.FAll = false;
  const auto bad = [](std::string_view AEntry) {
    return Exception(std::string(tcp_messages::kBadClientNetwork) + "\"" + std::string(AEntry) +
                     "\"");
  };
  std::size_t at = 0;
  while (at < AText.size()) {
    const std::size_t end = AText.find_first_of(",; \t", at);
    const std::string_view entry =
        AText.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    at = end == std::string_view::npos ? AText.size() : end + 1;
    if (entry.empty()) continue;
    if (entry == "*") {
      networks.FAll = true;
      continue;
    }
    const std::size_t slash = entry.find('/');
    const std::string address{entry.substr(0, slash)};
    TNetwork network;
    if (::inet_pton(AF_INET, address.c_str(), network.Bytes.data()) == 1) {
      network.Family = AF_INET;
      network.Prefix = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), network.Bytes.data()) == 1) {
      network.Family = AF_INET6;
      network.Prefix = 128;
    } else {
      throw bad(entry);
    }
    if (slash != std::string_view::npos) {
      const std::string_view digits = entry.substr(slash + 1);
      int prefix = -1;
      const auto [end_, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
      if (error != std::errc{} || end_ != digits.data() + digits.size() || prefix < 0 ||
          prefix > network.Prefix)
        throw bad(entry);
      network.Prefix = prefix;
    }
    networks.FNetworks.push_back(network);
  }
  if (!networks.FAll && networks.FNetworks.empty()) throw bad(AText);
  return networks;
}

bool TClientNetworks::Matches(const TNetwork& ANetwork, int AFamily, const std::uint8_t* ABytes) {
  if (ANetwork.Family != AFamily) return false;
  const int whole = ANetwork.Prefix / 8;
  if (std::memcmp(ANetwork.Bytes.data(), ABytes, static_cast<std::size_t>(whole)) != 0)
    return false;
  const int rest = ANetwork.Prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (ANetwork.Bytes[whole] & mask) == (ABytes[whole] & mask);
}

bool TClientNetworks::Allows(const sockaddr_storage& APeer) const {
  if (FAll) return true;
  std::uint8_t bytes[16];
  int family = APeer.ss_family;
  if (family == AF_INET) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in&>(APeer).sin_addr, 4);
  } else if (family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(APeer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      family = AF_INET;
      std::memcpy(bytes, v6.s6_addr + 12, 4);
    } else {
      std::memcpy(bytes, v6.s6_addr, 16);
    }
  } else {
    return false;
  }
  for (const TNetwork& network : FNetworks)
    if (Matches(network, family, bytes)) return true;
  return false;
}
