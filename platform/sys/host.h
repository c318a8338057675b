#pragma once

// Host name and IPv4 address lookup over the sockets layer (gethostname, getaddrinfo).
// Stateless; callable from any thread. Failures throw TSocketError.

#include <string>
#include <vector>

#include "platform/exception.h"

namespace sys {

// An error of the sockets layer, with the layer's own code (errno or a getaddrinfo EAI_ code).
class TSocketError : public Exception {
 public:
  TSocketError(int ACode, Text AMessage) : Exception(std::move(AMessage)), FCode(ACode) {}
  int Code() const noexcept { return FCode; }

 private:
  int FCode;
};

// The machine's host name as the system gives it: at most 250 bytes.
std::string HostName();

// Every IPv4 address of AHost for stream sockets, dotted decimal, in the resolver's order.
std::vector<std::string> ResolveIPv4(const std::string& AHost);

}  // namespace sys
