// The registry's table: a host that releases a second's records at every fix
// swings the count by thousands, and the table must not be rebuilt on each
// swing; once the count stays low it shrinks back, every answer still exact.
#include "standins/sharedmm/LiveBlockSet.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

void* Block(std::size_t i) { return reinterpret_cast<void*>(uintptr_t{0x100000} + 16 * i); }

TEST(LiveBlockSet, KeepsItsTableThroughSwingsAndShrinksOnceTheCountStaysLow) {
  // At namespace scope, as the library keeps it: the set never frees its
  // table, which stays reachable from here.
  static TLiveBlockSet set;
  std::size_t first = 0, end = 0, size = 0;  // live: blocks [first, end)
  auto swingTo = [&](std::size_t live) {
    for (; end - first < live; ++end) ASSERT_TRUE(set.Insert(Block(end), 1));
    for (; end - first > live; ++first) ASSERT_TRUE(set.Erase(Block(first), size));
  };
  swingTo(6000);
  const std::size_t grown = set.Capacity();
  for (int swing = 0; swing < 5; ++swing) {
    swingTo(200);
    EXPECT_EQ(set.Capacity(), grown) << "rebuilt on a swing";
    swingTo(6000);
  }
  for (int churn = 0; churn < 40000; ++churn) swingTo(200 + churn % 2);
  EXPECT_EQ(set.Capacity(), 4096u) << "a low count keeps a large table";
  for (std::size_t i = 0; i < end; ++i) EXPECT_EQ(set.Locate(Block(i)) != TLiveBlockSet::NotFound, i >= first) << i;
}

}  // namespace
