#include "transport/stream/memory_budget.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

TMemoryBudget& TMemoryBudget::Process() {
  static TMemoryBudget budget(DefaultLimit());
  return budget;
}

std::size_t TMemoryBudget::DefaultLimit() {
  constexpr std::size_t kCeiling = std::size_t{1} << 30;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return kCeiling;
  const std::size_t physical = static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize);
  return std::min(kCeiling, physical / 4);
}

bool TMemoryBudget::TryTake(std::size_t ABytes) {
  std::size_t used = FInUse.load();
  do {
    if (ABytes > FLimit.load() || used > FLimit.load() - ABytes) {
      ++FRefusals;
      return false;
    }
  } while (!FInUse.compare_exchange_weak(used, used + ABytes));
  return true;
}

void TMemoryBudget::Give(std::size_t ABytes) noexcept { FInUse.fetch_sub(ABytes); }

bool TMemoryAccount::TryTake(std::size_t ABytes) {
  // The share is touched by the connection's thread only, so check-then-add cannot race.
  if (ABytes > FShare || FInUse.load() > FShare - ABytes) return false;
  if (!FBudget.TryTake(ABytes)) return false;
  FInUse += ABytes;
  return true;
}

void TMemoryAccount::Give(std::size_t ABytes) noexcept {
  FInUse -= ABytes;
  FBudget.Give(ABytes);
}

TMemoryReservation::TMemoryReservation(TMemoryReservation&& AOther) noexcept
    : FAccount(std::move(AOther.FAccount)), FSize(std::exchange(AOther.FSize, 0)) {}

TMemoryReservation& TMemoryReservation::operator=(TMemoryReservation&& AOther) noexcept {
  if (this != &AOther) {
    Release();
    FAccount = std::move(AOther.FAccount);
    FSize = std::exchange(AOther.FSize, 0);
  }
  return *this;
}

void TMemoryReservation::Resize(std::size_t ABytes) {
  if (!FAccount) return;
  if (ABytes > FSize) {
    if (!FAccount->TryTake(ABytes - FSize)) throw TMemoryBudgetExceeded();
  } else {
    FAccount->Give(FSize - ABytes);
  }
  FSize = ABytes;
}

void TMemoryReservation::Release() noexcept {
  if (FAccount && FSize > 0) FAccount->Give(FSize);
  FSize = 0;
}
