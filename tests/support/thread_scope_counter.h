#pragma once

// Counts the connection threads' scope enters and leaves while it lives (it is the process's
// thread-scope observer then). Declare it before the transport it watches, so that it outlives
// the transport's threads.

#include <atomic>
#include <cstdint>

#include "platform/sys/thread_scope.h"

class TThreadScopeCounter : public platform::IThreadScopeObserver {
 public:
  TThreadScopeCounter() : FPrevious(platform::SetThreadScopeObserver(this)) {}
  ~TThreadScopeCounter() override { platform::SetThreadScopeObserver(FPrevious); }
  TThreadScopeCounter(const TThreadScopeCounter&) = delete;
  TThreadScopeCounter& operator=(const TThreadScopeCounter&) = delete;

  std::uint64_t Entered() const { return FEntered.load(); }
  std::uint64_t Left() const { return FLeft.load(); }

  void ScopeEntered() noexcept override { ++FEntered; }
  void ScopeLeft() noexcept override { ++FLeft; }

 private:
  platform::IThreadScopeObserver* FPrevious;
  std::atomic<std::uint64_t> FEntered{0};
  std::atomic<std::uint64_t> FLeft{0};
};
