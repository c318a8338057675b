#include "transport/tcp/tcp_channel_internal.h"

namespace {

// The name of the session the connection is serving a request in; the channel outlives no
// context it is opened on.
TDSSessionNameSource SessionNameOf(const TDSTCPContext* AContext) {
  return [AContext] {
    if (!AContext || !AContext->Session()) return Text{};
    return AContext->Session()->SessionName();
  };
}

}  // namespace

TDSTCPChannelInternal::TDSTCPChannelInternal(TDSTCPContextPtr AContext,
                                             TDSSessionManager& ASessionManager)
    : TDSTCPChannel(AContext, SessionNameOf(AContext.get())), FSessionManager(ASessionManager) {
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
