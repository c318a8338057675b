#pragma once

// The byte channel of one accepted TCP connection, the bottom of the connection's pipeline.
// Used by the connection's thread only, except that a closed session may disconnect it from the
// thread that closed the session (TDSTCPChannelInternal, tcp_channel_internal.h).
//
// Read blocks until at least one byte is there and returns what is there, up to Count; a peer
// that is gone raises TDBXError "Connection lost". Write sends everything or raises.

#include <functional>
#include <memory>
#include <mutex>

#include "transport/channel.h"
#include "transport/tcp/tcp_connection.h"

// Names the session the reading thread serves, empty when there is none. Given to the channel
// by whoever knows about sessions, so the byte channel itself does not.
using TDSSessionNameSource = std::function<Text()>;

class TDSTCPChannel : public TDbxChannel {
 public:
  // Without a session name source the channel records no session.
  explicit TDSTCPChannel(TDSTCPContextPtr AContext, TDSSessionNameSource ASessionName = {});
  ~TDSTCPChannel() override;

  void Open() override;
  void Close() override;
  int Read(std::span<std::uint8_t> Buffer, int Offset, int Count) override;
  int Write(std::span<const std::uint8_t> Buffer, int Offset, int Count) override;
  bool GetConnectionLost() const override;
  TDBXChannelInfo* GetChannelInfo() override { return FChannelInfo.get(); }

  // Keep-alive probes of the socket; times in milliseconds (rounded up to whole seconds, the
  // granularity of the system's settings). False when there is no connection.
  bool EnableKeepAlive(int KeepAliveTime, int KeepAliveInterval);
  void DisableKeepAlive();
  TDSTCPContext* GetConnection() const { return FState->Context.get(); }
  // Name of the session bound to this connection: what the name source gave at the first Read
  // that found one; empty until then.
  Text SessionId() const;

 protected:
  // What a session listener on another thread may look at; outlives the channel while a
  // listener call is running.
  struct TState {
    std::mutex Lock;
    Text SessionId;               // guarded by Lock
    bool ConnectionLost = false;  // guarded by Lock
    TDSTCPContextPtr Context;     // fixed at construction
  };
  std::shared_ptr<TState> FState;

 private:
  TDSSessionNameSource FSessionName;
  std::unique_ptr<TDBXSocketChannelInfo> FChannelInfo;
};
