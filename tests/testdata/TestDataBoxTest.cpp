// The box hands out records by stable index and releases a record only when
// asked, exactly once.
#include <gtest/gtest.h>

#include <limits>

#include "RecordTestSupport.h"
#include "testdata/TestDataBox.h"

namespace {

class TestDataBox : public SharedMemoryTest {};

TEST_F(TestDataBox, IndicesAreStableAndOutOfRangeReadsAsNull) {
  TTstDataBox box;
  EXPECT_EQ(box.CountRecords(), 0);
  for (int32_t index : {0, -1, 1}) EXPECT_EQ(box.GetRecord(index), nullptr) << index;

  TTestDataRecord* records[3];
  for (int32_t i = 0; i < 3; ++i) {
    records[i] = NewTestData(tdkGSM);
    EXPECT_EQ(box.AddRecord(records[i]), i);
  }
  EXPECT_EQ(box.CountRecords(), 3);
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(box.GetRecord(i), records[i]);
  for (int32_t index : {3, -1, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}) {
    EXPECT_FALSE(box.IsValidIndex(index)) << index;
    EXPECT_EQ(box.GetRecord(index), nullptr) << index;
  }
  for (auto* r : records) FreeTestData(r);
}

TEST_F(TestDataBox, ClearingOrDestroyingReleasesNoRecord) {
  TTestDataRecord* kept[2] = {NewTestData(tdkGSM), NewTestData(tdkPHS)};
  const int64_t blocks = NewBlocks();
  {
    TTstDataBox box;
    EXPECT_TRUE(box.ClearRecords());  // empty box
    EXPECT_EQ(box.CountRecords(), 0);
    box.AddRecord(kept[0]);
    box.Counter = 9;
    EXPECT_TRUE(box.ClearRecords());
    EXPECT_EQ(box.CountRecords(), 0);
    EXPECT_EQ(box.Counter, 0);
    EXPECT_EQ(box.GetRecord(0), nullptr);
    EXPECT_EQ(box.AddRecord(kept[1]), 0) << "indices start again after a clear";
    EXPECT_EQ(NewBlocks(), blocks);
  }
  EXPECT_EQ(NewBlocks(), blocks);
  for (auto* r : kept) FreeTestData(r);
}

TEST_F(TestDataBox, ReleaseRecordReleasesOnceAndLeavesANullEntry) {
  TTstDataBox box;
  for (int i = 0; i < 3; ++i) box.AddRecord(CopyTestData(NoTestData1));
  TTestDataRecord* last = box.GetRecord(2);
  const int64_t perRecord = NewBlocks() / 3;

  EXPECT_TRUE(box.ReleaseRecord(1));
  EXPECT_EQ(NewBlocks(), 2 * perRecord);
  EXPECT_EQ(box.GetRecord(1), nullptr) << "a released record must not be handed out";
  EXPECT_FALSE(box.ReleaseRecord(1)) << "a second release does nothing";
  EXPECT_EQ(NewBlocks(), 2 * perRecord);
  EXPECT_EQ(box.CountRecords(), 3) << "the item stays in the list";
  EXPECT_TRUE(box.IsValidIndex(1));
  EXPECT_EQ(box.GetRecord(2), last) << "other indices do not move";

  EXPECT_FALSE(box.ReleaseRecord(3));
  EXPECT_FALSE(box.ReleaseRecord(-1));
  EXPECT_TRUE(box.ReleaseRecord(0));
  EXPECT_TRUE(box.ReleaseRecord(2));
  EXPECT_EQ(NewBlocks(), 0);
  // The fixture checks that no release was refused as a double free.
}

TEST_F(TestDataBox, ReleaseRecordRespectsTheStaticMark) {
  TTstDataBox box;
  TTestDataRecord* r = NewTestData(tdkGSM);
  r->HeaderWord |= hwStaticMark;
  box.AddRecord(r);
  box.AddRecord(const_cast<TTestDataRecord*>(NoTestData2));
  box.ReleaseRecord(0);
  box.ReleaseRecord(1);
  EXPECT_EQ(NewBlocks(), 2) << "FreeTestData leaves marked records alone";
  r->HeaderWord &= ~hwStaticMark;
  FreeTestData(r);
}

}  // namespace
