// The mark source accessors read the host's object afresh on every call.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "RecordTestSupport.h"
#include "host/MarkSourceAccess.h"

namespace {

class GPSMarkData : public SharedMemoryTest {};

TEST_F(GPSMarkData, ReplayFollowsTheFileNameLength) {
  TGPSMarkSource source{nullptr, nullptr, nullptr};
  EXPECT_FALSE(IsReplay(&source));
  source.ReplayFileName = SharedStrNew("r", 1);
  EXPECT_TRUE(IsReplay(&source));
  SharedStrRelease(source.ReplayFileName);
  source.ReplayFileName = nullptr;
  EXPECT_FALSE(IsReplay(&source));
  EXPECT_FALSE(IsReplay(nullptr));
}

TEST_F(GPSMarkData, MarksAreReadAfreshAndThePositionIsTheBlocksFirstTwoDoubles) {
  int32_t counter = 1;
  TPositionBlock latest{116.25, 39.5, 45123.75};
  TGPSMarkSource source{nullptr, &counter, &latest};
  EXPECT_EQ(MarkCount(&source), 1);
  TPositionBlock mark = GetLastMark(&source);
  EXPECT_EQ(std::memcmp(&mark, &latest, sizeof mark), 0);

  counter = 7;
  latest = {-1.5, 2.5, 45124.0};
  EXPECT_EQ(MarkCount(&source), 7);
  mark = GetLastMark(&source);
  const TPositionPair position = GetLastMarkPosition(&source);
  EXPECT_EQ(position.X, mark.X);
  EXPECT_EQ(position.Y, mark.Y);
  EXPECT_EQ(mark.Time, 45124.0);

  TPositionBlock other{3.0, 4.0, 5.0};
  source.LatestMark = &other;  // the host may move its block
  EXPECT_EQ(GetLastMarkPosition(&source).X, 3.0);
}

TEST_F(GPSMarkData, AbsentSourceReadsAsNoMark) {
  EXPECT_EQ(MarkCount(nullptr), 0);
  const TPositionBlock none = GetLastMark(nullptr);
  EXPECT_EQ(none.X, -9999.0);
  EXPECT_EQ(none.Y, -9999.0);
  TGPSMarkSource empty{nullptr, nullptr, nullptr};
  EXPECT_EQ(MarkCount(&empty), 0);
  EXPECT_EQ(GetLastMarkPosition(&empty).Y, -9999.0);
}

// The watcher reads the counter while the host advances it; under the
// thread sanitizer this proves the read is a proper atomic one.
TEST_F(GPSMarkData, CounterIsReadSafelyWhileTheHostWritesIt) {
  alignas(4) int32_t counter = 0;
  TGPSMarkSource source{nullptr, &counter, nullptr};
  constexpr int32_t Marks = 20000;
  std::thread host([&counter] {
    std::atomic_ref<int32_t> c(counter);
    for (int32_t i = 1; i <= Marks; ++i) c.store(i, std::memory_order_release);
  });
  int32_t last = 0;
  while (last < Marks) {
    const int32_t now = MarkCount(&source);
    ASSERT_GE(now, last) << "a mark count never goes back";
    last = now;
  }
  host.join();
}

}  // namespace
