#include "transport/tcp/tcp_channel_internal.h"

namespace {

Text CurrentThreadSessionName() {
  const TDSSessionPtr session = TDSSessionManager::GetThreadSession();
  return session ? session->SessionName() : Text{};
}

}  // namespace

TDSTCPChannelInternal::TDSTCPChannelInternal(TDSTCPContextPtr AContext,
                                             TDSSessionManager& ASessionManager)
    : TDSTCPChannel(std::move(AContext), CurrentThreadSessionName),
      FSessionManager(ASessionManager) {
  // The listener holds the shared state weakly: it may run on another thread while this
  // channel is being destroyed, and then finds nothing to disconnect.
  std::weak_ptr<TState> weakState = FState;
  FEventMethod = std::make_shared<const TDSSessionEvent>(
      [weakState](TDSSessionManager&, TDSSessionEventType AEventType,
                  const TDSSessionPtr& ASession) {
        if (AEventType != TDSSessionEventType::SessionClose || !ASession) return;
        const std::shared_ptr<TState> state = weakState.lock();
        if (!state) return;
        std::lock_guard lock(state->Lock);
        if (state->ConnectionLost || state->SessionId.empty() ||
            state->SessionId != ASession->SessionName() || !state->Context) {
          return;
        }
        // Only the socket is shut down here; the owning thread sees the connection gone and
        // ends it in its own disconnect step.
        state->Context->Disconnect();
      });
  FSessionManager.AddSessionEvent(FEventMethod);
}

TDSTCPChannelInternal::~TDSTCPChannelInternal() { TDSTCPChannelInternal::Close(); }

void TDSTCPChannelInternal::Close() {
  FSessionManager.RemoveSessionEvent(FEventMethod);
  TDSTCPChannel::Close();
}
