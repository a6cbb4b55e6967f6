#include "platform/DateTime.h"

namespace {

constexpr int64_t MsPerDay = 86400000;
constexpr double HalfMsDays = 0.5 / static_cast<double>(MsPerDay);
// Days from 1899-12-30 to 1970-01-01.
constexpr int64_t UnixEpochDays = 25569;

// Days from 1970-01-01 to the given proleptic Gregorian date. Eras of 400
// years (146097 days) make every year, negative ones included, exact.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

double EncodeDateTime(const TLocalDateTime& t) {
  const int64_t days = DaysFromCivil(t.Year, t.Month, t.Day) + UnixEpochDays;
  const int64_t ms = ((int64_t{t.Hour} * 60 + t.Minute) * 60 + t.Second) * 1000 + t.Millisecond;
  const double fraction = static_cast<double>(ms) / static_cast<double>(MsPerDay);
  const double whole = static_cast<double>(days);
  return days < 0 ? whole - fraction : whole + fraction;
}

bool SpanReaches(double spanDays, double limitDays) { return spanDays >= limitDays - HalfMsDays; }

bool SpanExceeds(double spanDays, double limitDays) { return spanDays > limitDays + HalfMsDays; }
