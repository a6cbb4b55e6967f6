// The record layout is shared byte for byte with the host's libraries: the
// offsets are checked again at run time on every target the tests run on
// (native, i686 under qemu, Windows under wine), and the templates and
// sentinels byte by byte.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "RecordTestSupport.h"

namespace {

struct TOffsetCase {
  const char* Field;
  std::size_t Actual;
  std::size_t Offset32;
  std::size_t PointersBefore;
};

#define FIELD(type, member, off32, ptrs) \
  TOffsetCase { #type "." #member, offsetof(type, member), off32, ptrs }

TEST(RecordLayout, OffsetsAndSizesMatchTheExchangeFormat) {
  const TOffsetCase cases[] = {
      FIELD(TTestDataRecord, LeadByte, 0, 0),
      FIELD(TTestDataRecord, HeaderWord, 1, 0),
      FIELD(TTestDataRecord, TimeStamp1, 5, 0),
      FIELD(TTestDataRecord, TimeStamp2, 13, 0),
      FIELD(TTestDataRecord, PositionX, 21, 0),
      FIELD(TTestDataRecord, PositionY, 29, 0),
      FIELD(TTestDataRecord, StateByte, 37, 0),
      FIELD(TTestDataRecord, SpareByte, 38, 0),
      FIELD(TTestDataRecord, ReportedStateByte, 39, 0),
      FIELD(TTestDataRecord, HostSetting, 40, 0),
      FIELD(TTestDataRecord, MessageWord, 41, 0),
      FIELD(TTestDataRecord, KindData, 45, 0),
      FIELD(TVarEntry, Length, 10, 0),
      FIELD(TVarEntry, Data, 12, 0),
      FIELD(TVarEntryList, Entries, 1, 0),
      FIELD(TTaggedList, Tags, 1, 0),
      FIELD(TTaggedList, Details, 5, 1),
      FIELD(TSizedBuffer, Data, 2, 0),
      FIELD(TItem24Array, ItemData, 4, 0),
      FIELD(TGSMKindData, Entries, 6, 1),
      FIELD(TGSMKindData, Tagged, 11, 2),
      FIELD(TGSMKindData, OptionalFlags, 20, 4),
      FIELD(TGSMKindData, OptionalBlocks, 22, 4),
      FIELD(TKind1Data, Items, 4, 0),
      FIELD(TKind1Data, Buffer, 12, 1),
      FIELD(TKind1Data, Entries, 18, 2),
      FIELD(TKind1Data, Tagged, 23, 3),
      FIELD(TKind1Data, OptionalFlags, 32, 5),
      FIELD(TKind1Data, OptionalBlocks, 34, 5),
      FIELD(TKind2Data, Items, 4, 0),
      FIELD(TKind2Data, Buffer, 12, 1),
      FIELD(TKind2Data, Entries, 18, 2),
      FIELD(TKind2Data, Tagged, 23, 3),
      FIELD(TKind2Data, OptionalFlags, 32, 5),
      FIELD(TKind2Data, OptionalBlocks, 34, 5),
      FIELD(TPHSKindData, Values, 5, 1),
      FIELD(TCompactKindData, Block, 5, 1),
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.Actual, Shifted(c.Offset32, c.PointersBefore)) << c.Field;

  struct TSizeCase {
    const char* Type;
    std::size_t Actual, Size32, Pointers;
  };
  const TSizeCase sizes[] = {
      {"TTestDataRecord", sizeof(TTestDataRecord), 49, 1},
      {"TGSMKindData", sizeof(TGSMKindData), 42, 9},
      {"TKind1Data", sizeof(TKind1Data), 58, 11},
      {"TKind2Data", sizeof(TKind2Data), 70, 14},
      {"TKind3Data", sizeof(TKind3Data), 70, 14},
      {"TPHSKindData", sizeof(TPHSKindData), 25, 1},
      {"TCompactKindData", sizeof(TCompactKindData), 9, 2},
      {"TVarEntryList", sizeof(TVarEntryList), 5, 1},
      {"TVarEntry", sizeof(TVarEntry), 16, 1},
      {"TTaggedList", sizeof(TTaggedList), 9, 2},
      {"TSizedBuffer", sizeof(TSizedBuffer), 6, 1},
      {"TItem24Array", sizeof(TItem24Array), 8, 1},
  };
  for (const auto& s : sizes) EXPECT_EQ(s.Actual, Shifted(s.Size32, s.Pointers)) << s.Type;
  for (uint8_t kind = 0; kind <= 4; ++kind) EXPECT_EQ(KindDataSize(kind), ExpectedKindSize(kind)) << int(kind);
  EXPECT_EQ(KindDataSize(5), 0u);
}

class NewRecord : public SharedMemoryTest {};

TEST_F(NewRecord, CarriesTheHeaderTemplateAndTheKindsTemplateSubRecord) {
  const std::vector<uint8_t> zeros(ExpectedKindSize(tdkKind2), 0);
  for (uint8_t kind = 0; kind <= 4; ++kind) {
    SCOPED_TRACE(int(kind));
    TTestDataRecord* r = NewTestData(kind);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(NewBlocks(), 2);
    EXPECT_EQ(NewBytes(), static_cast<int64_t>(sizeof(TTestDataRecord) + ExpectedKindSize(kind)));
    EXPECT_EQ(Val(r->HeaderWord), uint32_t{kind} << 28);
    EXPECT_EQ(KindOf(*r), kind);
    EXPECT_EQ(Val(r->LeadByte), 0);
    for (double d : {double(r->TimeStamp1), double(r->TimeStamp2), double(r->PositionX), double(r->PositionY)})
      EXPECT_EQ(d, NoValue);
    EXPECT_EQ(Val(r->MessageWord), 0u);
    EXPECT_EQ(r->StateByte | r->SpareByte | r->ReportedStateByte | r->HostSetting, 0);
    ASSERT_TRUE(HasKindData(r));
    if (kind == tdkPHS) {
      const auto* phs = static_cast<const TPHSKindData*>(r->KindData);
      EXPECT_EQ(Val(phs->Entries.EntryCount), 0);
      EXPECT_EQ(Val(phs->Entries.Entries), nullptr);
      for (int i = 0; i < 5; ++i) EXPECT_EQ(Val(phs->Values[i]), -9999) << i;
    } else {
      EXPECT_EQ(std::memcmp(r->KindData, zeros.data(), ExpectedKindSize(kind)), 0);
    }
    FreeTestData(r);
    EXPECT_EQ(NewBlocks(), 0);
  }
}

TEST_F(NewRecord, UnknownKindsGiveNothing) {
  for (int kind : {5, 6, 7, 8, 255}) {
    EXPECT_EQ(NewTestData(static_cast<uint8_t>(kind)), nullptr) << kind;
    EXPECT_EQ(KindDataTemplate(static_cast<uint8_t>(kind)), nullptr) << kind;
  }
  EXPECT_EQ(NewBlocks(), 0);

  TTestDataRecord r{};
  r.LeadByte = 7;
  ResetTestData(&r, 5);  // kind above 4: left alone
  ResetTestData(nullptr, 0);
  EXPECT_EQ(Val(r.LeadByte), 7);
  EXPECT_EQ(NewBlocks(), 0);
}

// The sentinels' bytes: 45 common bytes, then a tail of their own.
TEST(Sentinels, HoldTheirFixedBytes) {
  std::array<uint8_t, 45> head{};
  head[4] = 0x80;  // HeaderWord 0x80000000
  const uint8_t minus9999[8] = {0, 0, 0, 0, 0x80, 0x87, 0xC3, 0xC0};
  for (int d = 0; d < 4; ++d) std::memcpy(head.data() + 5 + 8 * d, minus9999, 8);

  struct TCase {
    const char* Name;
    const TTestDataRecord* Record;
    std::vector<uint8_t> Tail;
  } cases[] = {
      {"NoTestData1", NoTestData1, {0, 0, 0, 0}},
      {"NoTestData2", NoTestData2, {255, 0, 0, 0, 0}},
      {"NoTestData3", NoTestData3, {0xF1, 0xD8, 0xFF, 0xFF, 0xF1, 0xD8, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.Record);
    EXPECT_EQ(std::memcmp(bytes, head.data(), head.size()), 0) << c.Name;
    EXPECT_EQ(std::memcmp(bytes + 45, c.Tail.data(), c.Tail.size()), 0) << c.Name;
    EXPECT_FALSE(IsRealTestData(c.Record)) << c.Name;
    EXPECT_FALSE(HasKindData(c.Record)) << c.Name;
  }
  EXPECT_NE(NoTestData1, NoTestData2);
  EXPECT_NE(NoTestData2, NoTestData3);
  EXPECT_FALSE(IsRealTestData(nullptr));
  EXPECT_FALSE(HasKindData(nullptr));
}

}  // namespace
