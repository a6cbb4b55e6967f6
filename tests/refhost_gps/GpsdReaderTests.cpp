// The gpsd client against a real gpsd, started here on a pseudo-terminal fed
// with NMEA and listening on the loopback address on a free port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "refhost/gps/GpsdReader.h"
#include "tests/refhost_gps/GpsTestSupport.h"

extern char** environ;

namespace {

using gps_test::Sentence;
using gps_test::TFixLog;

std::string FindGpsd() {
  for (const char* dir : {"/usr/sbin", "/usr/local/sbin", "/usr/bin", "/sbin"}) {
    const std::string path = std::string(dir) + "/gpsd";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

int FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0;
  close(s);
  return ok ? ntohs(a.sin_port) : -1;
}

// A GPS on a pseudo-terminal: an RMC and GGA epoch every 200 ms of real
// time, the receiver's clock a second further each epoch.
class TFakeReceiver {
 public:
  TFakeReceiver() {
    char name[256];
    if (openpty(&Master, &Slave, name, nullptr, nullptr) != 0) return;
    termios raw{};  // no echo back to us before gpsd sets the line up
    tcgetattr(Slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(Slave, TCSANOW, &raw);
    Path = name;
    Feeder = std::thread([this] {
      for (int n = 0; !Stopping; ++n) {
        char t[16];
        std::snprintf(t, sizeof t, "1015%02d.00", n % 60);
        const std::string epoch =
            Sentence(std::string("GPRMC,") + t + ",A,5231.2000,N,01324.3000,E,10.0,90.0,081226,,,A") +
            Sentence(std::string("GPGGA,") + t + ",5231.2000,N,01324.3000,E,1,08,0.9,34.5,M,39.0,M,,");
        if (write(Master, epoch.data(), epoch.size()) < 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
  }
  ~TFakeReceiver() {
    Stopping = true;
    if (Feeder.joinable()) Feeder.join();
    close(Slave);
    close(Master);
  }
  std::string Path;

 private:
  int Master = -1, Slave = -1;
  std::atomic<bool> Stopping{false};
  std::thread Feeder;
};

class TGpsdProcess {
 public:
  TGpsdProcess(const std::string& gpsd, int port, const std::string& device) {
    const std::string portText = std::to_string(port);
    // Foreground, no waiting for a client, read-only, on the loopback only.
    const char* argv[] = {gpsd.c_str(), "-N", "-n", "-b", "-S", portText.c_str(), device.c_str(), nullptr};
    if (posix_spawn(&Pid, gpsd.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
      Pid = -1;
  }
  ~TGpsdProcess() {
    if (Pid <= 0) return;
    kill(Pid, SIGTERM);
    int status = 0;
    waitpid(Pid, &status, 0);
  }
  pid_t Pid = -1;
};

TEST(RefhostGpsd, FixesFromARealGpsdOnLoopback) {
  const std::string gpsd = FindGpsd();
  ASSERT_FALSE(gpsd.empty()) << "gpsd is not installed: install Debian's gpsd package "
                                "(scripts/install-deps.sh) to run this test";
  TFakeReceiver receiver;
  ASSERT_FALSE(receiver.Path.empty()) << "no pseudo-terminal";
  const int port = FreeLoopbackPort();
  ASSERT_GT(port, 0);
  TGpsdProcess daemon(gpsd, port, receiver.Path);
  ASSERT_GT(daemon.Pid, 0) << "could not start " << gpsd;

  // The daemon needs a moment to listen: retry the connection for a while.
  TFixLog log;
  std::unique_ptr<TGpsdReader> reader;
  for (int attempt = 0; attempt < 100 && !reader; ++attempt) {
    try {
      reader = std::make_unique<TGpsdReader>("127.0.0.1", std::to_string(port),
                                             [&](const TGpsFix& f) { log.Fix(f); },
                                             [&](const std::string& why) { log.End(why); },
                                             gps_test::Identity);
    } catch (const std::runtime_error&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ASSERT_TRUE(reader) << "gpsd never listened on 127.0.0.1:" << port;
  reader->Start();
  ASSERT_TRUE(log.WaitUntil([](TFixLog& l) { return l.Fixes.size() >= 3; }, 30))
      << "fewer than 3 fixes from gpsd within 30 s";
  reader->Stop();

  const auto& fixes = log.Fixes;
  for (size_t i = 0; i < fixes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(fixes[i].Longitude, 13.405, 1e-7);
    EXPECT_NEAR(fixes[i].Latitude, 52.52, 1e-7);
    EXPECT_NEAR(fixes[i].SpeedMps, 10.0 * 1852 / 3600, 1e-3);
    const std::string time = FormatIsoTime(fixes[i].Time, 0);
    EXPECT_EQ(time.substr(0, 17), "2026-12-08T10:15:") << time;
    EXPECT_EQ(time.substr(19), ".000+00:00") << time;
    if (i > 0) {
      EXPECT_GT(fixes[i].Time, fixes[i - 1].Time);  // one fix per epoch
    }
  }
  EXPECT_NEAR(fixes.back().AltitudeM, 34.5, 1e-6);  // the first report may come before the GGA
  EXPECT_TRUE(log.Ends.empty());
}

// A daemon of our own on loopback: it answers the watch request with the
// reports it is given, as gpsd words them, and keeps the line open.
class TScriptedDaemon {
 public:
  explicit TScriptedDaemon(const std::string& reports) {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    if (bind(Listener, reinterpret_cast<sockaddr*>(&a), size) == 0 && listen(Listener, 1) == 0 &&
        getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &size) == 0)
      Port = ntohs(a.sin_port);
    Server = std::thread([this, reports] {
      char request[512];
      const int c = accept(Listener, nullptr, nullptr);
      if (c >= 0 && read(c, request, sizeof request) > 0 && write(c, reports.data(), reports.size()) > 0)
        while (read(c, request, sizeof request) > 0) {  // until the reader closes
        }
      close(c);
    });
  }
  ~TScriptedDaemon() {
    shutdown(Listener, SHUT_RDWR);
    Server.join();
    close(Listener);
  }
  int Port = -1;

 private:
  int Listener = socket(AF_INET, SOCK_STREAM, 0);
  std::thread Server;
};

TEST(RefhostGpsd, ImpossibleReportsAreRefusedAndCounted) {
  // The first and the last are good; between them what broken receivers send.
  std::vector<std::string> reports{
      R"("time":"2026-12-08T10:15:01.000Z","lat":52.52,"lon":13.405,"speed":5.1)",
      R"("time":"9999-12-31T23:59:59.000Z","lat":52.52,"lon":13.405)",
      R"("time":"1970-01-01T00:00:00.000Z","lat":52.52,"lon":13.405)",
      R"("time":"not a time","lat":52.52,"lon":13.405)",
      R"("time":"2026-12-08T10:15:04.000Z","lat":52.52,"lon":13.405,"speed":-5.0)",
      R"("time":"2026-12-08T10:15:05.000Z","lat":500.0,"lon":13.405)",
      R"("time":"2026-12-08T10:15:06.000Z","lat":52.52,"lon":13.405,"speed":5.1)"};
  std::string script = R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})";
  for (int second = 10; second < 16; ++second)  // a receiver stuck with a negative speed: 11 refused in all
    reports.insert(reports.end() - 1, R"("time":"2026-12-08T10:15:)" + std::to_string(second) +
                                          R"(.000Z","lat":52.52,"lon":13.405,"speed":-0.5)");
  for (const std::string& r : reports) script += "\r\n" R"({"class":"TPV","device":"/dev/ttyACM0","mode":3,)" + r + "}";
  TScriptedDaemon daemon(script + "\r\n");
  ASSERT_GT(daemon.Port, 0);
  TFixLog log;
  std::vector<std::string> warnings;  // read once the reader has stopped
  TGpsdReader reader("127.0.0.1", std::to_string(daemon.Port), [&](const TGpsFix& f) { log.Fix(f); }, {},
                     gps_test::Identity, [&](const std::string& w) { warnings.push_back(w); });
  reader.Start();
  log.WaitUntil([](TFixLog& l) { return l.Fixes.size() == 2; });
  reader.Stop();
  ASSERT_EQ(log.Fixes.size(), 2u);
  EXPECT_EQ(FormatIsoTime(log.Fixes[1].Time, 0), "2026-12-08T10:15:06.000+00:00");
  EXPECT_EQ(reader.RefusedFixes(), 11);
  ASSERT_EQ(warnings.size(), 2u);  // at the first refusal and the tenth
  EXPECT_NE(warnings[0].find("gpsd:127.0.0.1:" + std::to_string(daemon.Port)), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("time outside 1980..2099: 9999-12-31T23:59:59.000"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[1].find("speed -0.50 m/s); it is dropped (10 so far; the next warning at 100)"),
            std::string::npos) << warnings[1];
}

TEST(RefhostGpsd, AddressesAndUnreachableDaemon) {
  const struct {
    const char* Text;
    const char* HostAndPort;  // "" when refused
  } cases[] = {{"localhost:2947", "localhost 2947"}, {"gps.local", "gps.local 2947"},
               {"[::1]:3000", "::1 3000"}, {":2947", ""}, {"host:port", ""}, {"[::1", ""}};
  for (const auto& c : cases) {
    std::string host, port;
    const bool ok = TGpsdReader::SplitAddress(c.Text, host, port);
    EXPECT_EQ(ok ? host + " " + port : "", c.HostAndPort) << c.Text;
  }
  const int port = FreeLoopbackPort();
  try {
    TGpsdReader reader("127.0.0.1", std::to_string(port), [](const TGpsFix&) {}, {});
    FAIL() << "connected to a port nobody listens on";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port)), std::string::npos) << e.what();
  }
}

}  // namespace
