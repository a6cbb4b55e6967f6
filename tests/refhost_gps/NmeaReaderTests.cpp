// The NMEA reader on a regular file and on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "refhost/gps/NmeaReader.h"
#include "tests/refhost_gps/GpsTestSupport.h"

namespace {

using gps_test::Sentence;
using gps_test::TFixLog;

std::string Epoch(int second) {
  char t[16];
  std::snprintf(t, sizeof t, "1015%02d.00", second);
  return Sentence(std::string("GNRMC,") + t + ",A,5231.2000,N,01324.3000,E,10.0,90.0,081226,,,A") +
         Sentence(std::string("GNGGA,") + t + ",5231.2000,N,01324.3000,E,1,08,0.9,34.5,M,39.0,M,,");
}

struct TPty {
  int Master = -1, Slave = -1;
  std::string Path;
  TPty() {
    char name[256];
    if (openpty(&Master, &Slave, name, nullptr, nullptr) == 0) Path = name;
  }
  ~TPty() {
    if (Slave >= 0) close(Slave);
    if (Master >= 0) close(Master);
  }
  void Write(const std::string& text) const { ASSERT_EQ(write(Master, text.data(), text.size()), ssize_t(text.size())); }
};

TEST(RefhostNmeaReader, FileIsReadToItsEnd) {
  const auto path = std::filesystem::temp_directory_path() / ("refhost_nmea_" + std::to_string(getpid()) + ".nmea");
  std::ofstream(path) << Epoch(1) << Epoch(2) << Epoch(3);
  TFixLog log;
  TNmeaReader reader(path.string(), [&](const TGpsFix& f) { log.Fix(f); },
                     [&](const std::string& why) { log.End(why); }, 0, gps_test::Identity);
  reader.Start();
  ASSERT_TRUE(log.WaitUntil([](TFixLog& l) { return !l.Ends.empty(); }));
  reader.Stop();
  std::filesystem::remove(path);
  ASSERT_EQ(log.Fixes.size(), 3u);
  EXPECT_EQ(gps_test::Show(log.Fixes[2]), "2026-12-08T10:15:03.000+00:00 13.405000,52.520000 q1 s8 alt345 v514");
  EXPECT_NE(log.Ends[0].find("end of"), std::string::npos) << log.Ends[0];
}

TEST(RefhostNmeaReader, DeviceIsReadAsSentencesComeUntilItGoes) {
  for (bool closeDevice : {false, true}) {
    SCOPED_TRACE(closeDevice ? "device closed" : "stopped");
    auto pty = std::make_unique<TPty>();
    ASSERT_FALSE(pty->Path.empty());
    TFixLog log;
    TNmeaReader reader(pty->Path, [&](const TGpsFix& f) { log.Fix(f); },
                       [&](const std::string& why) { log.End(why); }, 9600, gps_test::Identity);
    reader.Start();
    pty->Write(Epoch(1));
    ASSERT_TRUE(log.WaitUntil([](TFixLog& l) { return l.Fixes.size() == 1; }));
    pty->Write(Epoch(2).substr(0, 20));  // half a sentence: nothing yet
    pty->Write(Epoch(2).substr(20));
    ASSERT_TRUE(log.WaitUntil([](TFixLog& l) { return l.Fixes.size() == 2; }));
    if (closeDevice) {
      pty.reset();  // both ends of the terminal close: reads fail
      ASSERT_TRUE(log.WaitUntil([](TFixLog& l) { return !l.Ends.empty(); }));
    }
    reader.Stop();  // returns although the device may stay open and silent
    EXPECT_EQ(log.Ends.size(), closeDevice ? 1u : 0u);
  }
}

TEST(RefhostNmeaReader, OpeningFailuresSayWhatAndWhere) {
  try {
    TNmeaReader reader("/nonexistent/gps.nmea", [](const TGpsFix&) {}, {});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/gps.nmea"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("--gps-nmea"), std::string::npos) << e.what();
  }
  TPty pty;
  EXPECT_THROW(TNmeaReader(pty.Path, [](const TGpsFix&) {}, {}, 12345), std::runtime_error);
}

}  // namespace
