// The stand-in's allocation failures on request, which the out-of-memory
// runs rely on, and its reuse of released blocks, which must be off whenever
// an address sanitizer watches the heap (or it would hide uses after release).
#include "standins/sharedmm/SharedMMFaults.h"
#include "standins/sharedmm/SpareBlocks.h"
#include "tests/common/SharedMemoryTest.h"

#include <gtest/gtest.h>

#include <string>

#if !defined(_WIN32)
// Present only when the AddressSanitizer runtime is linked in, whichever
// compiler built this file.
extern "C" int __asan_address_is_poisoned(const volatile void* address) __attribute__((weak));
#endif

namespace {

using SharedMMFaults = SharedMemoryTest;

struct TPlanCase {
  int64_t Nth;
  bool AndAfter;
  const char* Outcomes;  // one letter per allocation: o succeeded, x failed
};

TEST_F(SharedMMFaults, FailOnlyTheNthOrEveryAllocationFromIt) {
  const TPlanCase cases[] = {
      {0, false, "oooooo"}, {1, false, "xooooo"}, {3, false, "ooxooo"},
      {1, true, "xxxxxx"},  {4, true, "oooxxx"},  {9, true, "oooooo"},
  };
  for (const TPlanCase& c : cases) {
    SharedFailAllocations(c.Nth, c.AndAfter);
    // Each kind of allocation counts: plain, string, resize, and realloc of null.
    std::string outcomes;
    auto note = [&](bool ok) { outcomes += ok ? 'o' : 'x'; };
    void* a = SharedGetMem(24);
    note(a != nullptr);
    PSharedStr s = SharedStrNew("abc", 3);
    note(s != nullptr);
    void* b = SharedReallocMem(nullptr, 40);
    note(b != nullptr);
    void* big = SharedGetMem(5000);
    note(big != nullptr);
    // A failed resize leaves the old block the caller's.
    void* grown = SharedReallocMem(big, 9000);
    note(grown != nullptr);
    if (grown) big = grown;
    void* c6 = SharedGetMem(8);
    note(c6 != nullptr);
    const int64_t seen = SharedAllocationsSeen();
    SharedFailAllocations(0, 0);
    EXPECT_EQ(outcomes, c.Outcomes) << "nth " << c.Nth << (c.AndAfter ? " and after" : " only");
    EXPECT_EQ(seen, c.Nth > 0 ? 6 : 0) << "every allocation counts while armed";
    EXPECT_EQ(SharedAllocationsSeen(), 0);
    for (void* p : {a, b, big, c6}) SharedFreeMem(p);
    SharedStrRelease(s);
    EXPECT_EQ(NewBlocks(), 0) << "a failed allocation takes nothing";
  }
}

TEST(SharedMMSanitized, ReleasedBlocksGoBackToTheSanitizerUnderAddressChecking) {
#if defined(_WIN32)
  GTEST_SKIP() << "no address sanitizer on this system";
#else
  if (!__asan_address_is_poisoned) {
    EXPECT_TRUE(TSpareBlocks::Enabled) << "reuse is off only when an address sanitizer runs";
    GTEST_SKIP() << "not built with AddressSanitizer";
  }
  EXPECT_FALSE(TSpareBlocks::Enabled) << "this compiler's address sanitizer went unnoticed";
  // A small block is the kind the pool would keep: released, it must be
  // poisoned, so that a use after release is reported.
  for (std::size_t size : {1u, 16u, 200u}) {
    void* block = SharedGetMem(size);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(SharedFreeMem(block), 0);
    EXPECT_NE(__asan_address_is_poisoned(block), 0) << "a released block of " << size << " bytes was held back";
  }
#endif
}

}  // namespace
