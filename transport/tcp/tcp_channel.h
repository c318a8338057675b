#pragma once

// The byte channel of one accepted TCP connection, the bottom of the connection's pipeline.
// Used by the connection's thread only, except that a closed session may disconnect it from the
// thread that closed the session (TDSTCPChannelInternal).
//
// Read blocks until at least one byte is there and returns what is there, up to Count; a peer
// that is gone raises TDBXError "Connection lost". Write sends everything or raises.

#include <memory>
#include <mutex>

#include "transport/server/session_manager.h"
#include "transport/tcp/channel.h"
#include "transport/tcp/tcp_connection.h"

class TDSTCPChannel : public TDbxChannel {
 public:
  explicit TDSTCPChannel(TDSTCPContextPtr AContext);
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
  // Name of the session bound to this connection; empty until the first Read.
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
  std::unique_ptr<TDBXSocketChannelInfo> FChannelInfo;
};

// The channel the transport makes for an accepted connection: it also listens to the session
// manager and disconnects its client when the session it recorded is closed.
class TDSTCPChannelInternal : public TDSTCPChannel {
 public:
  TDSTCPChannelInternal(TDSTCPContextPtr AContext, TDSSessionManager& ASessionManager);
  ~TDSTCPChannelInternal() override;

  void Close() override;

 private:
  TDSSessionManager& FSessionManager;
  TDSSessionListener FEventMethod;
};
