#include "platform/sys/thread_scope.h"

namespace platform {
namespace {

thread_local int tDepth = 0;

}  // namespace

void EnterThreadScope() noexcept { ++tDepth; }

void LeaveThreadScope() noexcept {
  if (tDepth == 0) return;  // unbalanced leave: nothing was entered on this thread
  --tDepth;
}

int ThreadScopeDepth() noexcept { return tDepth; }

}  // namespace platform
