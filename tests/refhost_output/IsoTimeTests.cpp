#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "refhost/output/IsoTime.h"

namespace {

TEST(RefhostIsoTime, FormatsWithOffsetAndRoundsToTheMillisecond) {
  struct TCase {
    int Y, Mo, D, H, Mi;
    double S;
    int Offset;
    const char* Expected;
  } cases[] = {
      {2026, 12, 8, 10, 15, 2.125, 60, "2026-12-08T10:15:02.125+01:00"},
      {2026, 12, 8, 10, 15, 2.125, 0, "2026-12-08T10:15:02.125+00:00"},
      {2026, 12, 8, 10, 15, 2.125, -330, "2026-12-08T10:15:02.125-05:30"},
      {2026, 12, 8, 10, 15, 2.125, 345, "2026-12-08T10:15:02.125+05:45"},
      // Rounding carries through minute, hour, day, month and year.
      {2026, 12, 31, 23, 59, 59.9995, 60, "2027-01-01T00:00:00.000+01:00"},
      {2026, 12, 31, 23, 59, 59.9994, 60, "2026-12-31T23:59:59.999+01:00"},
      {2026, 2, 28, 23, 59, 59.9996, 0, "2026-03-01T00:00:00.000+00:00"},
      {2028, 2, 28, 23, 59, 59.9996, 0, "2028-02-29T00:00:00.000+00:00"},
      {1899, 12, 30, 0, 0, 0, 0, "1899-12-30T00:00:00.000+00:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Expected);
    const TDays t = MakeDays(c.Y, c.Mo, c.D, c.H, c.Mi, c.S);
    EXPECT_EQ(FormatIsoTime(t, c.Offset), c.Expected);
    TDays back = 0;
    int32_t offset = 0;
    ASSERT_TRUE(ParseIsoTime(c.Expected, back, offset));
    EXPECT_EQ(offset, c.Offset);
    EXPECT_NEAR(back, t, 0.0006 / 86400);
  }
  EXPECT_DOUBLE_EQ(MakeDays(2026, 12, 8, 0, 0, 0), 46364.0);  // the host clock's day count
  EXPECT_DOUBLE_EQ(MakeDays(2026, 13, 1, 0, 0, 0), MakeDays(2027, 1, 1, 0, 0, 0));
}

TEST(RefhostIsoTime, ParsesVariantsAndRefusesWhatIsNotADateTime) {
  TDays t = 0;
  int32_t offset = 99;
  ASSERT_TRUE(ParseIsoTime("2026-12-08T10:15:02Z", t, offset));
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(FormatIsoTime(t, 0), "2026-12-08T10:15:02.000+00:00");
  ASSERT_TRUE(ParseIsoTime("2026-12-08T10:15:02.123456789-08:00", t, offset));
  EXPECT_EQ(FormatIsoTime(t, offset), "2026-12-08T10:15:02.123-08:00");

  for (const char* bad :
       {"", "2026-12-08", "2026-12-08T10:15:02", "2026-13-08T10:15:02Z", "2026-02-29T10:15:02Z",
        "2026-12-08T24:00:00Z", "2026-12-08T10:60:00Z", "2026-12-08T10:15:02.Z",
        "2026-12-08T10:15:02+0100", "2026-12-08T10:15:02+01:00x", "2026-12-08 10:15:02Z",
        "26-12-08T10:15:02Z"}) {
    TDays before = t;
    EXPECT_FALSE(ParseIsoTime(bad, t, offset)) << bad;
    EXPECT_EQ(t, before);
  }
}

TEST(RefhostIsoTime, LocalOffsetFollowsTheZoneRules) {
#ifndef _WIN32
  // Central European time, summer time from the last Sunday of March.
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  EXPECT_EQ(FormatIsoTime(LocalTimeFromUtc(MakeDays(2026, 1, 15, 12, 0, 0.25)), 60),
            "2026-01-15T13:00:00.250+01:00");
  EXPECT_EQ(FormatIsoTime(LocalTimeFromUtc(MakeDays(2026, 7, 15, 23, 30, 0)), 120),
            "2026-07-16T01:30:00.000+02:00");
  EXPECT_EQ(LocalUtcOffsetMinutes(MakeDays(2026, 1, 15, 13, 0, 0)), 60);
  EXPECT_EQ(LocalUtcOffsetMinutes(MakeDays(2026, 7, 16, 1, 30, 0)), 120);
  if (saved) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  tzset();
#endif
  // Whatever the zone, the two helpers agree with each other.
  const TDays utc = MakeDays(2026, 7, 15, 12, 0, 0);
  const TDays local = LocalTimeFromUtc(utc);
  EXPECT_NEAR((local - utc) * 1440.0, LocalUtcOffsetMinutes(local), 1e-6);
}

}  // namespace
