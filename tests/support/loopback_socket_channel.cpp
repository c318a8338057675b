#include "tests/support/loopback_socket_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "transport/dbx_error.h"

namespace test_support {

namespace {

[[noreturn]] void ThrowErrno(const char* AWhat) {
  throw std::runtime_error(std::string(AWhat) + ": " + std::to_string(errno));
}

void SetReceiveTimeout(int AFd, int ATimeoutMs) {
  timeval timeout{ATimeoutMs / 1000, (ATimeoutMs % 1000) * 1000};
  if (setsockopt(AFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
    ThrowErrno("setsockopt");
  const int on = 1;
  setsockopt(AFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

TSocketFd::~TSocketFd() { reset(); }

TSocketFd& TSocketFd::operator=(TSocketFd&& AOther) noexcept {
  if (this != &AOther) {
    reset();
    FFd = std::exchange(AOther.FFd, -1);
  }
  return *this;
}

void TSocketFd::reset() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

TLoopbackSocketChannel::TLoopbackSocketChannel(TSocketFd AFd) : FFd(std::move(AFd)) {}

void TLoopbackSocketChannel::Close() { FFd.reset(); }

int TLoopbackSocketChannel::Read(std::span<std::uint8_t> Buffer, int Offset, int Count) {
  for (;;) {
    const ssize_t count =
        ::recv(FFd.get(), Buffer.data() + Offset, static_cast<std::size_t>(Count), 0);
    if (count > 0) return static_cast<int>(count);
    if (count < 0 && errno == EINTR) continue;
    FConnectionLost = true;
    throw TDBXError(0, "Connection lost");
  }
}

int TLoopbackSocketChannel::Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) {
  int sent = 0;
  while (sent < Count) {
    const ssize_t count = ::send(FFd.get(), Buffer.data() + Offset + sent,
                                 static_cast<std::size_t>(Count - sent), MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      FConnectionLost = true;
      throw TDBXError(0, "Connection lost");
    }
    sent += static_cast<int>(count);
  }
  return Count;
}

void TLoopbackSocketChannel::WriteAll(std::string_view ABytes) {
  Write(std::span(reinterpret_cast<const std::uint8_t*>(ABytes.data()), ABytes.size()), 0,
        static_cast<int>(ABytes.size()));
}

std::string TLoopbackSocketChannel::ReadExactly(std::size_t ACount) {
  std::string bytes(ACount, '\0');
  std::size_t got = 0;
  while (got < ACount)
    got += static_cast<std::size_t>(
        Read(std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()),
             static_cast<int>(got), static_cast<int>(ACount - got)));
  return bytes;
}

std::pair<std::unique_ptr<TLoopbackSocketChannel>, std::unique_ptr<TLoopbackSocketChannel>>
OpenLoopbackPair(int ATimeoutMs) {
  TSocketFd listener(::socket(AF_INET, SOCK_STREAM, 0));
  if (listener.get() < 0) ThrowErrno("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    ThrowErrno("bind");
  if (::listen(listener.get(), 1) != 0) ThrowErrno("listen");
  socklen_t length = sizeof address;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    ThrowErrno("getsockname");

  TSocketFd client(::socket(AF_INET, SOCK_STREAM, 0));
  if (client.get() < 0) ThrowErrno("socket");
  // The listen backlog completes a loopback connect without an accept running.
  if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    ThrowErrno("connect");
  TSocketFd server(::accept(listener.get(), nullptr, nullptr));
  if (server.get() < 0) ThrowErrno("accept");
  SetReceiveTimeout(client.get(), ATimeoutMs);
  SetReceiveTimeout(server.get(), ATimeoutMs);
  return {std::make_unique<TLoopbackSocketChannel>(std::move(client)),
          std::make_unique<TLoopbackSocketChannel>(std::move(server))};
}

}  // namespace test_support
