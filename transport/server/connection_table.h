#pragma once

// The transport's table of connection handlers. A slot number is the connection's handle:
// slot 0 is never used, registration takes the lowest empty slot from 1 upward, and a full table
// grows by 32 slots. Guarded: connect and disconnect steps of different connections register
// and remove at the same time.

#include <algorithm>
#include <mutex>
#include <vector>

template <class THandler>
class TDSConnectionTable {
 public:
  static constexpr std::size_t kInitialSlots = 10;
  static constexpr std::size_t kGrowth = 32;

  int Add(THandler* AHandler) {
    std::lock_guard lock(FLock);
    for (std::size_t slot = 1; slot < FSlots.size(); ++slot) {
      if (FSlots[slot] == nullptr) {
        FSlots[slot] = AHandler;
        return static_cast<int>(slot);
      }
    }
    const std::size_t slot = FSlots.size();
    FSlots.resize(FSlots.size() + kGrowth, nullptr);
    FSlots[slot] = AHandler;
    return static_cast<int>(slot);
  }

  // Empties the first slot that holds AHandler.
  void Remove(const THandler* AHandler) {
    std::lock_guard lock(FLock);
    const auto found = std::find(FSlots.begin() + 1, FSlots.end(), AHandler);
    if (found != FSlots.end()) *found = nullptr;
  }

  THandler* At(int ASlot) const {
    std::lock_guard lock(FLock);
    return ASlot > 0 && static_cast<std::size_t>(ASlot) < FSlots.size() ? FSlots[ASlot] : nullptr;
  }

  std::size_t SlotCount() const {
    std::lock_guard lock(FLock);
    return FSlots.size();
  }

 private:
  mutable std::mutex FLock;
  std::vector<THandler*> FSlots =
      std::vector<THandler*>(kInitialSlots, nullptr);  // guarded by FLock
};
