// Lines and stores the decoding library must refuse, and what refusing must
// not do: change the record, leak or release twice.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "StandinsSupport.h"
#include "host/SharedAlloc.h"

using namespace standins_test;

namespace {

std::string Neighbours(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += ",1:2:3";
  return text;
}

// A record that already holds a decoded line, so that an unchanged record is
// not merely an empty one.
class RejectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Bench.Decode("IDLE,62,23,41,35,41,60:12:30"));
    Bench.Record->HostSetting = 9;
    Before = Snapshot(*Bench.Record);
    KindData = Bench.Record->KindData;
    LiveBlocks = SharedLiveBlocks();
    BadFrees = SharedBadFrees();
  }

  void ExpectUnchanged(const std::string& what) {
    EXPECT_EQ(Get(Bench.Record->KindData), KindData) << what;
    EXPECT_EQ(Snapshot(*Bench.Record), Before) << what;
    EXPECT_EQ(SharedLiveBlocks(), LiveBlocks) << what;
    EXPECT_EQ(SharedBadFrees(), BadFrees) << what;
  }

  TDecodeBench Bench;
  std::vector<uint8_t> Before;
  void* KindData = nullptr;
  int64_t LiveBlocks = 0;
  int64_t BadFrees = 0;
};

TEST_F(RejectTest, MalformedLines) {
  const std::string lines[] = {
      // empty, truncated, extra or empty fields
      "", "IDLE", "IDLE,", "IDLE,62,23,41,35", "IDLE,62,23,41,35,41,", "IDLE,62,,41,35,41",
      "DED,62,23,38,36,2,1,3", "DED,62,23,38,36,2,1,3,5,", "L3", "L3,", "L3,0621,00", ",L3,0621",
      // values out of range or not plain decimal
      "IDLE,1024,23,41,35,41", "IDLE,62,64,41,35,41", "IDLE,62,23,64,35,41", "IDLE,62,23,41,-1000,41",
      "IDLE,62,23,41,35,1000", "IDLE,-62,23,41,35,41", "IDLE,+62,23,41,35,41", "IDLE,000062,23,41,35,41",
      "IDLE,62,23,41,-,41", "IDLE,62,23,41,--5,41", "IDLE,0x3E,23,41,35,41",
      "DED,62,23,38,36,8,1,3,5", "DED,62,23,38,36,2,8,3,5", "DED,62,23,38,36,2,1,64,5",
      "DED,62,23,38,36,2,1,3,32", "DED,62,23,38,64,2,1,3,5", "DED,62,23,38,36,2,1,-3,5",
      // neighbours: malformed, out of range, one too many
      "IDLE,62,23,41,35,41,60:12", "IDLE,62,23,41,35,41,60:12:30:1", "IDLE,62,23,41,35,41,60::30",
      "IDLE,62,23,41,35,41,1024:12:30", "IDLE,62,23,41,35,41,-1:12:30",
      "IDLE,62,23,41,35,41" + Neighbours(7), "DED,62,23,38,36,2,1,3,5" + Neighbours(7),
      // signalling: odd digit counts, bad digits, too short or too long
      "L3,061", "L3,06", "L3,0G21", "L3,06 21", "L3,06-21", "L3,0x0621", "L3,061C" + std::string(2 * 250, '0'),
      // unknown or misspelt tags, the connect answer, garbage
      "CONN,123\\2", "idle,62,23,41,35,41", "IDLE ,62,23,41,35,41", "MEAS,62,23,41,35,41", "L4,0621",
      "~~~~", ",",
      // overlong: more than 512 bytes
      "IDLE,62,23,41,35,41" + std::string(494, ' '),
  };
  for (const std::string& line : lines) {
    EXPECT_FALSE(Bench.Decode(line)) << '"' << line << '"';
    ExpectUnchanged(line);
  }
}

TEST_F(RejectTest, BytesOutsidePrintableAscii) {
  const std::string valid = "L3,0621";
  // Each byte that is not 0x20..0x7E, placed inside, before and after a valid line.
  for (int byte = 0; byte < 256; ++byte) {
    if (byte >= 0x20 && byte <= 0x7E) continue;
    const char c = static_cast<char>(byte);
    for (const std::string& line : {valid.substr(0, 4) + c + valid.substr(4), c + valid, valid + c}) {
      EXPECT_FALSE(Bench.Decode(line)) << "byte " << byte;
      ExpectUnchanged("byte " + std::to_string(byte));
    }
  }
}

TEST_F(RejectTest, WrongDeviceCodeNullFrameNullStore) {
  EXPECT_FALSE(Bench.Decode("L3,0621", 0));
  EXPECT_FALSE(Bench.Decode("L3,0621", 9));
  EXPECT_FALSE(Gain_GSM_Test_Data(DeviceCode, nullptr, Bench.Store, Bench.DecodeState));
  {
    TFrame frame("L3,0621");
    EXPECT_FALSE(Gain_GSM_Test_Data(DeviceCode, frame.get(), nullptr, Bench.DecodeState));
  }
  ExpectUnchanged("device code, null frame, null store");
}

TEST(RejectRecord, StoreWithoutAUsableRecord) {
  // Records the library must not fill: none, the constant sentinels, another
  // kind, a static one, one in the compact layout.
  TDecodeBench bench;
  bench.Store->AttachRecord(nullptr);
  EXPECT_FALSE(bench.Decode("L3,0621"));

  bench.Store->AttachRecord(const_cast<TTestDataRecord*>(NoTestData1));
  EXPECT_FALSE(bench.Decode("L3,0621"));
  bench.Store->AttachRecord(const_cast<TTestDataRecord*>(NoTestData3));
  EXPECT_FALSE(bench.Decode("L3,0621"));

  auto refused = [&](TTestDataRecord* record, const char* what) {
    const TTestDataRecord before = *record;
    const int64_t live = SharedLiveBlocks();
    bench.Store->AttachRecord(record);
    EXPECT_FALSE(bench.Decode("L3,0621")) << what;
    EXPECT_EQ(std::memcmp(&before, record, sizeof before), 0) << what;
    EXPECT_EQ(SharedLiveBlocks(), live) << what;
  };

  TTestDataRecord* phs = NewTestData(tdkPHS);
  refused(phs, "kind 4");
  FreeTestData(phs);

  TTestDataRecord* statics = NewTestData(tdkGSM);
  statics->HeaderWord |= hwStaticMark;
  refused(statics, "static mark");
  statics->HeaderWord &= ~hwStaticMark;
  FreeTestData(statics);

  TTestDataRecord* compact = NewTestData(tdkGSM);
  compact->HeaderWord |= hwCompactLayout;
  refused(compact, "compact layout");
  compact->HeaderWord &= ~hwCompactLayout;
  FreeTestData(compact);

  bench.Store->AttachRecord(bench.Record);
  EXPECT_TRUE(bench.Decode("L3,0621"));
}

TEST(DecodeMemory, RepeatedDecodesKeepOnlyTheLatestLine) {
  const int64_t baseline = SharedLiveBlocks();
  const int64_t baselineBytes = SharedLiveBytes();
  const int64_t badFrees = SharedBadFrees();
  {
    TDecodeBench bench;
    const int64_t empty = SharedLiveBlocks();  // header and sub-record
    const int64_t emptyBytes = SharedLiveBytes();
    ASSERT_EQ(empty - baseline, 2);

    struct Step {
      const char* line;
      bool decoded;
      int64_t ownedBytes;  // what the sub-record owns after a successful decode
    };
    const Step steps[] = {
        {"IDLE,62,23,41,35,41,60:12:30", true, 260},
        {"IDLE,62,23,41,35,41", true, 260},
        {"DED,62,23,38,36,2,1,3,5", true, 44},
        {"L3,061C00F1100001", true, 7},
        {"L3,0621", true, 2},
        {"L3,062", false, 0},
        {"DED,62,23,38,36,2,1,3,5", true, 44},
        {"", false, 0},
        {"IDLE,62,23,41,35,41", true, 260},
    };
    int64_t owned = 0;
    for (int round = 0; round < 50; ++round) {
      for (const Step& step : steps) {
        ASSERT_EQ(bench.Decode(step.line), step.decoded) << step.line;
        if (step.decoded) owned = step.ownedBytes;
        ASSERT_EQ(SharedLiveBlocks() - empty, owned ? 1 : 0) << step.line;
        ASSERT_EQ(SharedLiveBytes() - emptyBytes, owned) << step.line;
      }
    }
  }
  EXPECT_EQ(SharedLiveBlocks(), baseline);
  EXPECT_EQ(SharedLiveBytes(), baselineBytes);
  EXPECT_EQ(SharedBadFrees(), badFrees);
}

TEST(DecodeMemory, ReleasesWhatTheRecordOwnedBeforeTheFirstDecode) {
  // A record may arrive holding entries and tags of someone else's making;
  // the decode releases them with the rest of the old sub-record.
  const int64_t badFrees = SharedBadFrees();
  TDecodeBench bench;
  const int64_t empty = SharedLiveBlocks();
  TGSMKindData& sub = bench.Sub();
  sub.Entries.EntryCount = 2;
  sub.Entries.Entries = static_cast<TVarEntry*>(SharedAlloc(2 * sizeof(TVarEntry)));
  sub.Entries.Entries[0].Length = 3;
  sub.Entries.Entries[0].Data = static_cast<uint8_t*>(SharedAlloc(3));
  sub.Tagged.TagCount = 1;
  sub.Tagged.Tags = static_cast<uint8_t*>(SharedAlloc(1));
  sub.Tagged.Details = static_cast<uint8_t*>(SharedAlloc(TaggedDetailSize));
  sub.OptionalFlags = 1u << 4;
  sub.OptionalBlocks[4] = SharedAlloc(OptionalBlockSize(tdkGSM, 4));
  ASSERT_EQ(SharedLiveBlocks() - empty, 5);

  ASSERT_TRUE(bench.Decode("L3,0621"));
  EXPECT_EQ(SharedLiveBlocks() - empty, 1);
  EXPECT_EQ(bench.Sub().Entries.EntryCount, 0);
  EXPECT_EQ(bench.Sub().Tagged.TagCount, 0);
  EXPECT_EQ(SharedBadFrees(), badFrees);
}

}  // namespace
