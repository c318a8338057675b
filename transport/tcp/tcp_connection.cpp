#include "transport/tcp/tcp_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "transport/dbx_error.h"
#include "transport/tcp/tcp_messages.h"

TDSTCPContext::TDSTCPContext(UniqueFd ASocket, int AStopFd, std::string APeerIP,
                             std::uint16_t APeerPort)
    : FSocket(std::move(ASocket)),
      FStopFd(AStopFd),
      FPeerIP(std::move(APeerIP)),
      FPeerPort(APeerPort) {}

bool TDSTCPContext::Connected() const {
  if (FDisconnected.load()) return false;
  return !FPeerGone || !InputBufferIsEmpty();
}

void TDSTCPContext::Disconnect() noexcept {
  std::lock_guard lock(FShutdownLock);
  if (FDisconnected.exchange(true)) return;
  ::shutdown(FSocket.get(), SHUT_RDWR);
}

void TDSTCPContext::BeginMessage() {
  if (!FMessageStart) FMessageStart = std::chrono::steady_clock::now();
  FDrainStart.reset();
}

namespace {

// Milliseconds left until AStart + ALimit, at least 0, for poll.
int RemainingMs(std::chrono::steady_clock::time_point AStart, std::chrono::milliseconds ALimit) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      AStart + ALimit - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT32_MAX));
}

}  // namespace

void TDSTCPContext::CheckForDataOnSource() {
  if (!InputBufferIsEmpty() || FPeerGone) return;
  // Between messages the connection holds no input buffer: idle clients cost no memory.
  if (!FMessageStart) FInput.reset();
  pollfd fds[2] = {{FSocket.get(), POLLIN, 0}, {FStopFd, POLLIN, 0}};
  const int timeout = FMessageStart ? RemainingMs(*FMessageStart, FMessageDeadline)
                      : !FSpoken    ? RemainingMs(FAccepted, FFirstByteDeadline)
                                    : -1;
  const int ready = ::poll(fds, 2, timeout);
  if (ready == 0) {
    // A message that trickles in, or a peer that never speaks, holds a thread and a slot: its
    // time is up.
    FTimedOut = true;
    FPeerGone = true;
    Disconnect();
    return;
  }
  if (ready < 0) return;  // EINTR: the caller asks again
  if (fds[1].revents != 0) {
    Disconnect();
    return;
  }
  if (fds[0].revents == 0) return;
  if (!FInput) FInput = std::make_unique_for_overwrite<std::uint8_t[]>(kInputBufferSize);
  ssize_t received;
  do {
    received = ::recv(FSocket.get(), FInput.get(), kInputBufferSize, MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  if (received > 0) {
    FSpoken = true;
    FStart = 0;
    FEnd = static_cast<std::size_t>(received);
  } else if (received == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
    FPeerGone = true;  // orderly close, reset, or a socket shut down by Disconnect
  }
}

std::size_t TDSTCPContext::ReadBytes(std::uint8_t* ADest, std::size_t ACount) {
  const std::size_t n = std::min(ACount, InputBufferSize());
  if (n > 0) std::memcpy(ADest, FInput.get() + FStart, n);
  FStart += n;
  return n;
}

void TDSTCPContext::Write(const std::uint8_t* ASource, std::size_t ACount) {
  auto progress = std::chrono::steady_clock::now();
  // A reply answers the message so far: the client's next bytes start a new deadline.
  if (FMessageStart) FMessageStart = progress;
  while (ACount > 0) {
    const ssize_t sent = ::send(FSocket.get(), ASource, ACount, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A client that does not read its replies, or reads them a byte now and then, would
        // hold this thread and the reply's memory for ever.
        const auto now = std::chrono::steady_clock::now();
        if (!FDrainStart) {
          FDrainStart = now;
          FDrained = 0;
        }
        const auto draining =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - *FDrainStart);
        const bool tooSlow =
            draining >= FDrainWindow &&
            FDrained * 1000 < FMinimumDrain * static_cast<std::size_t>(draining.count());
        pollfd fds[2] = {{FSocket.get(), POLLOUT, 0}, {FStopFd, POLLIN, 0}};
        // Woken at least once a window's tenth to measure the drain again.
        const int wait =
            std::min<int>(RemainingMs(progress, FSendStallDeadline),
                          static_cast<int>(std::max<std::int64_t>(FDrainWindow.count() / 10, 1)));
        const int ready = tooSlow ? 0 : ::poll(fds, 2, wait);
        if (ready == 0 && !tooSlow && RemainingMs(progress, FSendStallDeadline) > 0) continue;
        if (ready == 0) {
          FTimedOut = true;
          Disconnect();
          throw TDBXError(0, tcp_messages::kConnectionLost);
        }
        if (ready > 0 && fds[1].revents != 0) {
          Disconnect();
          throw TDBXError(0, tcp_messages::kConnectionLost);
        }
        continue;
      }
      throw TDBXError(0, std::string(tcp_messages::kSocketError) + std::to_string(errno) + " " +
                             std::strerror(errno));
    }
    ASource += sent;
    ACount -= static_cast<std::size_t>(sent);
    if (FDrainStart) FDrained += static_cast<std::size_t>(sent);
    progress = std::chrono::steady_clock::now();
  }
}

std::string PeerAddressText(const sockaddr_storage& AAddress) {
  char text[INET6_ADDRSTRLEN] = {};
  if (AAddress.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(AAddress);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  } else if (AAddress.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(AAddress);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      // The last four bytes are the IPv4 address.
      ::inet_ntop(AF_INET, v6.sin6_addr.s6_addr + 12, text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
  }
  return text;
}

std::uint16_t PortOf(const sockaddr_storage& AAddress) {
  if (AAddress.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(AAddress).sin_port);
  if (AAddress.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(AAddress).sin6_port);
  return 0;
}
