#pragma once

// The bytes the server holds on behalf of its clients (inflated blocks, block bodies being
// received, continued texts, replies waiting to be fetched) are charged to one process-wide
// budget, and each connection's to its own share of it, so that a few hostile clients cannot
// take the machine's memory while the small requests of the others go on.
//
// TMemoryBudget is the process's total; TMemoryAccount is one connection's share of it;
// TMemoryReservation is a charge held by the object that holds the bytes, given back when it
// shrinks, is released or destroyed. Any thread (the counts are atomic); a reservation and its
// account belong to one connection and are used by its thread.
// A charge the budget or the share cannot take raises TMemoryBudgetExceeded (a TDBXError).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "transport/dbx_error.h"

class TMemoryBudget {
 public:
  explicit TMemoryBudget(std::size_t ALimit) : FLimit(ALimit) {}
  TMemoryBudget(const TMemoryBudget&) = delete;
  TMemoryBudget& operator=(const TMemoryBudget&) = delete;

  // The process's budget, DefaultLimit until the server's configuration sets another.
  static TMemoryBudget& Process();
  // A quarter of the physical memory, at most 1 GiB.
  static std::size_t DefaultLimit();

  std::size_t Limit() const { return FLimit.load(); }
  // A lower limit refuses new charges until enough is given back; charges held stay.
  void SetLimit(std::size_t ALimit) { FLimit = ALimit; }
  std::size_t InUse() const { return FInUse.load(); }
  // Charges refused since the budget was made.
  std::uint64_t Refusals() const { return FRefusals.load(); }

  bool TryTake(std::size_t ABytes);
  void Give(std::size_t ABytes) noexcept;

 private:
  std::atomic<std::size_t> FLimit;
  std::atomic<std::size_t> FInUse{0};
  std::atomic<std::uint64_t> FRefusals{0};
};

class TMemoryAccount {
 public:
  // What one connection may hold across its blocks, texts and open commands.
  static constexpr std::size_t kDefaultShare = 128 * 1024 * 1024;

  explicit TMemoryAccount(TMemoryBudget& ABudget = TMemoryBudget::Process(),
                          std::size_t AShare = kDefaultShare)
      : FBudget(ABudget), FShare(AShare) {}
  TMemoryAccount(const TMemoryAccount&) = delete;
  TMemoryAccount& operator=(const TMemoryAccount&) = delete;
  ~TMemoryAccount() { FBudget.Give(FInUse.exchange(0)); }

  std::size_t Share() const { return FShare; }
  std::size_t InUse() const { return FInUse.load(); }
  TMemoryBudget& Budget() const { return FBudget; }

  // False, charging nothing, when the share or the budget cannot take ABytes more.
  bool TryTake(std::size_t ABytes);
  void Give(std::size_t ABytes) noexcept;

 private:
  TMemoryBudget& FBudget;
  std::size_t FShare;
  std::atomic<std::size_t> FInUse{0};
};

namespace memory_budget_messages {
// Code 30 like the command level's other refusals; the request is answered with it.
inline constexpr int kExceededCode = 30;
inline constexpr std::string_view kExceeded =
    "Server memory for client requests exhausted; request refused";
}  // namespace memory_budget_messages

// Shared by the connection's objects that hold bytes (its filtered channel, reader, row buffer,
// the continuations of its commands), whichever of them goes last.
using TMemoryAccountPtr = std::shared_ptr<TMemoryAccount>;

class TMemoryBudgetExceeded : public TDBXError {
 public:
  TMemoryBudgetExceeded()
      : TDBXError(memory_budget_messages::kExceededCode, memory_budget_messages::kExceeded) {}
};

class TMemoryReservation {
 public:
  TMemoryReservation() = default;
  explicit TMemoryReservation(TMemoryAccountPtr AAccount) : FAccount(std::move(AAccount)) {}
  TMemoryReservation(TMemoryReservation&& AOther) noexcept;
  TMemoryReservation& operator=(TMemoryReservation&& AOther) noexcept;
  ~TMemoryReservation() { Release(); }

  // Charges exactly ABytes from now on: a growth the account refuses raises
  // TMemoryBudgetExceeded and leaves the charge as it was; a shrink always succeeds. Without an
  // account nothing is charged.
  void Resize(std::size_t ABytes);
  void Release() noexcept;
  std::size_t Size() const { return FSize; }

 private:
  TMemoryAccountPtr FAccount;
  std::size_t FSize = 0;
};
