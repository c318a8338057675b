#pragma once

// The channel the TCP transport makes for an accepted connection: a TCP channel that records
// the session of the thread that reads it and listens to the session manager, disconnecting
// its client when that session is closed (from whichever thread closes it).

#include "transport/server/session_manager.h"
#include "transport/tcp/tcp_channel.h"

class TDSTCPChannelInternal : public TDSTCPChannel {
 public:
  TDSTCPChannelInternal(TDSTCPContextPtr AContext, TDSSessionManager& ASessionManager);
  ~TDSTCPChannelInternal() override;

  void Close() override;

 private:
  TDSSessionManager& FSessionManager;
  TDSSessionListener FEventMethod;
};
