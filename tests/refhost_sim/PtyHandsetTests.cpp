// The simulated handset on a pseudo-terminal, read and written as a host
// does through the slave side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "refhost/sim/PtyHandset.h"
#include "serial/Orvik7316Cmd.h"

namespace fs = std::filesystem;

namespace {

class THostSide {
 public:
  explicit THostSide(const std::string& path) : Fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
  ~THostSide() {
    if (Fd >= 0) ::close(Fd);
  }
  bool Ok() const { return Fd >= 0; }
  void Write(std::string_view text) {
    ASSERT_EQ(::write(Fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Reads until `wanted` shows up, the line fails, or 5 s pass (a bound on
  // a hang, not a timing check). Returns what came; `failed` says whether
  // the read reported the line gone.
  std::string ReadUntil(std::string_view wanted, bool& failed) {
    std::string got;
    failed = false;
    for (int i = 0; i < 50 && got.find(wanted) == std::string::npos; ++i) {
      pollfd p{Fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(Fd, buffer, sizeof buffer);
      if (n <= 0) {
        failed = true;
        break;
      }
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int Fd;
};

std::string TempLink() {
  char dir[] = "/tmp/orvik-pty-XXXXXX";
  return std::string(::mkdtemp(dir)) + "/handset";
}

}  // namespace

TEST(PtyHandsetSession, AnswersTheConnectRequestAndSurvivesADroppedLine) {
  TPtyHandsetOptions o;
  o.Simulator.IncomingCallEveryS = 0;
  o.LinkPath = TempLink();
  TPtyHandset handset(o);
  char target[256] = {};
  ASSERT_GT(::readlink(o.LinkPath.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(handset.Path(), target);

  bool failed = false;
  {
    THostSide host(handset.StablePath());
    ASSERT_TRUE(host.Ok());
    host.Write(ConnectRequest);
    EXPECT_NE(host.ReadUntil("CONN,123\\2\r\n", failed).find("CONN,123\\2\r\n"), std::string::npos);
    handset.DropLine();
    EXPECT_FALSE(handset.LineUp());
    EXPECT_FALSE(fs::exists(fs::symlink_status(o.LinkPath)));  // gone, not left pointing at a reusable number
    host.ReadUntil("never", failed);
    EXPECT_TRUE(failed);  // the host's reads fail once the line is gone
  }
  handset.RestoreLine();
  EXPECT_TRUE(handset.LineUp());
  THostSide again(o.LinkPath);  // the same path finds the new line
  ASSERT_TRUE(again.Ok());
  again.Write(ConnectRequest);
  EXPECT_NE(again.ReadUntil("CONN", failed).find("CONN"), std::string::npos);

  const std::vector<TSimCommand> commands = handset.Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].Index, SimConnectRequest);
  EXPECT_EQ(commands[1].Index, SimConnectRequest);
  handset.Stop();
}

// A drop scheduled in the options: the host's reads fail, and the link
// leads to a new line that answers again.
TEST(PtyHandsetSession, ScheduledDropClosesAndReopensTheLine) {
  TPtyHandsetOptions o;
  o.Simulator.IncomingCallEveryS = 0;
  o.LinkPath = TempLink();
  o.Drops = {{0.3, 0.2}};
  TPtyHandset handset(o);
  bool failed = false;
  {
    THostSide host(o.LinkPath);
    ASSERT_TRUE(host.Ok());
    host.ReadUntil("never", failed);
    EXPECT_TRUE(failed);
  }
  for (int i = 0; i < 50 && !handset.LineUp(); ++i) ::usleep(100000);  // bounded wait, no timing check
  ASSERT_TRUE(handset.LineUp());
  THostSide again(o.LinkPath);
  ASSERT_TRUE(again.Ok());
  again.Write(ConnectRequest);
  EXPECT_NE(again.ReadUntil("CONN", failed).find("CONN"), std::string::npos);
}

TEST(PtyHandsetSession, RefusesAMissingDevice) {
  TPtyHandsetOptions o;
  o.DevicePath = "/nonexistent/ttyUSB9";
  EXPECT_THROW(TPtyHandset handset(o), EPtyHandset);
}
