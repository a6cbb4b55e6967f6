// Local date-time as the system's date-time doubles: days since 1899-12-30,
// the fraction being the time of day. For days before 1899-12-30 the time of
// day still counts away from zero (1899-12-29 06:00 is -1.25), so the
// fraction always reads as the time of day.
#pragma once

#include <cstdint>

// A broken-down local time as a calendar gives it (proleptic Gregorian).
struct TLocalDateTime {
  int32_t Year;         // e.g. 2024
  int32_t Month;        // 1..12
  int32_t Day;          // 1..31
  int32_t Hour;         // 0..23
  int32_t Minute;       // 0..59
  int32_t Second;       // 0..59 (60 for a leap second is tolerated)
  int32_t Millisecond;  // 0..999
};

// Pure conversion of a broken-down time to a date-time double. Fields are not
// range checked; values outside their range simply carry on arithmetically.
double EncodeDateTime(const TLocalDateTime& t);

// The current local time as a date-time double, at millisecond resolution.
// Never fails. Any thread.
double LocalDateTimeNow();

// Compare the span between two date-times with a limit, both in days, on the
// millisecond grid of the clocks that give them: a span within half a
// millisecond of the limit counts as the limit itself. Two date-times of a
// present-day date (around day 45000) keep only about a microsecond of
// precision, so their plain difference may put an exact 50 s a hair under
// 50 s or an exact half second a hair over it. NaN passes neither test.
bool SpanReaches(double spanDays, double limitDays);  // span >= limit
bool SpanExceeds(double spanDays, double limitDays);  // span > limit
