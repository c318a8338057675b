#pragma once

// A byte vector that grows without zeroing: its users write every byte before they read it,
// and pages never written (a read buffer waiting for a message) stay out of resident memory.

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

template <class T>
struct TDefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = TDefaultInitAllocator<U>;
  };
  template <class U>
  void construct(U* APlace) noexcept {
    ::new (static_cast<void*>(APlace)) U;
  }
  template <class U, class... TArgs>
  void construct(U* APlace, TArgs&&... AArgs) {
    ::new (static_cast<void*>(APlace)) U(std::forward<TArgs>(AArgs)...);
  }
};

using TByteBuffer = std::vector<std::uint8_t, TDefaultInitAllocator<std::uint8_t>>;
