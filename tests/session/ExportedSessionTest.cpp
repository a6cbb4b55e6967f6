// One whole handset session as a host runs it, through the plug-in's exports
// and the decoder interface only, with the real clock and pauses.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/SharedMM.h"
#include "plugin/Orvik7316.h"
#include "testdata/DataAccessAPIUnit.h"
#include "tests/common/RecordingPort.h"

namespace {

void Feed(TVirtualDecode& d, const std::string& bytes) {
  d.ReceiveBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 0);
}

std::vector<std::string> Slice(const std::vector<std::string>& v, std::size_t from, std::size_t n) {
  return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n)};
}

TEST(ExportedSession, ConnectTestStoreStopDisconnectAndNothingLeft) {
  const int64_t blocks = SharedLiveBlocks();
  const int64_t badFrees = SharedBadFrees();
  const std::string logPath =
      (std::filesystem::temp_directory_path() / "orvik_session_exported.log").string();

  PSharedStr name = nullptr;
  GetDeviceName(&name);
  EXPECT_EQ(std::string(name, static_cast<std::size_t>(SharedStrLength(name))), "Orvik7316");
  SharedStrRelease(name);

  TRecordingPort port;
  port.Clock = 45292.5;
  port.ClockStep = 1.0 / 86400;
  int32_t markCounter = 0;
  TPositionBlock latest{-9999.0, -9999.0, 0.0};
  TGPSMarkSource marks{nullptr, &markCounter, &latest};

  std::unique_ptr<TVirtualDecode> base(GetDllDevice(&port, &marks));
  ASSERT_NE(base, nullptr);
  THandSetDecode& d = *HandSetDecodeOf(base.get());
  EXPECT_EQ(d.GetSessionMode(), 2);
  EXPECT_TRUE(port.Calls().empty()) << "construction leaves the port alone";

  const PSharedStr logName = SharedStrNew(logPath.data(), static_cast<int32_t>(logPath.size()));
  d.SetLogFileName(logName);
  SharedStrRelease(logName);
  d.SetLogEnabled(true);

  d.Connect(false);
  Feed(d, "CONN,123\\2\r\n");
  EXPECT_TRUE(d.IsConnected());
  EXPECT_EQ(d.GetSessionMode(), 0);
  EXPECT_EQ(d.GetThroughput(), 0);

  d.ResetAndStartTest();
  EXPECT_EQ(d.GetSessionMode(), 3);
  const std::vector<std::string> startup{"\\C", "\\V", "C", "E", "\\1", "\\3", "\\A", "9",
                                         "B",   "Q",   "T", "I", "+I",  "J",   "+J"};
  ASSERT_EQ(port.Writes().size(), 16u);
  EXPECT_EQ(port.Writes()[0], "123\\2\r\n");
  EXPECT_EQ(Slice(port.Writes(), 1, 15), startup);

  // Two chunks, the second line split between them; one line is rejected.
  Feed(d, "IDLE,62,23,41,35,41,60:12:30\rL3,83");
  Feed(d, "01\rIDLE,99999\rDED,62,23,38,36,2,1,3,5\rL3,0307\r");
  EXPECT_EQ(d.GetCallState(), 2);
  EXPECT_TRUE(d.IsDedicatedMode());
  const std::vector<std::string> refreshes = Slice(port.Writes(), 16, port.Writes().size() - 16);
  EXPECT_EQ(refreshes, (std::vector<std::string>{"1", "\\1", "\\3", "3", "E", "1", "\\1", "\\3", "3",
                                                 "E", "2", "3", "\\V", "2", "3", "\\V"}));

  ASSERT_TRUE(d.GetHasNewRecords());
  ASSERT_EQ(d.GetStoredRecordCount(), 4);
  const uint32_t messages[] = {0, 0x301, 0, 0x307};
  double lastStamp = 0.0;
  for (int32_t i = 0; i < 4; ++i) {
    const TTestDataRecord* r = d.GetStoredRecord(i);
    ASSERT_NE(r, nullptr);
    // Copies: the record is packed, its fields are not aligned.
    const uint32_t message = r->MessageWord;
    const double stamp1 = r->TimeStamp1, stamp2 = r->TimeStamp2;
    EXPECT_EQ(message, messages[i]);
    EXPECT_GT(stamp1, lastStamp);
    EXPECT_GT(stamp2, stamp1);
    lastStamp = stamp2;
    EXPECT_TRUE(d.FreeStoredRecord(i));
  }
  EXPECT_TRUE(d.ClearStoredRecords());
  EXPECT_EQ(d.GetStoredRecordCount(), 0);
  EXPECT_GT(d.GetThroughput(), 0);

  d.StopTest();
  EXPECT_EQ(d.GetSessionMode(), 0);
  d.Disconnect();
  EXPECT_EQ(d.GetSessionMode(), 2);
  d.SetLogFileName(nullptr);
  base.reset();

  std::ifstream in(logPath, std::ios::binary);
  const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(log,
            "IDLE,62,23,41,35,41,60:12:30\r\nL3,8301\r\nDED,62,23,38,36,2,1,3,5\r\nL3,0307\r\n");
  in.close();
  std::filesystem::remove(logPath);

  EXPECT_EQ(SharedLiveBlocks(), blocks);
  EXPECT_EQ(SharedBadFrees(), badFrees);
}

// Exceptions cross the boundary both ways: one the host's port throws is
// contained inside the plug-in, and one the plug-in raises reaches the host.
// (On 32-bit Windows each module unwinds with the libgcc it links; this runs
// there against the real DLL.)
TEST(ExportedSession, ExceptionsCrossTheLibraryBoundary) {
  const int64_t blocks = SharedLiveBlocks();
  TRecordingPort port;
  port.Fault("Write").Always();
  int32_t markCounter = 0;
  TPositionBlock latest{0.0, 0.0, 0.0};
  TGPSMarkSource marks{nullptr, &markCounter, &latest};
  std::unique_ptr<TVirtualDecode> base(GetDllDevice(&port, &marks));
  ASSERT_NE(base, nullptr);
  THandSetDecode& d = *HandSetDecodeOf(base.get());

  EXPECT_NO_THROW(d.SendConnectRequest(true));
  EXPECT_EQ(port.CountOf("Write"), 1);
  EXPECT_EQ(port.CountOf("Close"), 1) << "a failed write closes the port once";

  EXPECT_THROW(d.ReservedAbstractA(), EAbstractError);
  const std::string missingFolder =
      (std::filesystem::temp_directory_path() / "orvik-no-such-folder" / "x.log").string();
  const PSharedStr badName = SharedStrNew(missingFolder.data(), static_cast<int32_t>(missingFolder.size()));
  EXPECT_THROW(d.SetLogFileName(badName), std::exception);
  SharedStrRelease(badName);
  d.SetLogFileName(nullptr);
  base.reset();
  EXPECT_EQ(SharedLiveBlocks(), blocks);
}

}  // namespace
