#pragma once

// Channels for the benchmark programs: a sink that counts what is written, a source that serves
// the same bytes over and over, and a sink that keeps what is written.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "transport/channel.h"

// Discards what is written, counting it.
class TSinkChannel : public TDbxChannel {
 public:
  std::size_t Bytes = 0;
  void Open() override {}
  void Close() override {}
  int Read(std::span<std::uint8_t>, int, int) override { return -1; }
  int Write(std::span<const std::uint8_t>, int, int Count) override {
    Bytes += static_cast<std::size_t>(Count);
    return Count;
  }
  TDBXChannelInfo* GetChannelInfo() override { return &FInfo; }

 private:
  TDBXChannelInfo FInfo{this};
};

// Serves the same bytes over and over, as many as each read asks for.
class TRepeatChannel : public TDbxChannel {
 public:
  explicit TRepeatChannel(std::string bytes) : FBytes(std::move(bytes)) {}
  void Open() override {}
  void Close() override {}
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override {
    const std::size_t n = std::min(static_cast<std::size_t>(Count), FBytes.size() - FPosition);
    std::memcpy(Buffer.data() + Offset, FBytes.data() + FPosition, n);
    FPosition = (FPosition + n) % FBytes.size();
    return static_cast<int>(n);
  }
  int Write(std::span<const std::uint8_t>, int, int Count) override { return Count; }
  TDBXChannelInfo* GetChannelInfo() override { return &FInfo; }

 private:
  std::string FBytes;
  std::size_t FPosition = 0;
  TDBXChannelInfo FInfo{this};
};

// Captures what is written.
class TCaptureChannel : public TSinkChannel {
 public:
  std::string Captured;
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override {
    Captured.append(reinterpret_cast<const char*>(Buffer.data()) + Offset,
                    static_cast<std::size_t>(Count));
    return Count;
  }
};
