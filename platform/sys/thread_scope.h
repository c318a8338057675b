#pragma once

// Per-thread platform set-up of a connection thread. Every connection is served from its
// connect step to its disconnect step by one thread, which enters this scope at the connect
// step and leaves it at the disconnect step; platform components that need per-thread state
// (the Windows build initialised COM there) hook in here. On Linux nothing needs it, so the
// body only keeps the depth, which anyone on the thread may read. Callable from any thread;
// each call affects the calling thread only.

namespace platform {

void EnterThreadScope() noexcept;
void LeaveThreadScope() noexcept;

// Nesting depth of the calling thread (0 outside any scope).
int ThreadScopeDepth() noexcept;

}  // namespace platform
