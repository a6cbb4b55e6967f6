// A test fixture that proves a test gives back exactly the shared blocks it
// took and releases nothing twice: the shared memory manager's counters must
// be where they were when the test started.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "host/SharedMM.h"

class SharedMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Blocks0 = SharedLiveBlocks();
    Bytes0 = SharedLiveBytes();
    BadFrees0 = SharedBadFrees();
  }
  void TearDown() override {
    EXPECT_EQ(SharedLiveBlocks(), Blocks0) << "shared blocks leaked or released twice";
    EXPECT_EQ(SharedLiveBytes(), Bytes0);
    EXPECT_EQ(SharedBadFrees(), BadFrees0 + ExpectedBadFrees) << "unexpected refused releases";
  }
  int64_t NewBlocks() const { return SharedLiveBlocks() - Blocks0; }
  int64_t NewBytes() const { return SharedLiveBytes() - Bytes0; }
  int64_t NewBadFrees() const { return SharedBadFrees() - BadFrees0; }

  int64_t Blocks0 = 0, Bytes0 = 0, BadFrees0 = 0;
  // Refused releases a test provokes on purpose.
  int64_t ExpectedBadFrees = 0;
};
