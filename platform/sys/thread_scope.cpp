#include "platform/sys/thread_scope.h"

#include <atomic>

namespace platform {
namespace {

thread_local int tDepth = 0;
std::atomic<std::uint64_t> gEntered{0};
std::atomic<std::uint64_t> gLeft{0};

}  // namespace

void EnterThreadScope() noexcept {
  ++tDepth;
  gEntered.fetch_add(1, std::memory_order_relaxed);
}

void LeaveThreadScope() noexcept {
  if (tDepth == 0) return;  // unbalanced leave: nothing was entered on this thread
  --tDepth;
  gLeft.fetch_add(1, std::memory_order_relaxed);
}

int ThreadScopeDepth() noexcept { return tDepth; }
std::uint64_t ThreadScopesEntered() noexcept { return gEntered.load(); }
std::uint64_t ThreadScopesLeft() noexcept { return gLeft.load(); }

}  // namespace platform
