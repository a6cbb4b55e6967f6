// The system's UTC offset through the Windows time zone functions.
#include <windows.h>

#include <cmath>

#include "refhost/output/IsoTime.h"

namespace {

SYSTEMTIME ToSystemTime(const TCivilTime& c) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(c.Year);
  st.wMonth = static_cast<WORD>(c.Month);
  st.wDay = static_cast<WORD>(c.Day);
  st.wHour = static_cast<WORD>(c.Hour);
  st.wMinute = static_cast<WORD>(c.Minute);
  st.wSecond = static_cast<WORD>(c.Second);
  return st;
}

TDays FromSystemTime(const SYSTEMTIME& st) {
  return MakeDays(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

// Whole-second part of a date-time, as the calendar fields read it.
TCivilTime WholeSeconds(TDays t) {
  TCivilTime c = SplitDays(t);
  c.Millisecond = 0;
  return c;
}

int32_t Minutes(double days) { return static_cast<int32_t>(std::lround(days * 1440.0)); }

}  // namespace

int32_t LocalUtcOffsetMinutes(TDays local) {
  const SYSTEMTIME localSt = ToSystemTime(WholeSeconds(local));
  SYSTEMTIME utcSt{};
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &localSt, &utcSt)) return 0;
  return Minutes(FromSystemTime(localSt) - FromSystemTime(utcSt));
}

int32_t UtcOffsetMinutesAt(TDays utc) {
  const SYSTEMTIME utcSt = ToSystemTime(WholeSeconds(utc));
  SYSTEMTIME localSt{};
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utcSt, &localSt)) return 0;
  return Minutes(FromSystemTime(localSt) - FromSystemTime(utcSt));
}

TDays LocalTimeFromUtc(TDays utc) { return utc + UtcOffsetMinutesAt(utc) / 1440.0; }
