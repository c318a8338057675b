#pragma once

// Per-thread platform set-up of a connection thread. Every connection is served from its
// connect step to its disconnect step by one thread, which enters this scope at the connect
// step and leaves it at the disconnect step; platform components that need per-thread state
// (the Windows build initialised COM there) hook in here. On Linux nothing needs it, so the
// body only keeps the depth and tells an observer, which lets tests see every enter matched by
// a leave on the same thread. Callable from any thread; each call affects the calling thread
// only.

namespace platform {

void EnterThreadScope() noexcept;
void LeaveThreadScope() noexcept;

// Nesting depth of the calling thread (0 outside any scope).
int ThreadScopeDepth() noexcept;

// Told of every enter and of every leave that matched an enter, on the thread that entered or
// left.
class IThreadScopeObserver {
 public:
  virtual ~IThreadScopeObserver() = default;
  virtual void ScopeEntered() noexcept = 0;
  virtual void ScopeLeft() noexcept = 0;
};

// Sets the one observer (null: none) and returns the one it replaces. An observer must outlive
// every call that may still reach it: set it before the threads it watches start.
IThreadScopeObserver* SetThreadScopeObserver(IThreadScopeObserver* AObserver) noexcept;

}  // namespace platform
