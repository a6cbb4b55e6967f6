// The shared memory manager stand-in: its counters are what every other
// test relies on to prove that nothing leaks and nothing is released twice,
// so they are checked here first.
#include "host/SharedAlloc.h"
#include "tests/common/SharedMemoryTest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using SharedMMTest = SharedMemoryTest;

TEST_F(SharedMMTest, CountersFollowEveryBlockAndByte) {
  EXPECT_EQ(SharedGetMem(0), nullptr);
  EXPECT_EQ(NewBlocks(), 0);

  const std::size_t sizes[] = {1, 100, 4096};
  std::vector<void*> blocks;
  int64_t total = 0;
  for (std::size_t size : sizes) {
    blocks.push_back(SharedGetMem(size));
    ASSERT_NE(blocks.back(), nullptr);
    total += static_cast<int64_t>(size);
    EXPECT_EQ(NewBlocks(), static_cast<int64_t>(blocks.size()));
    EXPECT_EQ(NewBytes(), total);
  }
  EXPECT_EQ(SharedFreeMem(blocks[1]), 0);
  EXPECT_EQ(NewBlocks(), 2);
  EXPECT_EQ(NewBytes(), 1 + 4096);
  EXPECT_EQ(SharedFreeMem(blocks[0]), 0);
  EXPECT_EQ(SharedFreeMem(blocks[2]), 0);
  EXPECT_EQ(SharedFreeMem(nullptr), 0);
  EXPECT_EQ(NewBadFrees(), 0);
}

TEST_F(SharedMMTest, ReleasesOfBlocksThatAreNotLiveAreRefusedAndCounted) {
  void* block = SharedGetMem(32);
  ASSERT_NE(block, nullptr);
  int local = 0;

  EXPECT_NE(SharedFreeMem(static_cast<char*>(block) + 1), 0);  // inside a block
  EXPECT_NE(SharedFreeMem(&local), 0);                         // never allocated here
  EXPECT_EQ(NewBlocks(), 1) << "a refused release must leave the real block alone";
  EXPECT_EQ(SharedFreeMem(block), 0);
  EXPECT_NE(SharedFreeMem(block), 0);  // twice
  EXPECT_EQ(NewBadFrees(), 3);
  EXPECT_EQ(NewBlocks(), 0);
  ExpectedBadFrees = 3;
}

TEST_F(SharedMMTest, ReallocKeepsContentsAndAccounts) {
  auto* block = static_cast<uint8_t*>(SharedReallocMem(nullptr, 16));  // null allocates
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 16; ++i) block[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(NewBytes(), 16);

  block = static_cast<uint8_t*>(SharedReallocMem(block, 100000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(NewBlocks(), 1);
  EXPECT_EQ(NewBytes(), 100000);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], i + 1);

  block = static_cast<uint8_t*>(SharedReallocMem(block, 4));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(NewBytes(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(block[i], i + 1);

  EXPECT_EQ(SharedReallocMem(block, 0), nullptr);  // size 0 releases
  EXPECT_EQ(NewBlocks(), 0);
  EXPECT_EQ(SharedReallocMem(block, 8), nullptr) << "a released block cannot be resized";
  EXPECT_EQ(NewBadFrees(), 1);
  ExpectedBadFrees = 1;
  EXPECT_NE(SharedFreeMem(block), 0);  // and it is not live any more
  ExpectedBadFrees = 2;
}

TEST_F(SharedMMTest, SharedStringsHoldAnyBytesAndCountReferences) {
  const char bytes[] = {'a', '\0', '\xff', 'b'};
  PSharedStr s = SharedStrNew(bytes, 4);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SharedStrLength(s), 4);
  EXPECT_EQ(std::memcmp(s, bytes, 4), 0);
  EXPECT_EQ(s[4], '\0') << "one terminator follows the bytes";
  EXPECT_EQ(NewBlocks(), 1);

  SharedStrAddRef(s);
  SharedStrRelease(s);
  EXPECT_EQ(NewBlocks(), 1) << "one reference is still held";
  SharedStrRelease(s);
  EXPECT_EQ(NewBlocks(), 0);

  PSharedStr zeros = SharedStrNew(nullptr, 3);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(std::memcmp(zeros, "\0\0\0", 4), 0);
  SharedStrRelease(zeros);

  EXPECT_EQ(SharedStrNew(bytes, 0), nullptr);
  EXPECT_EQ(SharedStrNew(bytes, -1), nullptr);
  EXPECT_EQ(SharedStrLength(nullptr), 0);
  SharedStrAddRef(nullptr);
  SharedStrRelease(nullptr);
  EXPECT_EQ(NewBlocks(), 0);
}

TEST_F(SharedMMTest, CppWrappers) {
  EXPECT_EQ(SharedAlloc(0), nullptr);
  EXPECT_EQ(SharedAllocCopy("x", 0), nullptr);

  // Dirty a block and give it back, so that a reused block shows whether
  // SharedAlloc clears what it hands out.
  void* dirty = SharedGetMem(64);
  std::memset(dirty, 0xA5, 64);
  SharedFreeMem(dirty);
  auto* clean = static_cast<uint8_t*>(SharedAlloc(64));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(clean[i], 0) << "byte " << i;

  auto* copy = static_cast<char*>(SharedAllocCopy("hello", 5));
  EXPECT_EQ(std::memcmp(copy, "hello", 5), 0);
  EXPECT_EQ(NewBlocks(), 2);
  SharedRelease(copy);
  SharedRelease(clean);
  SharedRelease(nullptr);
  SharedRelease(clean);  // refused and counted, never thrown
  ExpectedBadFrees = 1;
}

TEST_F(SharedMMTest, ExhaustedMemoryRaisesBadAlloc) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers abort on impossible allocations";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the sanitizers abort on impossible allocations";
#endif
#endif
  const std::size_t impossible = std::numeric_limits<std::size_t>::max() - 64;
  EXPECT_EQ(SharedGetMem(impossible), nullptr);
  EXPECT_THROW(SharedAlloc(impossible), std::bad_alloc);
  EXPECT_THROW(SharedAllocCopy("x", impossible), std::bad_alloc);
  void* block = SharedGetMem(8);
  EXPECT_EQ(SharedReallocMem(block, impossible), nullptr);
  EXPECT_EQ(SharedFreeMem(block), 0) << "a failed resize leaves the old block live";
}

TEST_F(SharedMMTest, ThreadsShareOneConsistentRegistry) {
  constexpr int Threads = 4, Rounds = 2000;
  PSharedStr shared = SharedStrNew("shared", 6);
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([shared, t] {
      for (int i = 0; i < Rounds; ++i) {
        void* block = SharedGetMem(static_cast<std::size_t>(1 + (i + t) % 50));
        SharedStrAddRef(shared);
        block = SharedReallocMem(block, 64);
        SharedStrRelease(shared);
        SharedFreeMem(block);
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(NewBlocks(), 1);
  EXPECT_EQ(NewBytes(), 8 + 6 + 1);
  SharedStrRelease(shared);
}

// Thousands of blocks come and go in random order, so the registry grows,
// shrinks and closes gaps many times over; after every step each answer and
// both counters must agree with a plain map of what is live.
TEST_F(SharedMMTest, RegistryStaysExactThroughGrowthShrinkAndChurn) {
  std::mt19937 rng(7316);
  std::unordered_map<void*, std::size_t> live;
  std::vector<void*> order;  // live blocks, for picking one at random
  std::vector<void*> released;
  int64_t liveBytes = 0, refused = 0;

  auto releaseAt = [&](std::size_t i) {
    void* block = order[i];
    order[i] = order.back();
    order.pop_back();
    liveBytes -= static_cast<int64_t>(live.at(block));
    live.erase(block);
    ASSERT_EQ(SharedFreeMem(block), 0);
    released.push_back(block);
  };
  // Up to 6000 live blocks, then down to none, twice.
  for (int phase = 0; phase < 4; ++phase) {
    const bool growing = phase % 2 == 0;
    for (int step = 0; step < 9000; ++step) {
      const bool allocate = order.empty() || (growing ? rng() % 3 != 0 : rng() % 3 == 0);
      if (allocate) {
        const std::size_t size = 1 + rng() % 300;
        void* block = SharedGetMem(size);
        ASSERT_NE(block, nullptr);
        ASSERT_TRUE(live.emplace(block, size).second) << "a live address handed out twice";
        order.push_back(block);
        liveBytes += static_cast<int64_t>(size);
      } else {
        releaseAt(rng() % order.size());
      }
      if (step % 7 == 0 && !order.empty()) {
        // Inside a live block, and a released address the heap has not
        // handed out again: both refused.
        auto* inside = static_cast<char*>(order[rng() % order.size()]) + 1 + rng() % 8;
        if (!live.count(inside)) {
          ASSERT_NE(SharedFreeMem(inside), 0);
          ++refused;
        }
        void* stale = released.empty() ? nullptr : released[rng() % released.size()];
        if (stale && !live.count(stale)) {
          ASSERT_NE(SharedFreeMem(stale), 0);
          ++refused;
        }
      }
      ASSERT_EQ(NewBlocks(), static_cast<int64_t>(live.size())) << "phase " << phase << " step " << step;
      ASSERT_EQ(NewBytes(), liveBytes);
    }
    if (!growing)
      while (!order.empty()) releaseAt(order.size() - 1);
  }
  EXPECT_EQ(NewBadFrees(), refused);
  ExpectedBadFrees = refused;
}

// Threads allocate, resize and release their own blocks and hand half of
// them to a neighbour to release; the counters come out exact.
TEST_F(SharedMMTest, BlocksReleasedOnOtherThreadsKeepCountersExact) {
  constexpr int Threads = 8, Rounds = 3000;
  std::vector<std::vector<void*>> handed(Threads);
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&, t] {
      std::vector<void*> mine;
      for (int i = 0; i < Rounds; ++i) {
        void* block = SharedGetMem(static_cast<std::size_t>(1 + (i * 7 + t) % 200));
        if (i % 3 == 0) block = SharedReallocMem(block, 16);
        if (!block) ++failures;
        if (i % 2 == 0) mine.push_back(block);
        else if (SharedFreeMem(block) != 0) ++failures;
      }
      handed[t] = std::move(mine);
    });
  }
  for (auto& w : workers) w.join();
  workers.clear();
  EXPECT_EQ(NewBlocks(), int64_t{Threads} * Rounds / 2);
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&, t] {
      for (void* block : handed[(t + 1) % Threads])
        if (SharedFreeMem(block) != 0) ++failures;
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
}

// Several threads release the same blocks at once: each block is released
// exactly once and every other attempt is refused and counted.
TEST_F(SharedMMTest, RacingReleasesOfOneBlockHaveExactlyOneWinner) {
  constexpr int Threads = 4, Count = 2000;
  std::vector<void*> blocks;
  for (int i = 0; i < Count; ++i) blocks.push_back(SharedGetMem(24));
  std::atomic<int> won{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < Count; ++i)
        if (SharedFreeMem(blocks[static_cast<std::size_t>((i + t * 97) % Count)]) == 0) ++won;
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(won.load(), Count);
  EXPECT_EQ(NewBadFrees(), int64_t{Threads - 1} * Count);
  ExpectedBadFrees = int64_t{Threads - 1} * Count;
}

// Every thread holds a reference to each string and gives it back at the
// same moment as the others: the last one releases the block, exactly once.
TEST_F(SharedMMTest, ConcurrentLastReleasesFreeAStringOnce) {
  constexpr int Threads = 4, Strings = 500;
  std::vector<PSharedStr> strings;
  for (int i = 0; i < Strings; ++i) {
    strings.push_back(SharedStrNew("frame", 5));
    for (int t = 1; t < Threads; ++t) SharedStrAddRef(strings.back());
  }
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (PSharedStr s : strings) SharedStrRelease(s);
    });
  }
  go = true;
  for (auto& w : workers) w.join();
  EXPECT_EQ(NewBlocks(), 0);
}

}  // namespace
