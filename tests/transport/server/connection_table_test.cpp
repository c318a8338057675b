#include "transport/server/connection_table.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectionTable, SlotZeroIsNeverUsedAndLowestEmptySlotIsTaken) {
  TDSConnectionTable<int> table;
  int handlers[12] = {};
  EXPECT_EQ(table.SlotCount(), 10u);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(table.Add(&handlers[i]), i + 1);
  EXPECT_EQ(table.At(0), nullptr);

  table.Remove(&handlers[2]);  // slot 3
  table.Remove(&handlers[4]);  // slot 5
  EXPECT_EQ(table.Add(&handlers[9]), 3);
  EXPECT_EQ(table.Add(&handlers[10]), 5);
  EXPECT_EQ(table.At(3), &handlers[9]);
}

TEST(ConnectionTable, FullTableGrowsByThirtyTwoAndTakesFirstSlotPastTheOldEnd) {
  TDSConnectionTable<int> table;
  std::vector<int> handlers(45);
  for (int i = 0; i < 9; ++i) table.Add(&handlers[i]);
  EXPECT_EQ(table.Add(&handlers[9]), 10);
  EXPECT_EQ(table.SlotCount(), 42u);
  for (int i = 10; i < 41; ++i) EXPECT_EQ(table.Add(&handlers[i]), i + 1);
  EXPECT_EQ(table.Add(&handlers[41]), 42);
  EXPECT_EQ(table.SlotCount(), 74u);
}

TEST(ConnectionTable, RemoveEmptiesOnlyTheFirstSlotHoldingTheHandler) {
  TDSConnectionTable<int> table;
  int twice = 0, other = 0;
  EXPECT_EQ(table.Add(&twice), 1);
  EXPECT_EQ(table.Add(&other), 2);
  EXPECT_EQ(table.Add(&twice), 3);
  table.Remove(&twice);
  EXPECT_EQ(table.At(1), nullptr);
  EXPECT_EQ(table.At(3), &twice);
  int unknown = 0;
  table.Remove(&unknown);
  EXPECT_EQ(table.At(2), &other);
  EXPECT_EQ(table.At(-1), nullptr);
  EXPECT_EQ(table.At(1000), nullptr);
}

}  // namespace
