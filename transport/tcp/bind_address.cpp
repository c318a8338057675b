#include "transport/tcp/bind_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/exception.h"
#include "transport/tcp/tcp_messages.h"

TBindAddress TBindAddress::Parse(std::string_view AText) {
  const std::size_t first = AText.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  std::string_view value = AText.substr(first, AText.find_last_not_of(" \t") - first + 1);
  if (value.size() > 2 && value.front() == '[' && value.back() == ']')
    value = value.substr(1, value.size() - 2);
  TBindAddress address;
  const std::string literal(value);
  char text[INET6_ADDRSTRLEN] = {};
  if (::inet_pton(AF_INET, literal.c_str(), address.FBytes) == 1) {
    address.FFamily = AF_INET;
  } else if (::inet_pton(AF_INET6, literal.c_str(), address.FBytes) == 1) {
    address.FFamily = AF_INET6;
  } else {
    throw Exception(std::string(tcp_messages::kBadBindAddress) + "\"" + std::string(AText) + "\"");
  }
  ::inet_ntop(address.FFamily, address.FBytes, text, sizeof text);
  address.FText = text;
  return address;
}

sockaddr_storage TBindAddress::SocketAddress(std::uint16_t APort) const {
  sockaddr_storage storage{};
  if (FFamily == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr, FBytes, sizeof v6.sin6_addr);
    v6.sin6_port = htons(APort);
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_addr, FBytes, sizeof v4.sin_addr);
    v4.sin_port = htons(APort);
  }
  return storage;
}
