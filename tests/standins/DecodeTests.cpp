// What a decode does beyond the block and buffer contents (those are pinned
// by the golden file, data/lines.expected).
#include <gtest/gtest.h>

#include <string>

#include "StandinsSupport.h"

using namespace standins_test;

namespace {

TEST(Decode, MessageLengthLimits) {
  TDecodeBench bench;
  const std::string longest = "L3,061C" + std::string(2 * 249, 'A');
  ASSERT_TRUE(bench.Decode(longest));
  ASSERT_EQ(Get(bench.Sub().Buffer.Size), 251);
  EXPECT_EQ(bench.Sub().Buffer.Data[250], 0xAA);
  EXPECT_EQ(MessageIdOf(*bench.Record), 0x61C);
  EXPECT_FALSE(bench.Decode(longest + "AA"));
  EXPECT_FALSE(bench.Decode("L3,06"));
}

TEST(Decode, LeavesTheRestOfTheHeaderAlone) {
  TDecodeBench bench;
  bench.Record->LeadByte = 0x5A;
  bench.Record->TimeStamp1 = 45000.25;
  bench.Record->PositionY = 12.5;
  bench.Record->StateByte = 3;
  bench.Record->SpareByte = 4;
  bench.Record->ReportedStateByte = 5;
  const uint32_t headerWord = bench.Record->HeaderWord | 0x00ABCDEFu;  // low bits are opaque
  bench.Record->HeaderWord = headerWord;
  for (const char* line : {"L3,0307", "IDLE,62,23,41,35,41", "DED,62,23,38,36,2,1,3,5"}) {
    ASSERT_TRUE(bench.Decode(line));
    EXPECT_EQ(bench.Record->LeadByte, 0x5A) << line;
    EXPECT_EQ(Get(bench.Record->HeaderWord), headerWord) << line;
    EXPECT_EQ(Get(bench.Record->TimeStamp1), 45000.25) << line;
    EXPECT_EQ(Get(bench.Record->TimeStamp2), NoValue) << line;
    EXPECT_EQ(Get(bench.Record->PositionX), NoValue) << line;
    EXPECT_EQ(Get(bench.Record->PositionY), 12.5) << line;
    EXPECT_EQ(bench.Record->StateByte, 3) << line;
    EXPECT_EQ(bench.Record->SpareByte, 4) << line;
    EXPECT_EQ(bench.Record->ReportedStateByte, 5) << line;
  }
}

TEST(Decode, SignallingKeepsTheHostSettingAndClearsTheUpperMessageWord) {
  TDecodeBench bench;
  bench.Record->HostSetting = 7;  // as the host's SetHostSetting would leave it
  bench.Record->MessageWord = 0xFFFFFFFF;
  ASSERT_TRUE(bench.Decode("L3,0301"));
  EXPECT_EQ(bench.Record->HostSetting, 7);
  EXPECT_EQ(Get(bench.Record->MessageWord), 0x301u);
}

TEST(Decode, DecodeStateCountsDecodedAndRejectedLines) {
  TDecodeBench bench;
  ASSERT_TRUE(bench.Decode("L3,0621"));
  ASSERT_FALSE(bench.Decode("L3,062"));
  ASSERT_FALSE(bench.Decode(""));
  ASSERT_FALSE(bench.Decode("L3,0621", 11));
  ASSERT_TRUE(bench.Decode("DED,62,23,38,36,2,1,3,5"));
  EXPECT_EQ(U32(bench.DecodeState, 0), 2u);
  EXPECT_EQ(U32(bench.DecodeState, 4), 3u);

  // The counters wrap, and a null state is simply not kept.
  for (int i = 0; i < 4; ++i) bench.DecodeState[i] = 0xFF;
  ASSERT_TRUE(bench.Decode("L3,0621"));
  EXPECT_EQ(U32(bench.DecodeState, 0), 0u);
  EXPECT_EQ(U32(bench.DecodeState, 4), 3u);
  TFrame frame("L3,0622");
  EXPECT_TRUE(Gain_GSM_Test_Data(DeviceCode, frame.get(), bench.Store, nullptr));
  EXPECT_EQ(MessageIdOf(*bench.Record), 0x622);
}

}  // namespace
