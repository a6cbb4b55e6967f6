// The device port over a pseudo-terminal this test holds the other end of,
// the reader thread that drains it, and the status line.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "refhost/port/PortReader.h"
#include "refhost/port/SerialDevicePort.h"
#include "refhost/port/StatusLine.h"

using ::testing::HasSubstr;

namespace {

// A pseudo-terminal pair: the test plays the handset on the master side.
class PortSession : public ::testing::Test {
 protected:
  void SetUp() override { OpenPair(); }
  void TearDown() override {
    if (Master >= 0) ::close(Master);
  }
  void OpenPair() {
    int slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&Master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);  // the port opens it by name
    SlavePath = name;
  }
  void HangUp() {
    ::close(Master);
    Master = -1;
  }
  void Send(const std::string& text) {
    ASSERT_EQ(::write(Master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  std::string ReadAll(TSerialDevicePort& port, size_t want) {
    std::string got;
    uint8_t buffer[256];
    while (got.size() < want) {
      const size_t n = port.Read(buffer, sizeof buffer, 2000);
      if (n == 0) break;
      got.append(reinterpret_cast<const char*>(buffer), n);
    }
    return got;
  }
  TSessionEvent PopEvent(TSessionEventQueue& queue) {
    TSessionEvent event;
    EXPECT_EQ(queue.Pop(event, 10000), TPopResult::Event);
    return event;
  }

  int Master = -1;
  std::string SlavePath;
};

std::string OpenError(const std::string& path) {
  try {
    TSerialDevicePort port(path);
    port.OpenNow();
  } catch (const EPortError& e) {
    return e.what();
  }
  return "opened";
}

TEST_F(PortSession, OpenErrorsSayWhatToDo) {
  const std::string regular = ::testing::TempDir() + "port-session-regular-file";
  std::FILE* f = std::fopen(regular.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_THAT(OpenError("/dev/ttyDoesNotExist7316"), HasSubstr("does not exist"));
  EXPECT_THAT(OpenError(regular), HasSubstr("not a serial device"));
  TSerialDevicePort first(SlavePath);
  first.OpenNow();
  EXPECT_THAT(OpenError(SlavePath), HasSubstr("in use by another program"));
  std::filesystem::remove(regular);
}

TEST_F(PortSession, BytesBothWaysAtTheChosenRate) {
  TSerialDevicePort port(SlavePath);
  port.Open(true);
  port.SetOptionByte(6);
  EXPECT_EQ(port.BaudRate(), 9600);
  EXPECT_THROW(port.SetOptionByte(18), EPortError);
  EXPECT_EQ(port.BaudRate(), 9600);
  // A pseudo-terminal has no modem lines: the enables fail and say so.
  EXPECT_THROW(port.EnableA(true), EPortError);
  port.PurgeA();
  port.PurgeB();

  const std::string command = "123\\2\r\n";
  port.Write(command.data(), static_cast<int32_t>(command.size()));
  char echoed[16] = {};
  ASSERT_EQ(::read(Master, echoed, command.size()), static_cast<ssize_t>(command.size()));
  EXPECT_EQ(std::string(echoed, command.size()), command);

  // Raw mode: CR, LF and control bytes arrive untouched.
  const std::string reply = "CONN,123\\2\r\n\x01\x7f";
  Send(reply);
  EXPECT_EQ(ReadAll(port, reply.size()), reply);
}

TEST_F(PortSession, ClosedOtherEndIsALostLineUntilReopened) {
  for (const bool foundByWrite : {false, true}) {
    SCOPED_TRACE(foundByWrite ? "found by a write" : "found by a read");
    TSerialDevicePort port(SlavePath);
    port.OpenNow();
    HangUp();
    if (foundByWrite) {
      // The decoder closes the port after a failed write; the loss must
      // still reach the reader.
      EXPECT_THROW(port.Write("\\", 1), EPortLost);
      port.Close();
    }
    uint8_t buffer[16];
    EXPECT_THROW(port.Read(buffer, sizeof buffer, 2000), EPortLost);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 10), 0u);  // closed: waits, no throw
    OpenPair();
  }
}

TEST_F(PortSession, InterruptWakesABlockedRead) {
  TSerialDevicePort port(SlavePath);
  port.OpenNow();
  std::thread reader([&] {
    uint8_t buffer[16];
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 600000), 0u);
  });
  port.Interrupt();
  reader.join();
}

TEST_F(PortSession, ReaderQueuesChunksAndReportsTheLineEnds) {
  struct TCase {
    const char* Name;
    bool HangUp;  // else: silence past the limit
  };
  for (const TCase& c : {TCase{"other end closed", true}, TCase{"silence", false}}) {
    SCOPED_TRACE(c.Name);
    TSerialDevicePort port(SlavePath);
    port.OpenNow();
    TSessionEventQueue queue;
    TReaderOptions options;
    options.SilenceLimitSeconds = 0.3;
    TPortReader reader(port, queue, options);
    reader.Start();
    const TDays before = HostClockNow();
    Send("IDLE,1\r");
    const TSessionEvent chunk = PopEvent(queue);
    ASSERT_EQ(chunk.Kind, TSessionEventKind::Chunk);
    EXPECT_EQ(std::string(chunk.Chunk.Bytes.begin(), chunk.Chunk.Bytes.end()), "IDLE,1\r");
    EXPECT_GE(chunk.Chunk.HostTime, before);
    if (c.HangUp) HangUp();
    const TSessionEvent lost = PopEvent(queue);
    ASSERT_EQ(lost.Kind, TSessionEventKind::LineLost);
    EXPECT_THAT(lost.Text, HasSubstr(c.HangUp ? "closed" : "no bytes"));
    reader.Stop();
    EXPECT_TRUE(reader.GaveUp());
    EXPECT_EQ(reader.BytesRead(), 7);
    if (c.HangUp) OpenPair();
  }
}

TEST_F(PortSession, ReaderReopensTheLineWhenItComesBack) {
  const std::string link = ::testing::TempDir() + "port-session-link";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(SlavePath, link);
  TSerialDevicePort port(link);
  port.OpenNow();
  TSessionEventQueue queue;
  TReaderOptions options;
  options.Reconnect = true;
  options.ReconnectTimeoutSeconds = 30;
  TPortReader reader(port, queue, options);
  reader.Start();
  for (int drop = 0; drop < 2; ++drop) {
    HangUp();
    ASSERT_EQ(PopEvent(queue).Kind, TSessionEventKind::LineLost);
    OpenPair();
    std::filesystem::remove(link);
    std::filesystem::create_symlink(SlavePath, link);
    ASSERT_EQ(PopEvent(queue).Kind, TSessionEventKind::LineRegained);
    Send("L3,0301\r");
    const TSessionEvent chunk = PopEvent(queue);
    ASSERT_EQ(chunk.Kind, TSessionEventKind::Chunk);
    EXPECT_EQ(chunk.Chunk.Bytes.size(), 8u);
  }
  reader.Stop();
  EXPECT_EQ(reader.Reconnects(), 2);
  EXPECT_FALSE(reader.GaveUp());
  std::filesystem::remove(link);
}

TEST(StatusLine, InPlaceOnATerminalPlainLinesElsewhere) {
  TStatusValues values;
  values.ElapsedSeconds = 75;
  values.Records = 96;
  values.CallState = "connected";
  values.LastFixAgeSeconds = 0.4;
  values.QueueFillBytes = 25;
  values.QueueCapacityBytes = 100;
  values.Counters.Gaps = 2;
  values.Kpis.CallAttempts = 3;
  values.Kpis.CallSetups = 2;
  values.Kpis.CallDrops = 1;
  values.Kpis.HandoverAttempts = 4;
  const std::string text = FormatStatus(values);
  EXPECT_THAT(text, HasSubstr("01:15 records 96"));
  EXPECT_THAT(text, HasSubstr("connected | fix 0.4 s ago | calls 3 set up 2 dropped 1 handovers 4 | queue 25%"));
  EXPECT_THAT(text, HasSubstr("gaps 2"));

  char* data = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&data, &size);
  TStatusLine terminal(out, true, 11);
  terminal.Show("0123456789abcdef");
  terminal.Event("line lost");
  terminal.Finish();
  TStatusLine piped(out, false, 11);
  piped.Show("not shown");
  piped.Event("plain");
  std::fclose(out);
  EXPECT_EQ(std::string(data, size),
            "\r0123456789\x1b[K\r\x1b[Kline lost\n\r0123456789\x1b[K\nplain\n");
  std::free(data);
}

}  // namespace
