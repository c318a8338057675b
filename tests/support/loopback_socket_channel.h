#pragma once

// Test-only byte channel over a connected socket, and a helper that opens a real TCP loopback
// connection (127.0.0.1, port chosen by the system). Reads return what arrived (at least one
// byte) or raise "Connection lost" when the peer closed, reset, or stayed silent for the receive
// timeout, so a test that goes wrong fails instead of hanging.

#include <memory>
#include <utility>

#include "transport/channel.h"

namespace test_support {

class TSocketFd {
 public:
  explicit TSocketFd(int AFd = -1) : FFd(AFd) {}
  ~TSocketFd();
  TSocketFd(TSocketFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
  TSocketFd& operator=(TSocketFd&& AOther) noexcept;
  int get() const { return FFd; }
  void reset();

 private:
  int FFd;
};

class TLoopbackSocketChannel : public TDbxChannel {
 public:
  explicit TLoopbackSocketChannel(TSocketFd AFd);

  void Open() override {}
  void Close() override;
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override;
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override;
  bool GetConnectionLost() const override { return FConnectionLost; }
  TDBXChannelInfo* GetChannelInfo() override { return &FInfo; }

  // Test conveniences over Read / Write.
  void WriteAll(std::string_view ABytes);
  std::string ReadExactly(std::size_t ACount);

 private:
  TSocketFd FFd;
  bool FConnectionLost = false;
  TDBXChannelInfo FInfo{this};
};

// Both ends of one loopback TCP connection: {client, server}. Receive timeout ATimeoutMs.
std::pair<std::unique_ptr<TLoopbackSocketChannel>, std::unique_ptr<TLoopbackSocketChannel>>
OpenLoopbackPair(int ATimeoutMs = 10000);

}  // namespace test_support
