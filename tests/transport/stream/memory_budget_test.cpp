#include "transport/stream/memory_budget.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

TEST(MemoryBudget, DefaultIsAQuarterOfTheMachineAtMostOneGiB) {
  const std::size_t limit = TMemoryBudget::DefaultLimit();
  const auto physical = static_cast<std::size_t>(::sysconf(_SC_PHYS_PAGES)) *
                        static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  EXPECT_EQ(limit, std::min<std::size_t>(1024 * kMiB, physical / 4));
}

TEST(MemoryBudget, ChargesUpToTheLimitAndRefusesPastIt) {
  TMemoryBudget budget(10);
  const struct {
    const char* name;
    std::size_t take;
    bool ok;
    std::size_t inUse;
  } kSteps[] = {{"some", 4, true, 4},
                {"up to the limit", 6, true, 10},
                {"one past", 1, false, 10},
                {"nothing", 0, true, 10},
                {"huge", SIZE_MAX, false, 10}};
  for (const auto& s : kSteps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(budget.TryTake(s.take), s.ok);
    EXPECT_EQ(budget.InUse(), s.inUse);
  }
  EXPECT_EQ(budget.Refusals(), 2u);
  budget.Give(10);
  EXPECT_EQ(budget.InUse(), 0u);
}

TEST(MemoryBudget, AccountIsBoundByItsShareAndByTheBudget) {
  TMemoryBudget budget(100);
  TMemoryAccount first(budget, 60);
  TMemoryAccount second(budget, 60);
  EXPECT_TRUE(first.TryTake(60));
  EXPECT_FALSE(first.TryTake(1)) << "past its share";
  EXPECT_FALSE(second.TryTake(41)) << "past what the budget has left";
  EXPECT_TRUE(second.TryTake(40));
  EXPECT_EQ(budget.InUse(), 100u);
  first.Give(60);
  EXPECT_EQ(first.InUse(), 0u);
  EXPECT_EQ(budget.InUse(), 40u);
}

TEST(MemoryBudget, AccountGivesBackWhatItHeldWhenDestroyed) {
  TMemoryBudget budget(100);
  {
    TMemoryAccount account(budget, 100);
    ASSERT_TRUE(account.TryTake(70));
  }
  EXPECT_EQ(budget.InUse(), 0u);
}

TEST(MemoryReservation, GrowsShrinksAndReleases) {
  TMemoryBudget budget(100);
  const auto account = std::make_shared<TMemoryAccount>(budget, 50);
  {
    TMemoryReservation reservation(account);
    reservation.Resize(30);
    EXPECT_EQ(budget.InUse(), 30u);
    reservation.Resize(10);
    EXPECT_EQ(budget.InUse(), 10u);
    try {
      reservation.Resize(51);
      FAIL() << "no refusal";
    } catch (const TMemoryBudgetExceeded& e) {
      EXPECT_EQ(e.ErrorCode(), memory_budget_messages::kExceededCode);
      EXPECT_EQ(std::string(e.what()), memory_budget_messages::kExceeded);
    }
    EXPECT_EQ(reservation.Size(), 10u) << "a refused growth leaves the charge as it was";
    EXPECT_EQ(budget.InUse(), 10u);

    TMemoryReservation moved = std::move(reservation);
    EXPECT_EQ(moved.Size(), 10u);
    EXPECT_EQ(reservation.Size(), 0u);
    EXPECT_EQ(budget.InUse(), 10u);
    TMemoryReservation other(account);
    other.Resize(5);
    other = std::move(moved);
    EXPECT_EQ(budget.InUse(), 10u) << "the assigned-over charge is given back";
  }
  EXPECT_EQ(budget.InUse(), 0u);
  EXPECT_EQ(account->InUse(), 0u);
}

TEST(MemoryReservation, WithoutAnAccountChargesNothing) {
  TMemoryReservation reservation;
  reservation.Resize(SIZE_MAX);
  EXPECT_EQ(reservation.Size(), 0u);
}

}  // namespace
