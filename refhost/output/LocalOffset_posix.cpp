// The system's UTC offset through the C library's time zone rules.
#include <cmath>
#include <ctime>

#include "refhost/output/IsoTime.h"

namespace {
constexpr double UnixEpochDays = 25569.0;  // 1970-01-01 in days since 1899-12-30
}

int32_t LocalUtcOffsetMinutes(TDays local) {
  const TCivilTime c = SplitDays(local);
  std::tm tm{};
  tm.tm_year = c.Year - 1900;
  tm.tm_mon = c.Month - 1;
  tm.tm_mday = c.Day;
  tm.tm_hour = c.Hour;
  tm.tm_min = c.Minute;
  tm.tm_sec = c.Second;
  tm.tm_isdst = -1;
  const std::time_t when = std::mktime(&tm);
  std::tm back{};
  if (when == static_cast<std::time_t>(-1) || !localtime_r(&when, &back)) return 0;
  return static_cast<int32_t>(back.tm_gmtoff / 60);
}

int32_t UtcOffsetMinutesAt(TDays utc) {
  const std::time_t when = static_cast<std::time_t>(std::floor((utc - UnixEpochDays) * 86400.0));
  std::tm local{};
  if (!localtime_r(&when, &local)) return 0;
  return static_cast<int32_t>(local.tm_gmtoff / 60);
}

TDays LocalTimeFromUtc(TDays utc) { return utc + UtcOffsetMinutesAt(utc) / 1440.0; }
