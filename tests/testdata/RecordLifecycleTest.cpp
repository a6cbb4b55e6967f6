// Release rules: what FreeTestData and FreeKindData release, and everything
// they must leave alone. The fixture proves each test gives back exactly the
// blocks it took and that no release was refused as a double free.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "RecordTestSupport.h"
#include "host/SharedAlloc.h"

namespace {

class RecordRelease : public SharedMemoryTest {};

TEST_F(RecordRelease, NullSentinelsAndStaticMarkAreLeftAlone) {
  FreeTestData(nullptr);
  FreeKindData(nullptr);
  for (const TTestDataRecord* sentinel : {NoTestData1, NoTestData2, NoTestData3}) {
    std::vector<uint8_t> before(reinterpret_cast<const uint8_t*>(sentinel),
                                reinterpret_cast<const uint8_t*>(sentinel) + sizeof(TTestDataRecord));
    FreeTestData(const_cast<TTestDataRecord*>(sentinel));
    FreeKindData(const_cast<TTestDataRecord*>(sentinel));
    EXPECT_EQ(std::memcmp(sentinel, before.data(), before.size()), 0);
  }

  TTestDataRecord* r = BuildRecord(tdkGSM);
  const int64_t blocks = NewBlocks();
  r->HeaderWord |= hwStaticMark;
  FreeTestData(r);
  FreeKindData(r);
  EXPECT_EQ(NewBlocks(), blocks);
  EXPECT_NE(Val(r->KindData), nullptr);
  r->HeaderWord &= ~hwStaticMark;
  FreeTestData(r);
}

TEST_F(RecordRelease, SentinelBytesOnTheHeapAreAnOrdinaryRecord) {
  // Recognised by address only: the same bytes elsewhere are a real record.
  auto* r = static_cast<TTestDataRecord*>(SharedAllocCopy(NoTestData1, sizeof(TTestDataRecord)));
  EXPECT_TRUE(IsRealTestData(r));
  FreeTestData(r);  // still carries the static mark
  EXPECT_EQ(NewBlocks(), 1);
  r->HeaderWord = 0;
  FreeTestData(r);
}

TEST_F(RecordRelease, NullKindDataReleasesOnlyTheHeader) {
  TTestDataRecord* r = NewTestData(tdkKind2);
  void* sub = r->KindData;
  r->KindData = nullptr;
  EXPECT_TRUE(IsRealTestData(r));
  EXPECT_FALSE(HasKindData(r));
  FreeTestData(r);
  EXPECT_EQ(NewBlocks(), 1);
  EXPECT_EQ(NewBytes(), static_cast<int64_t>(ExpectedKindSize(tdkKind2)));
  SharedRelease(sub);
}

TEST_F(RecordRelease, FreeKindDataLeavesNoDanglingPointer) {
  TTestDataRecord* r = BuildRecord(tdkKind1);
  FreeKindData(r);
  EXPECT_EQ(Val(r->KindData), nullptr);
  EXPECT_EQ(NewBlocks(), 1);
  FreeKindData(r);  // nothing left to release
  FreeTestData(r);
}

TEST_F(RecordRelease, KindsFiveToSevenReleaseOnlyTheirHeader) {
  void* foreign = SharedAlloc(100);
  for (uint32_t kind = 5; kind <= 7; ++kind) {
    TTestDataRecord* r = NewTestData(tdkGSM);
    SharedRelease(r->KindData);
    r->KindData = foreign;
    r->HeaderWord = kind << 28;
    FreeTestData(r);
    EXPECT_EQ(NewBlocks(), 1) << kind;
  }
  SharedRelease(foreign);
}

// Counts and sizes decide ownership: a pointer behind a zero or negative
// count, a zero length or a clear flag is garbage and must never be released.
TEST_F(RecordRelease, PointersBehindEmptyCountsAreNeverFollowed) {
  int garbage = 0;
  for (uint8_t kind = 1; kind <= 3; ++kind) {
    SCOPED_TRACE(int(kind));
    TTestDataRecord* r = BuildRecord(kind, {.Items = 0, .BufferSize = 0, .EntryLengths = {4, 0}, .Tags = 0,
                                            .AllBlocks = false});
    auto* sub = static_cast<TKind2Data*>(r->KindData);  // kinds 1-3 share these fields
    sub->Items.ItemCount = -5;
    sub->Items.ItemData = reinterpret_cast<uint8_t*>(&garbage);
    sub->Buffer.Data = reinterpret_cast<uint8_t*>(&garbage);
    sub->Tagged.Tags = reinterpret_cast<uint8_t*>(&garbage);
    sub->Tagged.Details = reinterpret_cast<uint8_t*>(&garbage);
    sub->Entries.Entries[1].Data = reinterpret_cast<uint8_t*>(&garbage);
    Put<void*>(sub, offsetof(TKind2Data, OptionalBlocks), &garbage);  // bit 0 clear
    FreeTestData(r);
    EXPECT_EQ(NewBlocks(), 0);
  }
  TTestDataRecord* r = NewTestData(tdkPHS);
  auto* phs = static_cast<TPHSKindData*>(r->KindData);
  phs->Entries.Entries = reinterpret_cast<TVarEntry*>(&garbage);  // count 0
  FreeTestData(r);
}

}  // namespace
