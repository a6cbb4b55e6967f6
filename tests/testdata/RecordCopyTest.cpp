// CopyTestData: deep for kinds 0-4 (nothing shared with the source), shallow
// for kinds 5-7, the static mark cleared only in the copy, the compact layout
// copied without reading past its 9 bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <new>
#include <set>
#include <vector>

#include "RecordTestSupport.h"
#include "host/SharedAlloc.h"

namespace {

class RecordCopy : public SharedMemoryTest {};

int64_t OwnedBytes(const TWalk& w) {
  int64_t total = sizeof(TTestDataRecord);
  for (const auto& o : w.Owned) total += static_cast<int64_t>(o.Size);
  return total;
}

TEST_F(RecordCopy, IsDeepAndOutlivesItsSource) {
  for (uint8_t kind = 0; kind <= 4; ++kind) {
    SCOPED_TRACE(int(kind));
    TTestDataRecord* source = BuildRecord(kind);
    const TWalk original = WalkRecord(source);
    const int64_t sourceBlocks = NewBlocks();

    TTestDataRecord* copy = CopyTestData(source);
    const TWalk copied = WalkRecord(copy);
    EXPECT_EQ(copied.Bytes, original.Bytes);
    EXPECT_EQ(NewBlocks(), 2 * sourceBlocks) << "one new block per owned buffer";
    EXPECT_EQ(NewBytes(), 2 * OwnedBytes(original));

    std::set<const void*> sourceBuffers;
    for (const auto& o : original.Owned) sourceBuffers.insert(o.Data);
    for (const auto& o : copied.Owned) EXPECT_EQ(sourceBuffers.count(o.Data), 0u) << "shared buffer";

    // Scribble over the source's data, then release it.
    for (const auto& o : original.Owned)
      if (o.Leaf) std::memset(const_cast<void*>(o.Data), 0xEE, o.Size);
    source->MessageWord = 0;
    FreeTestData(source);
    EXPECT_EQ(WalkRecord(copy).Bytes, original.Bytes);
    FreeTestData(copy);
  }
}

TEST_F(RecordCopy, StaticMarkIsClearedInTheCopyOnly) {
  TTestDataRecord* source = BuildRecord(tdkGSM);
  source->HeaderWord |= hwStaticMark;
  const uint32_t sourceWord = source->HeaderWord;
  TTestDataRecord* copy = CopyTestData(source);
  EXPECT_EQ(Val(copy->HeaderWord), sourceWord & ~hwStaticMark) << "other bits carried unchanged";
  EXPECT_EQ(Val(source->HeaderWord), sourceWord);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(copy) + 5, reinterpret_cast<const uint8_t*>(source) + 5,
                        offsetof(TTestDataRecord, KindData) - 5),
            0);
  FreeTestData(copy);  // a copy is releasable
  source->HeaderWord &= ~hwStaticMark;
  FreeTestData(source);
}

TEST_F(RecordCopy, MissingKindDataBecomesTheKindsTemplate) {
  for (uint8_t kind = 0; kind <= 4; ++kind) {
    SCOPED_TRACE(int(kind));
    TTestDataRecord* source = NewTestData(kind);
    SharedRelease(source->KindData);
    source->KindData = nullptr;
    TTestDataRecord* copy = CopyTestData(source);
    ASSERT_NE(Val(copy->KindData), nullptr);
    EXPECT_EQ(std::memcmp(copy->KindData, KindDataTemplate(kind), ExpectedKindSize(kind)), 0);
    FreeTestData(copy);
    FreeTestData(source);
  }
}

TEST_F(RecordCopy, SentinelsCopyAsTemplateRecords) {
  // Their bytes at +45 are no pointer; a copy must not follow them.
  for (const TTestDataRecord* sentinel : {NoTestData1, NoTestData2, NoTestData3}) {
    TTestDataRecord* copy = CopyTestData(sentinel);
    EXPECT_TRUE(IsRealTestData(copy));
    EXPECT_EQ(Val(copy->HeaderWord), 0u);
    EXPECT_EQ(Val(copy->PositionX), NoValue);
    EXPECT_EQ(NewBytes(), static_cast<int64_t>(sizeof(TTestDataRecord) + ExpectedKindSize(tdkGSM)));
    FreeTestData(copy);
  }
}

TEST_F(RecordCopy, KindsFiveToSevenShareTheirKindData) {
  void* foreign = SharedAlloc(64);
  for (uint32_t kind = 5; kind <= 7; ++kind) {
    auto* source = static_cast<TTestDataRecord*>(SharedAlloc(sizeof(TTestDataRecord)));
    source->HeaderWord = (kind << 28) | hwStaticMark;
    source->KindData = foreign;
    TTestDataRecord* copy = CopyTestData(source);
    EXPECT_EQ(Val(copy->KindData), foreign) << kind;
    EXPECT_EQ(Val(copy->HeaderWord), kind << 28);
    EXPECT_EQ(NewBlocks(), 3);
    FreeTestData(copy);
    source->HeaderWord &= ~hwStaticMark;
    FreeTestData(source);
    EXPECT_EQ(NewBlocks(), 1) << "the shared sub-record outlives both";
  }
  SharedRelease(foreign);
}

TEST_F(RecordCopy, EmptyEntriesAndNegativeCountsOwnNothingInTheCopy) {
  int garbage = 0;
  for (uint8_t kind = 1; kind <= 3; ++kind) {
    SCOPED_TRACE(int(kind));
    TTestDataRecord* source =
        BuildRecord(kind, {.Items = 0, .BufferSize = 0, .EntryLengths = {0, 2, 0}, .Tags = 0, .AllBlocks = false});
    auto* sub = static_cast<TKind2Data*>(source->KindData);  // kinds 1-3 share these fields
    sub->Items.ItemCount = std::numeric_limits<int32_t>::min();
    sub->Items.ItemData = reinterpret_cast<uint8_t*>(&garbage);
    sub->Entries.Entries[0].Data = reinterpret_cast<uint8_t*>(&garbage);
    sub->Buffer.Data = reinterpret_cast<uint8_t*>(&garbage);
    sub->Tagged.Details = reinterpret_cast<uint8_t*>(&garbage);

    TTestDataRecord* copy = CopyTestData(source);
    const auto* c = static_cast<const TKind2Data*>(copy->KindData);
    EXPECT_EQ(Val(c->Items.ItemCount), std::numeric_limits<int32_t>::min()) << "the count is carried";
    EXPECT_EQ(Val(c->Entries.EntryCount), 3);
    EXPECT_EQ(Val(c->Entries.Entries[0].Data), nullptr);
    EXPECT_EQ(Val(c->Entries.Entries[2].Data), nullptr);
    ASSERT_NE(Val(c->Entries.Entries[1].Data), nullptr);
    EXPECT_EQ(std::memcmp(c->Entries.Entries[1].Data, sub->Entries.Entries[1].Data, 2), 0);
    // What the copy does not own it does not point at either.
    EXPECT_EQ(Val(c->Items.ItemData), nullptr);
    EXPECT_EQ(Val(c->Buffer.Data), nullptr);
    EXPECT_EQ(Val(c->Tagged.Details), nullptr);
    // Header + sub-record + 3 entries + one 2-byte buffer.
    EXPECT_EQ(NewBlocks(), 2 * 4);
    FreeTestData(copy);
    FreeTestData(source);
  }
  TTestDataRecord* source = NewTestData(tdkPHS);
  static_cast<TPHSKindData*>(source->KindData)->Entries.Entries = reinterpret_cast<TVarEntry*>(&garbage);
  TTestDataRecord* copy = CopyTestData(source);
  EXPECT_EQ(Val(static_cast<const TPHSKindData*>(copy->KindData)->Entries.Entries), nullptr);
  FreeTestData(copy);
  FreeTestData(source);
}

// Every flag bit of every kind: a set bit with a block size owns exactly a
// block of that size; a bit without a block owns nothing.
TEST_F(RecordCopy, EveryOptionalBlockBitOfEveryKind) {
  const uint8_t plain[4] = {1, 2, 3, 4};
  for (uint8_t kind = 0; kind <= 3; ++kind) {
    const std::size_t slots = kind == tdkGSM ? 5 : kind == tdkKind1 ? 6 : 9;
    const std::size_t blocksAt = kind == tdkGSM ? offsetof(TGSMKindData, OptionalBlocks)
                                                : offsetof(TKind2Data, OptionalBlocks);
    const std::size_t flagsAt = kind == tdkGSM ? offsetof(TGSMKindData, OptionalFlags)
                                               : offsetof(TKind2Data, OptionalFlags);
    for (unsigned bit = 0; bit < 16; ++bit) {
      SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " bit " << bit);
      const std::size_t size = bit < 9 ? ExpectedBlockSizes[kind][bit] : 0;
      EXPECT_EQ(OptionalBlockSize(kind, bit), size);
      TTestDataRecord* source = NewTestData(kind);
      void* sub = source->KindData;
      Put<uint16_t>(sub, flagsAt, static_cast<uint16_t>(1u << bit));
      if (size > 0) Put<void*>(sub, blocksAt + bit * sizeof(void*), PatternBlock(size, static_cast<uint8_t>(bit)));
      else if (bit < slots) std::memcpy(static_cast<uint8_t*>(sub) + blocksAt + bit * sizeof(void*), plain, 4);
      const int64_t before = NewBytes();

      TTestDataRecord* copy = CopyTestData(source);
      EXPECT_EQ(NewBytes() - before, static_cast<int64_t>(sizeof(TTestDataRecord) + ExpectedKindSize(kind) + size));
      const void* copySub = copy->KindData;
      EXPECT_EQ(Get<uint16_t>(copySub, flagsAt), 1u << bit) << "flags are carried";
      if (size > 0) {
        const void* from = Get<const void*>(sub, blocksAt + bit * sizeof(void*));
        const void* to = Get<const void*>(copySub, blocksAt + bit * sizeof(void*));
        EXPECT_NE(to, from);
        EXPECT_EQ(std::memcmp(to, from, size), 0);
      } else if (bit < slots) {
        EXPECT_EQ(std::memcmp(static_cast<const uint8_t*>(copySub) + blocksAt + bit * sizeof(void*), plain, 4), 0)
            << "plain bytes are carried, not followed";
      }
      FreeTestData(copy);
      EXPECT_EQ(NewBytes(), before);
      FreeTestData(source);
      EXPECT_EQ(NewBlocks(), 0);
    }
  }
}

// The compact layout: a 9-byte sub-record whose block has a size only the
// host knows. The copy takes the sub-record and its entries and leaves the
// block out; it keeps bit 27 so that its release takes the compact path.
TEST_F(RecordCopy, CompactLayoutIsCopiedWithinItsNineBytes) {
  for (uint32_t kind : {0u, 2u, 4u, 6u}) {
    SCOPED_TRACE(kind);
    auto* source = static_cast<TTestDataRecord*>(SharedAlloc(sizeof(TTestDataRecord)));
    source->HeaderWord = (kind << 28) | hwCompactLayout | hwStaticMark;
    auto* compact = static_cast<TCompactKindData*>(SharedAlloc(sizeof(TCompactKindData)));
    compact->Entries.EntryCount = 2;
    auto* entries = static_cast<TVarEntry*>(SharedAlloc(2 * sizeof(TVarEntry)));
    entries[0].Length = 3;
    entries[0].Data = PatternBlock(3, 1);
    entries[1].Fixed[9] = 0x77;
    compact->Entries.Entries = entries;
    compact->Block = PatternBlock(300, 2);
    source->KindData = compact;
    const int64_t sourceBytes = NewBytes();

    TTestDataRecord* copy = CopyTestData(source);
    EXPECT_EQ(Val(copy->HeaderWord), (kind << 28) | hwCompactLayout);
    const auto* c = static_cast<const TCompactKindData*>(copy->KindData);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(static_cast<const void*>(c), static_cast<const void*>(compact));
    EXPECT_EQ(Val(c->Block), nullptr);
    EXPECT_EQ(Val(c->Entries.EntryCount), 2);
    EXPECT_NE(Val(c->Entries.Entries), entries);
    EXPECT_EQ(std::memcmp(c->Entries.Entries[0].Data, entries[0].Data, 3), 0);
    EXPECT_EQ(Val(c->Entries.Entries[1].Fixed[9]), 0x77);
    EXPECT_EQ(NewBytes() - sourceBytes,
              static_cast<int64_t>(sizeof(TTestDataRecord) + sizeof(TCompactKindData) + 2 * sizeof(TVarEntry) + 3));

    FreeTestData(copy);
    EXPECT_EQ(NewBytes(), sourceBytes);
    source->HeaderWord &= ~hwStaticMark;
    FreeTestData(source);  // entries, the block and the sub-record
  }
}

TEST_F(RecordCopy, CompactLayoutWithoutKindDataCopiesTheHeaderOnly) {
  auto* source = static_cast<TTestDataRecord*>(SharedAlloc(sizeof(TTestDataRecord)));
  source->HeaderWord = hwCompactLayout;
  TTestDataRecord* copy = CopyTestData(source);
  EXPECT_EQ(Val(copy->KindData), nullptr);
  EXPECT_EQ(NewBlocks(), 2);
  FreeTestData(copy);
  FreeTestData(source);
}

// On a 32-bit target, count x 24 can exceed the address space; the copy must
// fail as out of memory and give back what it had built, not truncate.
TEST_F(RecordCopy, ImpossibleItemCountFailsWithoutLeaking) {
  if (sizeof(void*) > 4) GTEST_SKIP() << "count x 24 always fits a 64-bit size";
  TTestDataRecord* source = BuildRecord(tdkKind1, {.Items = 0});
  auto* sub = static_cast<TKind1Data*>(source->KindData);
  sub->Items.ItemCount = std::numeric_limits<int32_t>::max();
  const int64_t before = NewBlocks();
  EXPECT_THROW(CopyTestData(source), std::bad_alloc);
  EXPECT_EQ(NewBlocks(), before);
  sub->Items.ItemCount = 0;
  FreeTestData(source);
}

}  // namespace
