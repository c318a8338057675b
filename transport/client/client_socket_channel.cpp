#include "transport/client/client_socket_channel.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <system_error>

#include "platform/c_free.h"
#include "transport/client/client_format.h"
#include "transport/dbx_error.h"

using namespace client_format;

namespace {

using AddrInfoPtr = std::unique_ptr<addrinfo, CFree<freeaddrinfo>>;

std::string ErrorText(int AError) { return std::generic_category().message(AError); }

std::string Milliseconds(int AMs) { return std::to_string(AMs) + " ms"; }

// Waits until AFd is ready for AEvents: 1 ready (errors and hang-ups included, the next call on
// the socket reports them), 0 timed out, -1 failed (errno). A signal does not restart the wait.
int PollFor(int AFd, short AEvents, int ATimeoutMs) {
  pollfd entry{AFd, AEvents, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  for (;;) {
    int wait = -1;
    if (ATimeoutMs > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    const int ready = ::poll(&entry, 1, wait);
    if (ready != 0 || wait == 0) {
      if (ready < 0 && errno == EINTR) continue;
      return ready > 0 ? 1 : ready;
    }
  }
}

}  // namespace

TDBXConnectionError::TDBXConnectionError(std::string_view AMessageUtf8, int ASystemError,
                                         bool ANameNotFound)
    : TDBXError(kConnectionErrorCode, AMessageUtf8),
      FSystemError(ASystemError),
      FNameNotFound(ANameNotFound) {}

TDBXClientSocketChannel::TDBXClientSocketChannel(std::string AHost, std::uint16_t APort,
                                                 int AConnectTimeoutMs, int AReadTimeoutMs)
    : FHost(std::move(AHost)),
      FPort(APort),
      FAddress((FHost.find(':') != std::string::npos ? "[" + FHost + "]" : FHost) + ":" +
               std::to_string(APort)),
      FConnectTimeoutMs(AConnectTimeoutMs),
      FReadTimeoutMs(AReadTimeoutMs),
      FChannelInfo(this, text::FromAscii(FAddress)) {}

void TDBXClientSocketChannel::Open() {
  Close();
  FConnectionLost = false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;  // IPv6 and IPv4, in the order the resolver prefers
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(FHost.c_str(), std::to_string(FPort).c_str(), &hints, &list);
  if (rc != 0 || list == nullptr)
    throw TDBXConnectionError(
        std::string(kCannotResolve) + "\"" + FHost + "\": " + ::gai_strerror(rc),
        rc == EAI_SYSTEM ? errno : 0, rc != EAI_SYSTEM);
  const AddrInfoPtr addresses(list);
  int error = 0;
  for (const addrinfo* address = list; address != nullptr && !FSocket; address = address->ai_next)
    ConnectTo(address->ai_family, address->ai_addr, address->ai_addrlen, error);
  if (FSocket) return;
  if (error == ETIMEDOUT)
    throw TDBXConnectionError(
        std::string(kConnectTimedOut) + FAddress + " after " + Milliseconds(FConnectTimeoutMs),
        error);
  throw TDBXConnectionError(std::string(kCannotConnect) + FAddress + ": " + ErrorText(error),
                            error);
}

// Non-blocking from the start: connect, reads and writes all wait through poll with a limit.
void TDBXClientSocketChannel::ConnectTo(int AFamily, const void* ASockAddr, unsigned ALength,
                                        int& AError) {
  UniqueFd fd(::socket(AFamily, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    AError = errno;
    return;
  }
  if (::connect(fd.get(), static_cast<const sockaddr*>(ASockAddr), ALength) != 0) {
    if (errno != EINPROGRESS) {
      AError = errno;
      return;
    }
    const int ready = PollFor(fd.get(), POLLOUT, FConnectTimeoutMs);
    if (ready <= 0) {
      AError = ready == 0 ? ETIMEDOUT : errno;
      return;
    }
    int soError = 0;
    socklen_t length = sizeof soError;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
    if (soError != 0) {
      AError = soError;
      return;
    }
  }
  // Every request leaves as a block header and a body; without this the body would wait for
  // the acknowledgement of the header.
  const int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  FSocket = std::move(fd);
}

void TDBXClientSocketChannel::Close() { FSocket.reset(); }

bool TDBXClientSocketChannel::WaitFor(short AEvents, int ATimeoutMs) {
  const int ready = PollFor(FSocket.get(), AEvents, ATimeoutMs);
  if (ready < 0) {
    const int error = errno;
    Lost(kSocketFailed, error, ErrorText(error));
  }
  return ready > 0;
}

void TDBXClientSocketChannel::Lost(std::string_view AStem, int AError, const std::string& ADetail) {
  FConnectionLost = true;
  FSocket.reset();
  throw TDBXConnectionError(std::string(AStem) + ADetail, AError);
}

int TDBXClientSocketChannel::Read(std::span<std::uint8_t> Buffer, int Offset, int Count) {
  if (!FSocket) throw TDBXError(kConnectionErrorCode, kNotOpen);
  if (Offset < 0 || Count < 0 ||
      static_cast<std::size_t>(Offset) + static_cast<std::size_t>(Count) > Buffer.size())
    return -1;
  if (Count == 0) return 0;
  for (;;) {
    const ssize_t count =
        ::recv(FSocket.get(), Buffer.data() + Offset, static_cast<std::size_t>(Count), 0);
    if (count > 0) return static_cast<int>(count);
    if (count == 0) Lost(kServerClosed, 0);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      const int error = errno;
      Lost(kSocketFailed, error, ErrorText(error));
    }
    if (!WaitFor(POLLIN, FReadTimeoutMs))
      Lost(kReadTimedOut, ETIMEDOUT, Milliseconds(FReadTimeoutMs));
  }
}

int TDBXClientSocketChannel::Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) {
  if (!FSocket) throw TDBXError(kConnectionErrorCode, kNotOpen);
  if (Offset < 0 || Count < 0 ||
      static_cast<std::size_t>(Offset) + static_cast<std::size_t>(Count) > Buffer.size())
    return -1;
  int sent = 0;
  while (sent < Count) {
    const ssize_t count = ::send(FSocket.get(), Buffer.data() + Offset + sent,
                                 static_cast<std::size_t>(Count - sent), MSG_NOSIGNAL);
    if (count > 0) {
      sent += static_cast<int>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      const int error = errno;
      Lost(kSocketFailed, error, ErrorText(error));
    }
    if (!WaitFor(POLLOUT, FReadTimeoutMs))
      Lost(kWriteTimedOut, ETIMEDOUT, Milliseconds(FReadTimeoutMs));
  }
  return Count;
}
