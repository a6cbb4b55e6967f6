// Records decoded by the stand-in decoding library, read back through
// DescribeRecord: the block layout the writers rely on.
#include <gtest/gtest.h>

#include "tests/refhost_output/RecordText.h"
#include "tests/standins/StandinsSupport.h"

namespace {

using output_test::ValuesText;

TEST(RefhostRecordValues, DecodedLinesReadBack) {
  struct TCase {
    const char* Line;
    const char* Expected;
  } cases[] = {
      {"IDLE,62,23,41,35,41,60:12:30,71:5:22", "0x000 idle I 62,23,41,35,41 nb=60:12:30;71:5:22"},
      {"IDLE,1023,63,0,-999,-12", "0x000 idle I 1023,63,0,-999,-12 nb="},
      {"DED,62,23,38,36,2,1,3,5", "0x000 ded D 62,23,38,36,2,1,3,5 nb="},
      {"DED,512,7,63,0,7,0,63,31,1:2:3,4:5:6,7:8:9,10:11:12,13:14:15,16:17:18",
       "0x000 ded D 512,7,63,0,7,0,63,31 nb=1:2:3;4:5:6;7:8:9;10:11:12;13:14:15;16:17:18"},
      // A signalling message keeps the dedicated flag of the report before it.
      {"L3,8301", "0x301 ded L3 8301"},
      {"L3,061C00F1100001", "0x61c ded L3 061c00f1100001"},
  };
  standins_test::TDecodeBench bench;
  for (const auto& c : cases) {
    ASSERT_TRUE(bench.Decode(c.Line)) << c.Line;
    EXPECT_EQ(ValuesText(DescribeRecord(*bench.Record)), c.Expected) << c.Line;
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
  // A neighbour count beyond what a report holds is cut to six, the most
  // the outputs' readers take.
  static_cast<uint8_t*>(bench.Sub().OptionalBlocks[0])[8] = 255;
  EXPECT_EQ(DescribeRecord(*bench.Record).Idle->Neighbours.size(), 6u);
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
}

}  // namespace
