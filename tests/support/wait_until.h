#pragma once

// Polls a condition that another thread makes true, for tests that watch figures which have
// nothing to wait on (counts, last errors): true as soon as it holds, false when ATimeout
// passed first. The condition is checked once more at the deadline, so a slow machine that
// overslept the last pause still sees it.

#include <chrono>
#include <thread>

template <class TPredicate>
bool WaitUntil(TPredicate APredicate, std::chrono::milliseconds ATimeout) {
  const auto deadline = std::chrono::steady_clock::now() + ATimeout;
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return APredicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
