#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/SendText.h"
#include "tests/common/RecordingPort.h"

namespace {

TEST(SendText, AbsentPortOrEmptyTextTouchesNothing) {
  EXPECT_NO_THROW(SendText(nullptr, "\\C"));
  TRecordingPort port;
  port.Fault("Write").Always();
  SendText(&port, "");
  SendText(&port, std::string_view{});
  EXPECT_TRUE(port.Calls().empty());
}

TEST(SendText, WritesTheBytesOnceWithTheirCount) {
  TRecordingPort port;
  const std::string binary("1\0\xFF\r\n", 5);
  SendText(&port, "123\\2\r\n");
  SendText(&port, binary);
  EXPECT_EQ(port.Calls(), (std::vector<TPortCall>{{"Write", "123\\2\r\n", 7, false}, {"Write", binary, 5, false}}));
}

TEST(SendText, FailedWriteClosesThePortOnceAndGoesNoFurther) {
  for (bool nonStandard : {false, true}) {
    TRecordingPort port;
    port.Opened = true;
    port.Fault("Write").Always();
    port.Fault("Write").NonStandard = nonStandard;
    EXPECT_NO_THROW(SendText(&port, "\\V"));
    EXPECT_EQ(port.Calls(), (std::vector<TPortCall>{{"Write", "\\V", 2, true}, {"Close", "", 0, false}}))
        << "non-standard exception: " << nonStandard;
    EXPECT_FALSE(port.Opened);
  }
}

TEST(SendText, EachTextIsTriedOnItsOwn) {
  TRecordingPort port;
  port.Fault("Write").OnCall(1);
  for (const char* text : {"1", "\\1", "\\3"}) SendText(&port, text);
  EXPECT_EQ(port.Names(), (std::vector<std::string>{"Write", "Write", "Close", "Write"}));
  EXPECT_EQ(port.Writes(), (std::vector<std::string>{"1", "\\1", "\\3"}));
}

TEST(SendText, FailingCloseReachesTheCaller) {
  TRecordingPort port;
  port.Fault("Write").Always();
  port.Fault("Close").Always();
  EXPECT_THROW(SendText(&port, "E"), TPortFailure);
  EXPECT_EQ(port.Names(), (std::vector<std::string>{"Write", "Close"}));

  // Close is only called after a failed write.
  TRecordingPort healthy;
  healthy.Fault("Close").Always();
  EXPECT_NO_THROW(SendText(&healthy, "E"));
  EXPECT_EQ(healthy.CountOf("Close"), 0);
}

TEST(RecordingPort, RecordsArgumentsClockAndOpenState) {
  TRecordingPort port;
  port.Clock = 45000.5;
  port.ClockStep = 0.25;
  TDevicePort& host = port;
  EXPECT_FALSE(host.IsOpen());
  host.Open(true);
  EXPECT_TRUE(host.IsOpen());
  host.SetOptionByte(6);
  host.SetOptionA(100);
  host.SetOptionB(-5);
  EXPECT_EQ(host.CurrentTime(), 45000.5);
  EXPECT_EQ(host.CurrentTime(), 45000.75);
  host.EnableA(true);
  host.EnableB(false);
  host.PurgeA();
  host.PurgeB();
  host.Close();
  EXPECT_FALSE(host.IsOpen());
  const std::vector<TPortCall> expected{
      {"IsOpen", "", 0, false},     {"Open", "", 1, false},        {"IsOpen", "", 0, false},
      {"SetOptionByte", "", 6, false}, {"SetOptionA", "", 100, false}, {"SetOptionB", "", -5, false},
      {"CurrentTime", "", 0, false}, {"CurrentTime", "", 0, false},  {"EnableA", "", 1, false},
      {"EnableB", "", 0, false},    {"PurgeA", "", 0, false},      {"PurgeB", "", 0, false},
      {"Close", "", 0, false},      {"IsOpen", "", 0, false},
  };
  EXPECT_EQ(port.Calls(), expected);
  EXPECT_EQ(port.Names({"PurgeA", "PurgeB"}), (std::vector<std::string>{"PurgeA", "PurgeB"}));
  port.ClearCalls();
  EXPECT_TRUE(port.Calls().empty());
}

TEST(RecordingPort, FaultsFireWhenArmed) {
  TRecordingPort port;
  port.Fault("EnableA").OnCall(1);
  EXPECT_NO_THROW(port.EnableA(true));
  EXPECT_THROW(port.EnableA(true), TPortFailure);
  EXPECT_NO_THROW(port.EnableA(true));
  port.Fault("EnableB").Always();
  port.Fault("EnableB").NonStandard = true;
  EXPECT_THROW(port.EnableB(true), int);
  EXPECT_THROW(port.EnableB(true), int);
  port.Fault("EnableB").Never();
  EXPECT_NO_THROW(port.EnableB(true));
  EXPECT_EQ(port.CountOf("EnableA"), 3);
  EXPECT_TRUE(port.Calls()[1].Threw);
}

}  // namespace
