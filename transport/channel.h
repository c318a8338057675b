#pragma once

// The abstract byte channel that every layer above the socket sees. The TCP channel and the
// filtered channel are its two kinds on the server; tests use in-memory channels.
//
// Read copies at most Count bytes into Buffer at Offset and returns the number copied;
// Write sends Count bytes of Buffer from Offset and returns the number written. Both keep the
// count / -1 contract of the byte level; failures that must end the connection are thrown as
// TDBXError. A channel is used by its connection's thread only.

#include <cstdint>
#include <memory>
#include <span>

#include "platform/text.h"
#include "transport/stream/memory_budget.h"

// Identity of a connection, opaque to the upper layers.
class TDBXChannelInfo {
 public:
  explicit TDBXChannelInfo(const void* AId = nullptr) : FId(AId) {}
  virtual ~TDBXChannelInfo() = default;
  const void* Id() const { return FId; }
  virtual Text GetInfo() const { return {}; }

 private:
  const void* FId;
};

struct TDBXClientInfo {
  Text IpAddress;
  Text ClientPort;
  Text Protocol;
  Text AppName;
};

class TDBXSocketChannelInfo : public TDBXChannelInfo {
 public:
  TDBXSocketChannelInfo(const void* AId, Text AInfo)
      : TDBXChannelInfo(AId), FInfo(std::move(AInfo)) {}
  Text GetInfo() const override { return FInfo; }
  TDBXClientInfo ClientInfo;

 private:
  Text FInfo;
};

class TDbxChannel {
 public:
  virtual ~TDbxChannel() = default;

  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) = 0;
  virtual int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) = 0;
  virtual bool GetConnectionLost() const { return false; }
  virtual TDBXChannelInfo* GetChannelInfo() = 0;
  // Bytes already received and held by the channel itself (decoded ahead of the reader), which
  // a wait on the socket would not announce.
  virtual bool HasLeftover() const { return false; }
  // The connection's share of the process's memory budget, which everything of the connection
  // that holds a client's bytes charges; none for a channel that keeps no such account.
  virtual TMemoryAccountPtr MemoryAccount() const { return nullptr; }
};

using TDbxChannelPtr = std::unique_ptr<TDbxChannel>;
