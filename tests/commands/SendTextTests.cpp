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

}  // namespace
