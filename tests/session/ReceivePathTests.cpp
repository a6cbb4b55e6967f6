// From received bytes to stored records: the handshake, the session modes,
// call states, time stamps, positions at start and stop, the raw log and the
// throughput figure.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/UserMessage.h"
#include "tests/session/SessionTestSupport.h"

using namespace session_test;

namespace {

const std::string Conn = "CONN,123\\2";
const std::string Idle = "IDLE,62,23,41,35,41,60:12:30,71:5:22";
const std::string Ded = "DED,62,23,38,36,2,1,3,5";

class ReceivePath : public SessionFixture {};

TEST_F(ReceivePath, HandshakeAcceptsTheAnswerOnlyWithinFiftySeconds) {
  struct Case {
    const char* Name;
    double After;  // seconds since Connect
    std::string Bytes;
    uint8_t Mode;
    bool Connected;
  };
  const Case cases[] = {
      {"answer in time", 49.99, Conn + "\r", smIdle, true},
      {"answer after a report", 1.0, Idle + "\r" + Conn + "\r", smIdle, true},
      {"no answer yet", 1.0, Idle + "\r", smConnecting, false},
      // Day + 0.5 plus 50 s, less Day + 0.5, comes out a hair under 50 s.
      {"answer at exactly 50 s", 50.0, Conn + "\r", smIdle, false},
      {"answer too late", 50.01, Conn + "\r", smIdle, false},
      {"anything too late", 80.0, Idle + "\r", smIdle, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TProbeDecoder& d = Make();
    Clock.Now = Day + 0.5;
    d.Connect(false);
    Clock.Now += c.After * Second;
    Feed(d, c.Bytes);
    EXPECT_EQ(d.GetSessionMode(), c.Mode);
    EXPECT_EQ(d.IsConnected(), c.Connected);
  }
}

TEST_F(ReceivePath, OutsideConnectingAndTestingFramesAreOnlyCounted) {
  const std::string bytes = Conn + "\r" + Idle + "\r\n" + Ded + "\r";
  for (const uint8_t mode : {uint8_t{smClosed}, uint8_t{smIdle}, uint8_t{7}}) {
    SCOPED_TRACE(int{mode});
    TProbeDecoder& d = Make();
    d.SetSessionMode(mode);
    Clock.Now = Day + 0.5;
    d.GetThroughput();
    Feed(d, bytes);
    Clock.Now += Second;
    EXPECT_EQ(d.GetThroughput(), static_cast<int32_t>(Conn.size() + Idle.size() + Ded.size()));
    EXPECT_FALSE(d.IsConnected());
    EXPECT_FALSE(d.GetHasNewRecords());
    EXPECT_EQ(d.GetStoredRecord(0), nullptr);
    EXPECT_EQ(d.GetSessionMode(), mode);
  }
}

TEST_F(ReceivePath, CallStateFollowsTheSignallingMessages) {
  struct Case {
    std::string Line;
    uint32_t UpperBits;  // set above the identifier by the host's field store
    uint8_t Before;
    uint8_t After;
  };
  const Case cases[] = {
      {"L3,8301", 0, csIdle, csAlerting},        {"L3,0341", 0xA000, csIdle, csAlerting},
      {"L3,0307", 0, csAlerting, csConnected},   {"L3,03CF", 0x7000, csAlerting, csConnected},
      {"L3,032D", 0, csConnected, csReleased},   {"L3,060D00", 0, csReleased, csIdle},
      {"L3,0619", 0, csReleased, csIdle},        {"L3,061A", 0, csReleased, csIdle},
      {"L3,061B", 0, csReleased, csIdle},        {"L3,061C00F1100001", 0xF000, csReleased, csIdle},
      {"L3,0621", 0, csReleased, csIdle},        {"L3,0622", 0, csReleased, csIdle},
      {"L3,0624", 0, csReleased, csIdle},        {"L3,0620", 0, csReleased, csReleased},
      {"L3,0623", 0, csAlerting, csAlerting},    {"L3,0562", 0, csConnected, csConnected},
      {Idle, 0x3000, csAlerting, csAlerting},    {Ded, 0, csConnected, csConnected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Line);
    auto* store = new TFaultyFieldStore;
    store->ExtraMessageBits = c.UpperBits;
    TProbeDecoder& d = MakeTesting(store);
    d.SetCallState(c.Before);
    Feed(d, c.Line + "\r");
    ASSERT_EQ(d.GetStoredRecordCount(), 1);
    EXPECT_EQ(d.GetStoredRecord(0)->MessageWord & 0xF000u, c.UpperBits);
    EXPECT_EQ(d.GetCallState(), c.After);
    ReleaseStored(d);
  }
}

TEST_F(ReceivePath, StoredCopiesCarryTwoSeparateClockReadingsTakenAfterDecoding) {
  TProbeDecoder& d = MakeTesting();
  Port.Clock = Day + 0.25;
  Port.ClockStep = 0.001;
  Feed(d, Idle + "\rnot a report\r" + Ded + "\r");
  ASSERT_EQ(d.GetStoredRecordCount(), 2);
  EXPECT_EQ(Port.CountOf("CurrentTime"), 4) << "two readings per stored record, none for a rejected line";
  for (int32_t i = 0; i < 2; ++i) {
    const TTestDataRecord* r = d.GetStoredRecord(i);
    EXPECT_DOUBLE_EQ(Value(r->TimeStamp1), Day + 0.25 + 0.002 * i);
    EXPECT_DOUBLE_EQ(Value(r->TimeStamp2), r->TimeStamp1 + 0.001);
  }
  // Deep copies: releasing one leaves the other and the working record intact.
  EXPECT_NE(Value(d.GetStoredRecord(0)->KindData), Value(d.GetStoredRecord(1)->KindData));
  d.FreeStoredRecord(0);
  EXPECT_EQ(d.GetStoredRecord(1)->HostSetting, 1);
}

TEST_F(ReceivePath, TestStartResetsAndStopReleasesTheWaitingRecords) {
  THostStore& host = Host;
  TProbeDecoder& d = Make();
  host.InstallIn(d);
  d.ResetAndStartTest();
  EXPECT_EQ(d.LastStampedIndex(), -1);

  host.Grow(6);
  Marks.SetCount(1);
  Marks.Latest = {10.0, 20.0, Day + 0.3};
  d.NewPosition(Marks.Latest);
  EXPECT_EQ(d.LastStampedIndex(), 5);

  host.Grow(4);  // 4 of 10 now wait for the next mark
  d.StopTest();
  EXPECT_TRUE(d.GetPositionsChanged());
  EXPECT_EQ(d.LastStampedIndex(), 9);
  EXPECT_EQ(Value(host.Records[5]->PositionX), 10.0);
  for (std::size_t i = 6; i < 10; ++i) EXPECT_EQ(Value(host.Records[i]->PositionX), NoValue) << i;

  d.ReopenAndStartTest();  // keeps what was final
  EXPECT_EQ(d.LastStampedIndex(), 9);
  EXPECT_FALSE(d.GetPositionsChanged());
  d.ResetAndStartTest();
  EXPECT_EQ(d.LastStampedIndex(), -1);
}

// --- Raw log ------------------------------------------------------------------

class RawLog : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    Dir = std::filesystem::temp_directory_path() /
          ("orvik_session_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override {
    SessionFixture::TearDown();
    std::filesystem::remove_all(Dir);
  }
  static void SetName(TVirtualDecode& d, const std::string& name) {
    TByteString s(name);
    d.SetLogFileName(s.Raw());
  }
  static std::string Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::filesystem::path Dir;
};

TEST_F(RawLog, HoldsExactlyTheDecodedTestFramesEachEndedByCrLf) {
  const std::string path = (Dir / "raw.log").string();
  TProbeDecoder& d = Make();
  SetName(d, path);
  d.SetLogEnabled(true);
  Feed(d, Idle + "\r");  // closed: not decoded, not logged
  d.ResetAndStartTest();
  Feed(d, Idle + "\rIDLE,62\r\n" + "L3,8301\r" + "L3,8\x01" + "01\r");
  SetName(d, path);  // the same name again: no new file
  Feed(d, Ded + "\r");
  SetName(d, "");  // closes the file
  Feed(d, "L3,0307\r");
  EXPECT_EQ(Read(path), Idle + "\r\nL3,8301\r\n" + Ded + "\r\n");
  EXPECT_EQ(d.GetStoredRecordCount(), 4);
}

TEST_F(RawLog, LoggingNeedsAFileNameFirst) {
  std::vector<std::string> shown;
  TUserMessageSink previous =
      SetUserMessageSink([&shown](std::string_view text) { shown.emplace_back(text); });
  TProbeDecoder& d = Make();
  d.SetLogEnabled(true);
  EXPECT_FALSE(d.GetLogEnabled());
  SetName(d, (Dir / "a.log").string());
  d.SetLogEnabled(true);
  EXPECT_TRUE(d.GetLogEnabled());
  SetUserMessageSink(previous);
  EXPECT_THAT(shown, ::testing::ElementsAre("Please Set the LogFileName First !!!"));
}

// --- Throughput -----------------------------------------------------------------

TEST_F(ReceivePath, ThroughputIsFrameBytesPerSecondSinceThePreviousReading) {
  struct Case {
    const char* Name;
    int32_t Bytes;  // frame bytes between the readings
    double Days;          // time between the readings
    int32_t Expected;
  };
  const Case cases[] = {
      {"960 bytes in one second", 960, Second, 960},
      {"half rounds to even, down", 3375, 1.0 / 64, 2},  // 2.5 per second
      {"half rounds to even, up", 4725, 1.0 / 64, 4},    // 3.5 per second
      {"no time passed", 960, 0.0, 0},
      {"clock went back", 960, -Second, 0},
      {"too many per second for 32 bits", 4000, std::ldexp(1.0, -37), 0},  // one step of the clock
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TProbeDecoder& d = Make();
    Clock.Now = Day;
    EXPECT_EQ(d.GetThroughput(), 0) << "the first reading only starts the measurement";
    for (int32_t left = c.Bytes; left > 0; left -= 4000) {
      Feed(d, std::string(static_cast<std::size_t>(std::min(left, 4000)), 'x') + "\r");
    }
    Clock.Now = Day + c.Days;
    EXPECT_EQ(d.GetThroughput(), c.Expected);
    Feed(d, std::string(480, 'y') + "\r");
    Clock.Now += 0.5 * Second;
    EXPECT_EQ(d.GetThroughput(), 960) << "the next reading starts from the previous one";
  }
}

}  // namespace
