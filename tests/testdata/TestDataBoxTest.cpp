// The box hands out records by stable index and never releases one.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

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

TEST_F(TestDataBox, ForgetRecordClearsEntriesAndReleasesNothing) {
  TTestDataRecord* records[3] = {NewTestData(tdkGSM), NewTestData(tdkGSM), NewTestData(tdkGSM)};
  TTstDataBox box;
  for (auto* r : records) box.AddRecord(r);
  box.AddRecord(records[0]);  // the same record twice
  const int64_t blocks = NewBlocks();
  struct {
    const TTestDataRecord* Record;
    int32_t Index;
    int32_t Cleared;
    const char* Left;  // per entry: record number, or '-' for a cleared one
  } const steps[] = {
      {records[1], 1, 1, "0120"},  // the entry at the index
      {records[1], 1, 0, "0-20"},  // already forgotten
      {nullptr, 2, 0, "0-20"},
      {records[0], 2, 2, "0-20"},  // not at the index: every entry holding it
      {records[2], 7, 1, "--2-"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.Left);
    std::string before;
    for (int32_t i = 0; i < box.CountRecords(); ++i) {
      const TTestDataRecord* r = box.GetRecord(i);
      before += r == nullptr ? '-' : static_cast<char>('0' + (std::find(records, records + 3, r) - records));
    }
    EXPECT_EQ(before, step.Left);
    EXPECT_EQ(box.ForgetRecord(step.Record, step.Index), step.Cleared);
  }
  EXPECT_EQ(box.CountRecords(), 4) << "items stay in the list";
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(box.GetRecord(i), nullptr);
  EXPECT_EQ(NewBlocks(), blocks) << "forgetting released a record";
  for (auto* r : records) FreeTestData(r);
}

}  // namespace
