// The registry's table: a host that releases a second's records at every fix
// swings the count by thousands, and the table must not be rebuilt on each
// swing; once the count stays low it shrinks back. Every answer stays exact.
#include "standins/sharedmm/LiveBlockSet.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

void* Block(std::size_t i) { return reinterpret_cast<void*>(uintptr_t{0x100000} + 16 * i); }

TEST(LiveBlockSet, KeepsItsTableThroughSwingsAndShrinksOnceTheCountStaysLow) {
  TLiveBlockSet set;
  std::size_t first = 0, end = 0;  // live: blocks [first, end)
  auto fill = [&](std::size_t to) {
    for (; end - first < to; ++end) ASSERT_TRUE(set.Insert(Block(end), end % 300 + 1));
  };
  auto drain = [&](std::size_t to) {
    for (std::size_t size = 0; end - first > to; ++first) ASSERT_TRUE(set.Erase(Block(first), size));
  };
  fill(6000);
  const std::size_t grown = set.Capacity();
  for (int swing = 0; swing < 5; ++swing) {
    drain(200);
    fill(6000);
  }
  EXPECT_EQ(set.Capacity(), grown) << "rebuilt on a swing";
  drain(200);
  for (int churn = 0; churn < 20000; ++churn) {
    fill(201);
    drain(200);
  }
  EXPECT_EQ(set.Capacity(), 4096u) << "a low count keeps a large table";
  for (std::size_t i = 0; i < end; ++i) {
    const bool live = i >= first;
    EXPECT_EQ(set.Locate(Block(i)) != TLiveBlockSet::NotFound, live) << i;
  }
  std::size_t size = 0;
  EXPECT_TRUE(set.Erase(Block(first), size));
  EXPECT_EQ(size, first % 300 + 1);
  EXPECT_EQ(set.Count(), 199u);
}

}  // namespace
