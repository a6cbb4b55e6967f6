// Records decoded by the stand-in decoding library, read back through
// DescribeRecord: the block layout the writers rely on.
#include <gtest/gtest.h>

#include "refhost/output/RecordValues.h"
#include "tests/standins/StandinsSupport.h"

namespace {

// One line per report kind: what a writer would show of it.
std::string Show(const THostRecord& r) {
  std::string s = FormatMessageId(r.MessageId) + (r.Dedicated ? " ded" : " idle");
  if (r.Idle)
    s += " I " + std::to_string(r.Idle->Arfcn) + "/" + std::to_string(r.Idle->Bsic) + "/" +
         std::to_string(r.Idle->RxLev) + " c1=" + std::to_string(r.Idle->C1) +
         " c2=" + std::to_string(r.Idle->C2) + " nb=" + FormatNeighbours(r.Idle->Neighbours);
  if (r.DedicatedReport) {
    const TDedicatedValues& d = *r.DedicatedReport;
    s += " D " + std::to_string(d.Arfcn) + "/" + std::to_string(d.Bsic) + " lev=" +
         std::to_string(d.RxLevFull) + "," + std::to_string(d.RxLevSub) + " q=" +
         std::to_string(d.RxQualFull) + "," + std::to_string(d.RxQualSub) + " ta=" +
         std::to_string(d.TimingAdvance) + " pwr=" + std::to_string(d.TxPower) +
         " nb=" + FormatNeighbours(d.Neighbours);
  }
  if (!r.Layer3.empty()) s += " L3 " + ToHex(r.Layer3);
  return s;
}

TEST(RefhostRecordValues, DecodedLinesReadBack) {
  struct TCase {
    const char* Line;
    const char* Expected;
  } cases[] = {
      {"IDLE,62,23,41,35,41,60:12:30,71:5:22", "0x000 idle I 62/23/41 c1=35 c2=41 nb=60:12:30;71:5:22"},
      {"IDLE,1023,63,0,-999,-12", "0x000 idle I 1023/63/0 c1=-999 c2=-12 nb="},
      {"DED,62,23,38,36,2,1,3,5", "0x000 ded D 62/23 lev=38,36 q=2,1 ta=3 pwr=5 nb="},
      {"DED,512,7,63,0,7,0,63,31,1:2:3,4:5:6,7:8:9,10:11:12,13:14:15,16:17:18",
       "0x000 ded D 512/7 lev=63,0 q=7,0 ta=63 pwr=31 nb=1:2:3;4:5:6;7:8:9;10:11:12;13:14:15;16:17:18"},
      // A signalling message keeps the dedicated flag of the report before it.
      {"L3,8301", "0x301 ded L3 8301"},
      {"L3,061C00F1100001", "0x61c ded L3 061c00f1100001"},
  };
  standins_test::TDecodeBench bench;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    ASSERT_TRUE(bench.Decode(c.Line));
    EXPECT_EQ(Show(DescribeRecord(*bench.Record)), c.Expected);
  }
}

TEST(RefhostRecordValues, RecordsWithoutGsmBlocksGiveNoValues) {
  standins_test::TDecodeBench bench;
  ASSERT_TRUE(bench.Decode("IDLE,62,23,41,35,41,60:12:30"));
  TTestDataRecord record = *bench.Record;
  record.HeaderWord |= hwCompactLayout;
  EXPECT_FALSE(DescribeRecord(record).Idle);
  record = *bench.Record;
  record.HeaderWord = (record.HeaderWord & ~hwKindMask) | (uint32_t{tdkPHS} << hwKindShift);
  EXPECT_FALSE(DescribeRecord(record).Idle);
  // A neighbour count beyond what the block holds is cut to the block.
  record = *bench.Record;
  static_cast<uint8_t*>(bench.Sub().OptionalBlocks[0])[8] = 255;
  const size_t fits = (OptionalBlockSize(tdkGSM, 0) - 12) / 4;
  EXPECT_EQ(DescribeRecord(record).Idle->Neighbours.size(), fits);
}

TEST(RefhostRecordValues, TextFormsReadBackAndRefuseMalformedText) {
  uint16_t id = 0;
  EXPECT_TRUE(ParseMessageId(FormatMessageId(0x61B), id));
  EXPECT_EQ(id, 0x61B);
  for (const char* bad : {"0x", "61B", "0x1G", "0x12345", "0X61B"}) EXPECT_FALSE(ParseMessageId(bad, id)) << bad;

  std::vector<uint8_t> bytes;
  EXPECT_TRUE(FromHex("8301FFa0", bytes));
  EXPECT_EQ(ToHex(bytes), "8301ffa0");
  for (const char* bad : {"830", "83g1"}) EXPECT_FALSE(FromHex(bad, bytes)) << bad;

  std::vector<TNeighbourCell> cells;
  EXPECT_TRUE(ParseNeighbours("62:23:30;1023:63:0", cells));
  EXPECT_EQ(FormatNeighbours(cells), "62:23:30;1023:63:0");
  EXPECT_TRUE(ParseNeighbours("", cells));
  EXPECT_TRUE(cells.empty());
  for (const char* bad : {"62:23", "62:23:30;", "1024:1:1", "1:64:1", "1:1:64", "a:1:1", ";"})
    EXPECT_FALSE(ParseNeighbours(bad, cells)) << bad;

  TCallStateView state{};
  TPositionMethod method{};
  for (auto s : {TCallStateView::Idle, TCallStateView::Alerting, TCallStateView::Connected,
                 TCallStateView::Released, TCallStateView::Unknown}) {
    EXPECT_TRUE(CallStateFromName(CallStateName(s), state));
    EXPECT_EQ(state, s);
  }
  for (auto m : {TPositionMethod::None, TPositionMethod::FirstFix, TPositionMethod::Interpolated}) {
    EXPECT_TRUE(PositionMethodFromName(PositionMethodName(m), method));
    EXPECT_EQ(method, m);
  }
  EXPECT_FALSE(CallStateFromName("ringing", state));
  EXPECT_FALSE(PositionMethodFromName("guessed", method));
}

}  // namespace
