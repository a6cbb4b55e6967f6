#include "refhost/output/IsoTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// algorithm), valid for every year.
constexpr int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int32_t& year, int32_t& month, int32_t& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int32_t>(yoe + era * 400 + (month <= 2));
}

constexpr int64_t EpochDays = DaysFromCivil(1899, 12, 30);  // in days since 1970

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int DaysInMonth(int32_t year, int32_t month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// Reads exactly `width` digits at `pos`.
bool Digits(std::string_view s, size_t& pos, size_t width, int32_t& out) {
  if (pos + width > s.size()) return false;
  int32_t v = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  pos += width;
  out = v;
  return true;
}

bool Expect(std::string_view s, size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

TDays MakeDays(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
               double seconds) {
  const int64_t m0 = int64_t{month} - 1;
  const int64_t y = year + FloorDiv(m0, 12);
  const int64_t m = m0 - FloorDiv(m0, 12) * 12 + 1;
  const int64_t days = DaysFromCivil(y, m, 1) + day - 1 - EpochDays;
  return static_cast<double>(days) + (hour * 3600.0 + minute * 60.0 + seconds) / 86400.0;
}

TCivilTime SplitDays(TDays t) {
  // Round to the microsecond first (about the resolution of a date-time
  // double in this century), then to the millisecond, half up: 59.9995 s
  // must read as the next minute however the double fell.
  const int64_t us = std::llround(t * 86400e6);
  const int64_t ms = FloorDiv(us + 500, 1000);
  const int64_t day = FloorDiv(ms, 86400000);
  int64_t rest = ms - day * 86400000;
  TCivilTime c;
  CivilFromDays(day + EpochDays, c.Year, c.Month, c.Day);
  c.Hour = static_cast<int32_t>(rest / 3600000);
  rest %= 3600000;
  c.Minute = static_cast<int32_t>(rest / 60000);
  rest %= 60000;
  c.Second = static_cast<int32_t>(rest / 1000);
  c.Millisecond = static_cast<int32_t>(rest % 1000);
  return c;
}

namespace {
void AppendDigits(std::string& out, int32_t value, int width) {
  char d[10];
  for (int i = width - 1; i >= 0; --i, value /= 10) d[i] = static_cast<char>('0' + value % 10);
  out.append(d, static_cast<size_t>(width));
}
}  // namespace

static void AppendIsoTimeFields(std::string& out, TDays t, int32_t utcOffsetMinutes);

void AppendIsoTime(std::string& out, TDays t, int32_t utcOffsetMinutes) {
  // The records of one chunk share its time, and a record's two stamps are
  // mostly equal: the last text made on this thread is reused.
  thread_local TDays lastTime = 0;
  thread_local int32_t lastOffset = 0;
  thread_local std::string lastText;
  if (!lastText.empty() && t == lastTime && utcOffsetMinutes == lastOffset) {
    out += lastText;
    return;
  }
  const size_t start = out.size();
  AppendIsoTimeFields(out, t, utcOffsetMinutes);
  lastText.assign(out, start, std::string::npos);
  lastTime = t;
  lastOffset = utcOffsetMinutes;
}

static void AppendIsoTimeFields(std::string& out, TDays t, int32_t utcOffsetMinutes) {
  const TCivilTime c = SplitDays(t);
  if (c.Year < 0 || c.Year > 9999) {  // outside what four digits hold: plain printf
    char text[24];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(c.Year));
    out += text;
  } else {
    AppendDigits(out, c.Year, 4);
  }
  out += '-';
  AppendDigits(out, c.Month, 2);
  out += '-';
  AppendDigits(out, c.Day, 2);
  out += 'T';
  AppendDigits(out, c.Hour, 2);
  out += ':';
  AppendDigits(out, c.Minute, 2);
  out += ':';
  AppendDigits(out, c.Second, 2);
  out += '.';
  AppendDigits(out, c.Millisecond, 3);
  out += utcOffsetMinutes < 0 ? '-' : '+';
  const int32_t off = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
  AppendDigits(out, off / 60 % 100, 2);
  out += ':';
  AppendDigits(out, off % 60, 2);
}

std::string FormatIsoTime(TDays t, int32_t utcOffsetMinutes) {
  std::string text;
  text.reserve(29);
  AppendIsoTime(text, t, utcOffsetMinutes);
  return text;
}

bool ParseIsoTime(std::string_view s, TDays& t, int32_t& utcOffsetMinutes) {
  size_t p = 0;
  int32_t year, month, day, hour, minute, second;
  if (!Digits(s, p, 4, year) || !Expect(s, p, '-') || !Digits(s, p, 2, month) ||
      !Expect(s, p, '-') || !Digits(s, p, 2, day) || !Expect(s, p, 'T') ||
      !Digits(s, p, 2, hour) || !Expect(s, p, ':') || !Digits(s, p, 2, minute) ||
      !Expect(s, p, ':') || !Digits(s, p, 2, second))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    return false;
  double fraction = 0;
  if (p < s.size() && s[p] == '.') {
    ++p;
    double scale = 0.1;
    size_t n = 0;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9' && n < 9) {
      fraction += (s[p] - '0') * scale;
      scale /= 10;
      ++p;
      ++n;
    }
    if (n == 0) return false;
  }
  int32_t offset = 0;
  if (p < s.size() && s[p] == 'Z') {
    ++p;
  } else {
    if (p >= s.size() || (s[p] != '+' && s[p] != '-')) return false;
    const int sign = s[p] == '-' ? -1 : 1;
    ++p;
    int32_t oh, om;
    if (!Digits(s, p, 2, oh) || !Expect(s, p, ':') || !Digits(s, p, 2, om) || oh > 23 ||
        om > 59)
      return false;
    offset = sign * (oh * 60 + om);
  }
  if (p != s.size()) return false;
  t = MakeDays(year, month, day, hour, minute, second + fraction);
  utcOffsetMinutes = offset;
  return true;
}

TDays UtcDaysNow() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return 25569.0 + static_cast<double>(ms) / 86400000.0;  // system_clock counts from 1970 UTC
}
