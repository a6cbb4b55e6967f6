// Failures on the receive path and missing host objects: a failing frame
// costs only that frame, a log that cannot be written costs only log lines,
// and a decoder without a port, without data or with a bad log name goes on.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/session/SessionTestSupport.h"

using namespace session_test;

namespace {

const std::string ThreeReports = "L3,8301\rL3,0307\rL3,032D\r";

class FaultContainment : public SessionFixture {
 protected:
  static void SetName(TVirtualDecode& d, const std::string& name) {
    TByteString s(name);
    d.SetLogFileName(s.Raw());
  }
};

TEST_F(FaultContainment, AFrameWhoseHandlingThrowsIsDroppedAndTheChunkGoesOn) {
  struct Case {
    const char* Name;
    bool PortClockFails;  // else the host's field store fails
  };
  for (const Case c : {Case{"port clock", true}, Case{"field store", false}}) {
    SCOPED_TRACE(c.Name);
    auto* store = new TFaultyFieldStore;
    TProbeDecoder& d = MakeTesting(store);
    if (c.PortClockFails) {
      Port.Fault("CurrentTime").OnCall(2);  // the second record's first reading
    } else {
      store->Calls = 0;
      store->FailOnCall = 4;  // the decoder's own look at the second record
    }
    Feed(d, ThreeReports);
    EXPECT_EQ(StoredMessageWords(d), (std::vector<uint32_t>{0x301, 0x32D}));
    // The failed frame left nothing behind in the parser.
    Feed(d, "L3,0619\r");
    EXPECT_EQ(StoredMessageWords(d), (std::vector<uint32_t>{0x301, 0x32D, 0x619}));
    EXPECT_EQ(d.GetCallState(), csIdle);
    ReleaseStored(d);
    Port.Fault("CurrentTime").Never();
  }
}

TEST_F(FaultContainment, AFailingClockDuringTheHandshakeCostsOneFrame) {
  TProbeDecoder& d = Make();
  d.Connect(false);
  Clock.NowFailures = 1;
  Feed(d, "CONN,123\\2\rCONN,123\\2\r");
  EXPECT_TRUE(d.IsConnected());
  EXPECT_EQ(d.GetSessionMode(), smIdle);
}

TEST_F(FaultContainment, ALogLineThatCannotBeWrittenCostsOnlyTheLine) {
  const auto dir = std::filesystem::temp_directory_path() / "orvik_session_faults";
  std::filesystem::create_directories(dir);
  const std::string missingDir = (dir / "no such folder" / "raw.log").string();
  const std::string good = (dir / "raw.log").string();
  struct Case {
    const char* Name;
    bool CreationFails;  // else the name is cleared while logging is on
  };
  for (const Case c : {Case{"name cleared", false}, Case{"creation failed", true}}) {
    SCOPED_TRACE(c.Name);
    TProbeDecoder& d = MakeTesting();
    SetName(d, good);
    d.SetLogEnabled(true);
    if (c.CreationFails) {
      EXPECT_THROW(SetName(d, missingDir), std::ios_base::failure);
      PSharedStr name = nullptr;
      d.GetLogFileName(&name);
      EXPECT_EQ(TByteString::Adopt(name).str(), missingDir) << "the name stays set";
    } else {
      SetName(d, "");
    }
    EXPECT_TRUE(d.GetLogEnabled());
    Feed(d, ThreeReports);
    EXPECT_EQ(d.GetStoredRecordCount(), 3);
    EXPECT_EQ(Port.Writes().size(), 3 * IdleRefreshTexts.size());
    // After a failed creation nothing is open, and a new name is still taken.
    ASSERT_NO_THROW(SetName(d, good));
    Feed(d, "L3,0619\r");
    SetName(d, "");
    std::ifstream in(good, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(text, "L3,0619\r\n");
    ReleaseStored(d);
    Port.ClearCalls();
  }
  std::filesystem::remove_all(dir);
}

TEST_F(FaultContainment, NoPortAttachedMeansNothingReachesAPort) {
  auto d = MakeDecoder(nullptr, &Marks, &Clock);
  d->Connect(false);
  EXPECT_EQ(d->GetSessionMode(), smConnecting);
  d->ReopenAndStartTest();
  d->ResetAndStartTest();
  EXPECT_EQ(d->GetSessionMode(), smTesting);
  Feed(*d, "L3,8301\r");
  ASSERT_EQ(d->GetStoredRecordCount(), 1);
  EXPECT_EQ(Value(d->GetStoredRecord(0)->TimeStamp1), NoValue) << "no clock to read";
  EXPECT_EQ(d->GetCallState(), csAlerting);
  d->StopTest();
  d->Disconnect();
  EXPECT_EQ(d->GetSessionMode(), smClosed);
  ReleaseStored(*d);
}

TEST_F(FaultContainment, ReceiveBytesWithoutDataDoesNothing) {
  TProbeDecoder& d = MakeTesting();
  Clock.Now = Day;
  d.GetThroughput();
  d.ReceiveBytes(nullptr, 12, 0);
  const std::string bytes = "L3,8301\r";
  d.ReceiveBytes(bytes.data(), 0, 0);
  d.ReceiveBytes(bytes.data(), -5, 0);
  Clock.Now += Second;
  EXPECT_EQ(d.GetThroughput(), 0);
  EXPECT_EQ(d.GetStoredRecordCount(), 0);
  EXPECT_TRUE(Port.Calls().empty());
}

}  // namespace
