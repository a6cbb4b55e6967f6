#include <gtest/gtest.h>

#include <chrono>

#include "platform/DateTime.h"

namespace {

TEST(DateTime, EncodesCalendarTimesAsDaysSince18991230) {
  struct {
    TLocalDateTime Time;
    double Expected;
  } const cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1899, 12, 31, 12, 0, 0, 0}, 1.5},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{1900, 2, 28, 0, 0, 0, 0}, 60.0},
      {{1900, 3, 1, 0, 0, 0, 0}, 61.0},  // 1900 is no leap year
      {{1970, 1, 1, 0, 0, 0, 0}, 25569.0},
      {{2000, 2, 29, 18, 0, 0, 0}, 36585.75},  // 2000 is one
      {{2000, 3, 1, 0, 0, 0, 0}, 36586.0},
      {{2024, 2, 29, 12, 0, 0, 0}, 45351.5},
      {{2024, 12, 31, 23, 59, 59, 999}, 45657.0 + 86399999.0 / 86400000.0},
      {{2038, 1, 19, 3, 14, 8, 0}, 50424.0 + 11648.0 / 86400.0},
      {{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
      // Before the base day the time of day still counts away from zero.
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},
      {{1600, 3, 1, 12, 0, 0, 0}, -109511.5},
      {{1, 1, 1, 0, 0, 0, 0}, -693593.0},
  };
  for (const auto& c : cases) {
    const TLocalDateTime& t = c.Time;
    EXPECT_DOUBLE_EQ(EncodeDateTime(t), c.Expected)
        << t.Year << "-" << t.Month << "-" << t.Day << " " << t.Hour << ":" << t.Minute << ":" << t.Second
        << "." << t.Millisecond;
  }
}

TEST(DateTime, HalfASecondAndFiftySecondsAsDayFractions) {
  const double a = EncodeDateTime({2023, 6, 1, 10, 0, 0, 0});
  EXPECT_NEAR(EncodeDateTime({2023, 6, 1, 10, 0, 0, 500}) - a, 0.5 / 86400.0, 1e-10);
  EXPECT_NEAR(EncodeDateTime({2023, 6, 1, 10, 0, 50, 0}) - a, 50.0 / 86400.0, 1e-10);
  // Across midnight and a month end.
  EXPECT_NEAR(EncodeDateTime({2023, 7, 1, 0, 0, 0, 0}) - EncodeDateTime({2023, 6, 30, 23, 59, 59, 0}),
              1.0 / 86400.0, 1e-10);
}

TEST(DateTime, NowIsTodaysLocalTime) {
  // Local time differs from UTC by at most 14 hours.
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const double utc_days = 25569.0 + std::chrono::duration<double>(since_epoch).count() / 86400.0;
  const double now = LocalDateTimeNow();
  EXPECT_GT(now, utc_days - 14.0 / 24.0 - 1.0 / 1440.0);
  EXPECT_LT(now, utc_days + 14.0 / 24.0 + 1.0 / 1440.0);
}

}  // namespace
