#include "refhost/gps/NmeaParser.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "refhost/output/IsoTime.h"

namespace {

constexpr size_t MaxLine = 120;
constexpr int64_t DayMs = 86400000;
constexpr double MpsPerKnot = 1852.0 / 3600.0;

std::vector<std::string_view> SplitFields(std::string_view s) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    const size_t comma = s.find(',', start);
    fields.push_back(s.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

std::string_view At(const std::vector<std::string_view>& f, size_t i) {
  return i < f.size() ? f[i] : std::string_view{};
}

bool AllDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return !s.empty();
}

bool Real(std::string_view s, double& out) {
  if (s.empty()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(out);
}

int Two(std::string_view s, size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); }

// "hhmmss" with an optional fraction, to milliseconds since midnight.
bool TimeOfDay(std::string_view s, int64_t& ms) {
  if (s.size() < 6 || !AllDigits(s.substr(0, 6))) return false;
  double seconds = Two(s, 4);
  if (s.size() > 6) {
    if (s[6] != '.' || !AllDigits(s.substr(7)) || !Real(s.substr(4), seconds)) return false;
  }
  const int h = Two(s, 0), m = Two(s, 2);
  if (h > 23 || m > 59 || seconds >= 61) return false;
  ms = (h * 3600 + m * 60) * int64_t{1000} + std::llround(seconds * 1000);
  return true;
}

// "ddmm.mmmm" (degrees in `degreeDigits` digits) and its hemisphere.
bool Angle(std::string_view value, std::string_view hemisphere, size_t degreeDigits,
           char positive, char negative, double& out) {
  const size_t dot = value.find('.');
  const size_t whole = dot == std::string_view::npos ? value.size() : dot;
  if (whole != degreeDigits + 2 || !AllDigits(value.substr(0, whole))) return false;
  double minutes;
  int degrees = 0;
  for (size_t i = 0; i < degreeDigits; ++i) degrees = degrees * 10 + (value[i] - '0');
  if (!Real(value.substr(degreeDigits), minutes) || minutes >= 60) return false;
  if (hemisphere.size() != 1 || (hemisphere[0] != positive && hemisphere[0] != negative))
    return false;
  const double a = degrees + minutes / 60.0;
  if (a > (degreeDigits == 2 ? 90.0 : 180.0)) return false;
  out = hemisphere[0] == negative ? -a : a;
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

TNmeaParser::TNmeaParser(TFixCallback onFix, TUtcToHost toHost)
    : OnFix(std::move(onFix)), ToHost(toHost ? std::move(toHost) : TUtcToHost(LocalTimeFromUtc)) {}

void TNmeaParser::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\r' || c == '\n') {
      if (!Pending.empty() && !Overlong) Line(Pending);
      Pending.clear();
      Overlong = false;
    } else if (Pending.size() >= MaxLine) {
      Overlong = true;
    } else {
      Pending += c;
    }
  }
}

void TNmeaParser::Flush() {
  Finish();
  Epoch.reset();
}

void TNmeaParser::Line(std::string_view line) {
  const size_t dollar = line.rfind('$');
  if (dollar == std::string_view::npos) return;
  const std::string_view s = line.substr(dollar + 1);
  const size_t star = s.rfind('*');
  if (star == std::string_view::npos || star + 3 != s.size()) {
    ++Count.BadChecksum;
    return;
  }
  uint8_t sum = 0;
  for (size_t i = 0; i < star; ++i) sum ^= static_cast<uint8_t>(s[i]);
  const int hi = HexValue(s[star + 1]), lo = HexValue(s[star + 2]);
  if (hi < 0 || lo < 0 || sum != (hi << 4 | lo)) {
    ++Count.BadChecksum;
    return;
  }
  ++Count.Sentences;
  const std::string_view body = s.substr(0, star);
  const size_t comma = body.find(',');
  if (comma != 5) return;  // a talker and a type: "GNRMC"; proprietary sentences are longer
  Sentence(body.substr(2, 3), body.substr(comma + 1));
}

void TNmeaParser::Sentence(std::string_view type, std::string_view fields) {
  if (type != "RMC" && type != "GGA") return;
  const auto f = SplitFields(fields);
  int64_t tod;
  if (!TimeOfDay(At(f, 0), tod)) {
    ++Count.Skipped;
    return;
  }
  TEpoch& e = EpochFor(tod);
  if (type == "RMC" && !e.HasRmc) {
    e.HasRmc = true;
    if (!ReadRmc(fields, e)) e.Invalid = true;
  } else if (type == "GGA" && !e.HasGga) {
    SeenGga = true;
    RmcOnly = false;
    e.HasGga = true;
    if (!ReadGga(fields, e)) e.Invalid = true;
  }
  MaybeEmit();
}

bool TNmeaParser::ReadRmc(std::string_view fields, TEpoch& e) {
  const auto f = SplitFields(fields);
  const std::string_view date = At(f, 8), mode = At(f, 11);
  if (At(f, 1) != "A" || mode == "N" || !Angle(At(f, 2), At(f, 3), 2, 'N', 'S', e.Latitude) ||
      !Angle(At(f, 4), At(f, 5), 3, 'E', 'W', e.Longitude) || date.size() != 6 ||
      !AllDigits(date)) {
    ++Count.Skipped;
    return false;
  }
  e.Day = Two(date, 0);
  e.Month = Two(date, 2);
  const int yy = Two(date, 4);
  e.Year = yy < 80 ? 2000 + yy : 1900 + yy;
  if (e.Day < 1 || e.Day > 31 || e.Month < 1 || e.Month > 12) {
    ++Count.Skipped;
    return false;
  }
  double knots;
  e.SpeedMps = Real(At(f, 6), knots) ? knots * MpsPerKnot : NAN;
  return true;
}

bool TNmeaParser::ReadGga(std::string_view fields, TEpoch& e) {
  const auto f = SplitFields(fields);
  const std::string_view quality = At(f, 5);
  double lat, lon;
  if (quality.size() != 1 || !AllDigits(quality) || quality == "0" ||
      !Angle(At(f, 1), At(f, 2), 2, 'N', 'S', lat) || !Angle(At(f, 3), At(f, 4), 3, 'E', 'W', lon)) {
    ++Count.Skipped;
    return false;
  }
  e.Quality = quality[0] - '0';
  if (!e.HasRmc) {
    e.Latitude = lat;
    e.Longitude = lon;
  }
  const std::string_view sats = At(f, 6);
  e.Satellites = AllDigits(sats) && sats.size() <= 3 ? std::stoi(std::string(sats)) : -1;
  if (!Real(At(f, 8), e.AltitudeM)) e.AltitudeM = NAN;
  return true;
}

TNmeaParser::TEpoch& TNmeaParser::EpochFor(int64_t timeOfDayMs) {
  if (Epoch && Epoch->TimeOfDayMs != timeOfDayMs) {
    Finish();
    Epoch.reset();
  }
  if (!Epoch) {
    Epoch.emplace();
    Epoch->TimeOfDayMs = timeOfDayMs;
    Epoch->AltitudeM = NAN;
    Epoch->SpeedMps = NAN;
  }
  return *Epoch;
}

void TNmeaParser::MaybeEmit() {
  if (Epoch && Epoch->HasRmc && (Epoch->HasGga || RmcOnly)) Finish();
}

// Emits the epoch once if it makes a fix; later sentences of the same time
// find it done.
void TNmeaParser::Finish() {
  if (!Epoch || Epoch->Done) return;
  TEpoch& e = *Epoch;
  e.Done = true;
  if (e.HasRmc && !e.HasGga && !SeenGga) RmcOnly = true;
  if (e.Invalid || (!e.HasRmc && !e.HasGga)) return;
  TDays date;
  if (e.HasRmc) {
    date = MakeDays(e.Year, e.Month, e.Day, 0, 0, 0);
  } else {
    if (!LastUtcDate) return;
    date = *LastUtcDate + (e.TimeOfDayMs + DayMs / 2 < LastTimeOfDayMs ? 1 : 0);
  }
  LastUtcDate = date;
  LastTimeOfDayMs = e.TimeOfDayMs;
  TGpsFix fix;
  fix.Time = ToHost(date + static_cast<double>(e.TimeOfDayMs) / DayMs);
  fix.Longitude = e.Longitude;
  fix.Latitude = e.Latitude;
  fix.AltitudeM = e.HasGga ? e.AltitudeM : NAN;
  fix.SpeedMps = e.SpeedMps;
  fix.Quality = e.HasGga ? e.Quality : 1;
  fix.Satellites = e.HasGga ? e.Satellites : -1;
  ++Count.Fixes;
  OnFix(fix);
}
