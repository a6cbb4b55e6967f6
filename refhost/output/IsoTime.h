// Date-times of the host clock (TDays: days since 1899-12-30, local time)
// as ISO 8601 text with milliseconds and the UTC offset, and back; the
// calendar arithmetic the GPS readers need; the system's UTC offset.
//
// Pure functions except the two offset helpers, which ask the system's time
// zone rules. Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "refhost/core/SessionTypes.h"

// A date-time split into calendar fields (proleptic Gregorian).
struct TCivilTime {
  int32_t Year = 1899;
  int32_t Month = 12;   // 1..12
  int32_t Day = 30;     // 1..31
  int32_t Hour = 0;     // 0..23
  int32_t Minute = 0;   // 0..59
  int32_t Second = 0;   // 0..59
  int32_t Millisecond = 0;  // 0..999
};

// Days since 1899-12-30 of a calendar date-time; `seconds` may carry a
// fraction. Fields out of range carry on arithmetically; never throws.
TDays MakeDays(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
               double seconds);

// Calendar fields of `t`, rounded to the nearest millisecond first (so
// 10:15:59.9996 reads 10:16:00.000). Never throws.
TCivilTime SplitDays(TDays t);

// "2026-12-08T10:15:02.125+01:00": the local date-time `t` with the offset
// of local time from UTC (zero gives "+00:00"). The returned string is the
// caller's; throws only std::bad_alloc.
std::string FormatIsoTime(TDays t, int32_t utcOffsetMinutes);
// The same text appended to `out` (the writers' fast path).
void AppendIsoTime(std::string& out, TDays t, int32_t utcOffsetMinutes);

// Reads text written by FormatIsoTime (also without milliseconds, with up to
// nine fraction digits, or with "Z" for UTC) into the local date-time and its
// offset. False, leaving both outputs unchanged, when the text is not such a
// date-time (bad field, out-of-range value, trailing characters).
bool ParseIsoTime(std::string_view text, TDays& t, int32_t& utcOffsetMinutes);

// Local time minus UTC, in minutes, in force at the local date-time `local`
// on this machine (for a local time skipped or repeated by a daylight-saving
// change, whichever offset the system picks). 0 when the system cannot tell.
int32_t LocalUtcOffsetMinutes(TDays local);

// The host clock's reading (local time) at the UTC date-time `utc`, by this
// machine's time zone rules. Returns `utc` itself when the system cannot tell.
TDays LocalTimeFromUtc(TDays utc);

// Local time minus UTC, in minutes, in force on this machine at the UTC
// date-time `utc` (unambiguous, unlike LocalUtcOffsetMinutes around a
// daylight-saving change). 0 when the system cannot tell.
int32_t UtcOffsetMinutesAt(TDays utc);

// The UTC date-time now, in days since 1899-12-30, to the millisecond.
TDays UtcDaysNow();
