#include "transport/server/connection_context.h"

namespace {

// Only a pointer to the context being served: the context itself belongs to its connection.
thread_local TDSConnectionContext* tBound = nullptr;

}  // namespace

TDSConnectionBinding::TDSConnectionBinding(TDSConnectionContext& AContext) noexcept
    : FPrevious(tBound) {
  tBound = &AContext;
}

TDSConnectionBinding::~TDSConnectionBinding() { tBound = FPrevious; }

TDSConnectionContext* TDSConnectionBinding::Current() noexcept { return tBound; }
