#pragma once

// In-memory byte channel for tests: reads come from a script of chunks (each Read returns at
// most one chunk, or part of it), writes are recorded. Reading past the script throws
// "Connection lost" like a peer that went away.

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "transport/channel.h"
#include "transport/dbx_error.h"

class TMemoryChannel : public TDbxChannel {
 public:
  // Each pushed chunk is delivered by separate reads, as if it arrived in its own packet.
  void PushInput(std::string_view bytes) { FInput.emplace_back(bytes); }

  const std::string& Written() const { return FWritten; }
  std::vector<std::string> Writes() const { return FWrites; }
  void ClearWritten() {
    FWritten.clear();
    FWrites.clear();
  }
  int ReadCalls() const { return FReadCalls; }
  bool Closed() const { return FClosed; }

  void Open() override {}
  void Close() override { FClosed = true; }
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override {
    ++FReadCalls;
    while (!FInput.empty() && FInput.front().empty()) FInput.pop_front();
    if (FInput.empty()) {
      FConnectionLost = true;
      throw TDBXError(0, "Connection lost");
    }
    std::string& chunk = FInput.front();
    const int n = std::min<int>(Count, static_cast<int>(chunk.size()));
    std::memcpy(Buffer.data() + Offset, chunk.data(), static_cast<std::size_t>(n));
    chunk.erase(0, static_cast<std::size_t>(n));
    return n;
  }
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override {
    std::string bytes(reinterpret_cast<const char*>(Buffer.data()) + Offset,
                      static_cast<std::size_t>(Count));
    FWritten += bytes;
    FWrites.push_back(std::move(bytes));
    return Count;
  }
  bool GetConnectionLost() const override { return FConnectionLost; }
  TDBXChannelInfo* GetChannelInfo() override { return &FInfo; }

 private:
  std::deque<std::string> FInput;
  std::string FWritten;
  std::vector<std::string> FWrites;
  int FReadCalls = 0;
  bool FClosed = false;
  bool FConnectionLost = false;
  TDBXChannelInfo FInfo{this};
};
