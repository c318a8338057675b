#pragma once

// What one client connection carries from its connect step to its disconnect step: the session
// its current request runs in. The transport makes one per connection and hands it down the
// handler chain, which reads and sets it there. The thread serving a connection also binds the
// context for the length of a batch of requests (TDSConnectionBinding), so that the session
// manager's thread-session operations, and code called back from a server class, reach it
// without being handed it.
//
// Used by the thread serving the connection only.

#include "transport/server/session.h"

class TDSConnectionContext {
 public:
  TDSConnectionContext() = default;
  virtual ~TDSConnectionContext() = default;
  TDSConnectionContext(const TDSConnectionContext&) = delete;
  TDSConnectionContext& operator=(const TDSConnectionContext&) = delete;

  const TDSSessionPtr& Session() const { return FSession; }
  void SetSession(TDSSessionPtr ASession) { FSession = std::move(ASession); }
  void ClearSession() noexcept { FSession.reset(); }

 private:
  TDSSessionPtr FSession;
};

// Binds a context to the calling thread for the binding's lifetime; bindings nest, and the one
// made last is the thread's until it ends.
class TDSConnectionBinding {
 public:
  explicit TDSConnectionBinding(TDSConnectionContext& AContext) noexcept;
  ~TDSConnectionBinding();
  TDSConnectionBinding(const TDSConnectionBinding&) = delete;
  TDSConnectionBinding& operator=(const TDSConnectionBinding&) = delete;

  // The context bound to the calling thread; null when none is.
  static TDSConnectionContext* Current() noexcept;

 private:
  TDSConnectionContext* FPrevious;
};
