#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "refhost/gps/SimulatedGps.h"
#include "refhost/output/IsoTime.h"

namespace {

TEST(RefhostSimulatedGps, OneFixPerSecondAlongTheDrive) {
  const TSimulatedDrive drive(42);
  TDays now = MakeDays(2026, 12, 8, 10, 0, 0.3);
  std::vector<TGpsFix> fixes;
  TSimulatedGps gps(drive, [&](const TGpsFix& f) { fixes.push_back(f); }, [&] { return now; });

  EXPECT_EQ(FormatIsoTime(gps.EmitDue(), 0), "2026-12-08T10:00:01.300+00:00");
  ASSERT_EQ(fixes.size(), 1u);
  now += 2.5 / 86400;
  EXPECT_EQ(FormatIsoTime(gps.EmitDue(), 0), "2026-12-08T10:00:03.300+00:00");
  ASSERT_EQ(fixes.size(), 3u);
  EXPECT_EQ(gps.EmitDue(), gps.FixAt(3).Time);  // nothing new is due
  EXPECT_EQ(fixes.size(), 3u);
  for (int s = 0; s < 3; ++s) {
    SCOPED_TRACE(s);
    const TDrivePoint p = drive.At(s);
    EXPECT_EQ(FormatIsoTime(fixes[s].Time, 0),
              FormatIsoTime(MakeDays(2026, 12, 8, 10, 0, 0.3 + s), 0));
    EXPECT_EQ(fixes[s].Longitude, p.Longitude);
    EXPECT_EQ(fixes[s].Latitude, p.Latitude);
    EXPECT_EQ(fixes[s].SpeedMps, p.SpeedMps);
  }
}

TEST(RefhostSimulatedGps, ThreadEmitsAtOnceAndStops) {
  const TSimulatedDrive drive(7);
  std::mutex lock;
  std::condition_variable changed;
  int count = 0;
  TSimulatedGps gps(drive, [&](const TGpsFix&) {
    std::lock_guard<std::mutex> hold(lock);
    ++count;
    changed.notify_all();
  });
  gps.Start();
  std::unique_lock<std::mutex> hold(lock);
  ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(10), [&] { return count >= 1; }));
  hold.unlock();
  gps.Stop();
  const int atStop = count;
  gps.Stop();  // again: nothing happens
  EXPECT_EQ(count, atStop);
}

}  // namespace
