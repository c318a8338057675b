#include "platform/sys/host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/c_free.h"

namespace sys {
namespace {

using AddrInfoPtr = std::unique_ptr<addrinfo, CFree<freeaddrinfo>>;

[[noreturn]] void ThrowSocketError(std::string_view AWhat, int ACode, const char* AReason) {
  throw TSocketError(ACode, text::FromUtf8(AWhat) + text::FromLocale(AReason) + u" (código " +
                                text::FromAscii(std::to_string(ACode)) + u")");
}

}  // namespace

std::string HostName() {
  // The platform's lookup takes at most 250 bytes; keep one more for the terminating NUL that
  // gethostname may leave out when it truncates.
  std::array<char, 251> buffer{};
  if (gethostname(buffer.data(), 250) != 0) {
    const int code = errno;
    ThrowSocketError("Erro ao obter o nome da máquina: ", code, std::strerror(code));
  }
  return std::string(buffer.data());
}

std::vector<std::string> ResolveIPv4(const std::string& AHost) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(AHost.c_str(), nullptr, &hints, &raw);
  AddrInfoPtr answer{raw};
  if (rc != 0) {
    const int code = rc == EAI_SYSTEM ? errno : rc;
    ThrowSocketError("Erro ao resolver o endereço da máquina \"" + AHost + "\": ", code,
                     rc == EAI_SYSTEM ? std::strerror(code) : gai_strerror(rc));
  }
  std::vector<std::string> addresses;
  for (const addrinfo* a = answer.get(); a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
    sockaddr_in in{};
    std::memcpy(&in, a->ai_addr, sizeof in);  // ai_addr need not be aligned for sockaddr_in
    std::array<char, INET_ADDRSTRLEN> dotted{};
    if (inet_ntop(AF_INET, &in.sin_addr, dotted.data(), dotted.size()) != nullptr)
      addresses.emplace_back(dotted.data());
  }
  return addresses;
}

}  // namespace sys
