#include "platform/sys/thread_scope.h"

#include <atomic>

namespace platform {
namespace {

thread_local int tDepth = 0;
std::atomic<IThreadScopeObserver*> gObserver{nullptr};

}  // namespace

void EnterThreadScope() noexcept {
  ++tDepth;
  if (IThreadScopeObserver* observer = gObserver.load()) observer->ScopeEntered();
}

void LeaveThreadScope() noexcept {
  if (tDepth == 0) return;  // unbalanced leave: nothing was entered on this thread
  --tDepth;
  if (IThreadScopeObserver* observer = gObserver.load()) observer->ScopeLeft();
}

int ThreadScopeDepth() noexcept { return tDepth; }

IThreadScopeObserver* SetThreadScopeObserver(IThreadScopeObserver* AObserver) noexcept {
  return gObserver.exchange(AObserver);
}

}  // namespace platform
