// The pool of spare small blocks: whatever it hands out must be at least as
// large as the request, since a block kept after a small release comes back
// for any other request of its class.
#include "standins/sharedmm/SpareBlocks.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

TEST(SpareBlocks, HandsOutOnlyBlocksLargeEnoughForTheRequest) {
  if (!TSpareBlocks::Enabled) GTEST_SKIP() << "no blocks are held back in this build";
  // Stand-in blocks: an address per block, its heap size recorded beside it.
  std::vector<char> arena(64 * 1024);
  std::map<void*, std::size_t> heapSize;
  std::size_t next = 0;
  auto fromHeap = [&](std::size_t size) {
    void* block = &arena[next++];
    heapSize[block] = TSpareBlocks::HeapSize(size);
    return block;
  };

  auto pool = std::make_unique<TSpareBlocks>();  // too large for a small thread stack
  TSpareBlocks& spares = *pool;
  std::mt19937 rng(7316);
  int kept = 0, reused = 0;
  for (int step = 0; step < 20000; ++step) {
    const std::size_t size = 1 + rng() % (TSpareBlocks::LargestSmall + 40);
    ASSERT_GE(TSpareBlocks::HeapSize(size), size);
    if (rng() % 2) {
      void* block = spares.Take(size);
      if (!block) continue;
      ++reused;
      ASSERT_GE(heapSize.at(block), size) << "a block too small for a request of " << size;
      ASSERT_LT(heapSize.at(block), size + TSpareBlocks::Granule) << "a block from another class";
    } else if (spares.Keep(fromHeap(size), size)) {
      ++kept;
      ASSERT_LE(size, TSpareBlocks::LargestSmall) << "a large block held back";
    }
  }
  EXPECT_GT(reused, 1000) << "the pool should hand blocks back out";
  EXPECT_GT(kept, reused);
}

TEST(SpareBlocks, EachClassHoldsAtMostItsDepthAndGivesBackWhatItKept) {
  if (!TSpareBlocks::Enabled) GTEST_SKIP() << "no blocks are held back in this build";
  auto pool = std::make_unique<TSpareBlocks>();
  TSpareBlocks& spares = *pool;
  std::vector<char> arena(TSpareBlocks::Depth + 1);
  EXPECT_FALSE(spares.MayHave(48));
  for (char& b : arena) {
    const bool room = &b - arena.data() < static_cast<std::ptrdiff_t>(TSpareBlocks::Depth);
    EXPECT_EQ(spares.Keep(&b, 48), room);
  }
  EXPECT_TRUE(spares.MayHave(33)) << "same class as 48";
  EXPECT_FALSE(spares.MayHave(32));
  EXPECT_FALSE(spares.MayHave(49));
  EXPECT_FALSE(spares.MayHave(0));
  std::set<void*> back;
  while (void* b = spares.Take(40)) EXPECT_TRUE(back.insert(b).second) << "handed out twice";
  std::set<void*> kept;
  for (std::size_t i = 0; i < TSpareBlocks::Depth; ++i) kept.insert(&arena[i]);
  EXPECT_EQ(back, kept);
  EXPECT_FALSE(spares.MayHave(48));
}

// A host's batch of releases fills several classes at once: together they
// hold back no more than the budget, and a block taken out makes room again.
TEST(SpareBlocks, AllClassesTogetherHoldBackNoMoreThanTheBudget) {
  if (!TSpareBlocks::Enabled) GTEST_SKIP() << "no blocks are held back in this build";
  auto pool = std::make_unique<TSpareBlocks>();
  std::vector<char> arena(TSpareBlocks::Classes * TSpareBlocks::Depth);  // addresses only
  std::size_t next = 0, held = 0;
  for (std::size_t size = TSpareBlocks::LargestSmall; size > 0; size -= TSpareBlocks::Granule)
    for (; pool->Keep(&arena[next], size); ++next) held += size;
  EXPECT_LE(held, TSpareBlocks::HeldBytesLimit);
  EXPECT_GT(held, TSpareBlocks::HeldBytesLimit - TSpareBlocks::Granule) << "refused with room left";
  EXPECT_FALSE(pool->Keep(&arena[next], TSpareBlocks::Granule));
  ASSERT_NE(pool->Take(TSpareBlocks::LargestSmall), nullptr);
  EXPECT_TRUE(pool->Keep(&arena[next], TSpareBlocks::Granule)) << "a block taken out makes room";
}

}  // namespace
