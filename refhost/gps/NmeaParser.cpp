#include "refhost/gps/NmeaParser.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "refhost/output/IsoTime.h"

namespace {

constexpr size_t MaxSentence = 120;  // from the '$'; NMEA's own limit is 82 with CR LF
constexpr int64_t DayMs = 86400000;
constexpr double MpsPerKnot = 1852.0 / 3600.0;

// Which sentence gives a field when several of one epoch do: the higher wins.
enum : int { RankZda = 1, RankGll, RankRmc, RankGns, RankGga };
enum : unsigned { SeenRmc = 1, SeenGga = 2, SeenGll = 4, SeenGns = 8, SeenZda = 16 };

using TFields = std::vector<std::string_view>;

TFields SplitFields(std::string_view s) {
  TFields fields;
  size_t start = 0;
  for (;;) {
    const size_t comma = s.find(',', start);
    fields.push_back(s.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

std::string_view At(const TFields& f, size_t i) { return i < f.size() ? f[i] : std::string_view{}; }

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

int Number(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

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
  if (!Real(value.substr(degreeDigits), minutes) || minutes >= 60) return false;
  if (hemisphere.size() != 1 || (hemisphere[0] != positive && hemisphere[0] != negative))
    return false;
  const double a = Number(value.substr(0, degreeDigits)) + minutes / 60.0;
  if (a > (degreeDigits == 2 ? 90.0 : 180.0)) return false;
  out = hemisphere[0] == negative ? -a : a;
  return true;
}

// Latitude and longitude from four fields starting at `at`.
bool Position(const TFields& f, size_t at, double& latitude, double& longitude) {
  return Angle(At(f, at), At(f, at + 1), 2, 'N', 'S', latitude) &&
         Angle(At(f, at + 2), At(f, at + 3), 3, 'E', 'W', longitude);
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool DateExists(int year, int month, int day) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  return day <= days[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
}

// The fix quality a mode indicator stands for (RMC, GLL, GNS: A autonomous,
// D differential, P precise, R RTK, F float RTK, E estimated, M manual,
// S simulator), in GGA's numbering; 0 for N (no fix) and -1 for no mode.
int QualityOfMode(char mode) {
  const std::string_view modes = "NADPRFEMS";
  const size_t at = modes.find(mode);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

TUtcToHost FixedUtcOffset(int32_t utcOffsetMinutes) {
  const double days = utcOffsetMinutes / 1440.0;
  return [days](TDays utc) { return utc + days; };
}

TNmeaParser::TNmeaParser(TFixCallback onFix, TUtcToHost toHost, TGpsWarning warn, std::string source)
    : OnFix(std::move(onFix)),
      ToHost(toHost ? std::move(toHost) : TUtcToHost(LocalTimeFromUtc)),
      Gate(std::move(source), std::move(warn)) {}

void TNmeaParser::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '$') {
      StartSentence();  // one cut off by this '$' is lost, uncounted
    } else if (c == '\r' || c == '\n') {
      if (InSentence && !Overlong) EndSentence();  // no checksum: counted as bad
      InSentence = false;
    } else if (!InSentence || Overlong) {
      // between sentences, or past the length limit: skipped
    } else if (Pending.size() + 1 >= MaxSentence) {
      Overlong = true;
    } else {
      Pending += c;
      // A sentence ends with its checksum: whatever follows before the next
      // '$' (a line end, or a binary protocol's bytes) is not part of it.
      if (Pending.size() >= 3 && Pending[Pending.size() - 3] == '*') EndSentence();
    }
  }
}

void TNmeaParser::Flush() {
  Finish();
  Epoch.reset();
}

void TNmeaParser::StartSentence() {
  Pending.clear();
  InSentence = true;
  Overlong = false;
}

void TNmeaParser::EndSentence() {
  const std::string_view s = Pending;
  InSentence = false;
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
  if (comma != 5) return;  // a talker and a type: "GNRMC"; proprietary sentences differ
  Sentence(body.substr(2, 3), body.substr(comma + 1));
}

void TNmeaParser::Sentence(std::string_view type, std::string_view text) {
  unsigned bit;
  if (type == "RMC") bit = SeenRmc;
  else if (type == "GGA") bit = SeenGga;
  else if (type == "GLL") bit = SeenGll;
  else if (type == "GNS") bit = SeenGns;
  else if (type == "ZDA") bit = SeenZda;
  else return;
  const TFields f = SplitFields(text);
  int64_t tod;
  if (!TimeOfDay(At(f, bit == SeenGll ? 4 : 0), tod)) {
    ++Count.Skipped;
    return;
  }
  TEpoch& e = EpochFor(tod);
  if (e.Done) return;
  e.Types |= bit;
  bool ok = true;
  switch (bit) {
    case SeenRmc: ok = ReadRmc(f, e); break;
    case SeenGga: ok = ReadGga(f, e); break;
    case SeenGll: ok = ReadGll(f, e); break;
    case SeenGns: ok = ReadGns(f, e); break;
    default: ok = ReadZda(f, e); break;
  }
  if (!ok) ++Count.Skipped;
  // Complete: every type the last epoch had; before any epoch, RMC and GGA.
  const unsigned complete = LastTypes != 0 ? LastTypes : SeenRmc | SeenGga;
  if ((e.Types & complete) == complete) Finish();
}

// Each reader returns false when the sentence gives nothing (counted as
// skipped); one that says there is no fix, or is malformed, also spoils its
// epoch.
bool TNmeaParser::ReadRmc(const TFields& f, TEpoch& e) {
  const std::string_view date = At(f, 8), mode = At(f, 11);
  const int quality = mode.size() == 1 ? QualityOfMode(mode[0]) : 1;
  TPosition p;
  if (At(f, 1) != "A" || quality == 0 || !Position(f, 2, p.Latitude, p.Longitude) ||
      !(date.empty() || (date.size() == 6 && AllDigits(date)))) {
    e.NoFix = true;
    return false;
  }
  e.Position.Offer(p, RankRmc);
  e.Quality.Offer(quality > 0 ? quality : 1, RankRmc);
  double knots;
  if (Real(At(f, 6), knots)) e.SpeedMps.Offer(knots * MpsPerKnot, RankRmc);
  if (!date.empty()) {
    const int yy = Two(date, 4);
    const int year = yy < 80 ? 2000 + yy : 1900 + yy;
    if (!DateExists(year, Two(date, 2), Two(date, 0)))
      e.Impossible = "RMC date " + std::string(date) + " does not exist";
    else
      e.Date.Offer(MakeDays(year, Two(date, 2), Two(date, 0), 0, 0, 0), RankRmc);
  }
  return true;
}

// GGA and GNS carry the satellites in use and the altitude at the same places.
void TNmeaParser::OfferSatellitesAndAltitude(const TFields& f, TEpoch& e, int rank) {
  const std::string_view sats = At(f, 6);
  if (AllDigits(sats) && sats.size() <= 3) e.Satellites.Offer(Number(sats), rank);
  double altitude;
  if (Real(At(f, 8), altitude)) e.AltitudeM.Offer(altitude, rank);
}

bool TNmeaParser::ReadGga(const TFields& f, TEpoch& e) {
  const std::string_view quality = At(f, 5);
  TPosition p;
  if (quality.size() != 1 || !AllDigits(quality) || quality == "0" ||
      !Position(f, 1, p.Latitude, p.Longitude)) {
    e.NoFix = true;
    return false;
  }
  e.Position.Offer(p, RankGga);
  e.Quality.Offer(quality[0] - '0', RankGga);
  OfferSatellitesAndAltitude(f, e, RankGga);
  return true;
}

bool TNmeaParser::ReadGll(const TFields& f, TEpoch& e) {
  const std::string_view mode = At(f, 6);
  const int quality = mode.size() == 1 ? QualityOfMode(mode[0]) : 1;
  TPosition p;
  if (At(f, 5) != "A" || quality == 0 || !Position(f, 0, p.Latitude, p.Longitude)) {
    e.NoFix = true;
    return false;
  }
  e.Position.Offer(p, RankGll);
  e.Quality.Offer(quality > 0 ? quality : 1, RankGll);
  return true;
}

bool TNmeaParser::ReadGns(const TFields& f, TEpoch& e) {
  // One mode letter per constellation ("AAN": GPS and GLONASS fixed,
  // Galileo not); the first that is not N gives the quality.
  const std::string_view mode = At(f, 5);
  int quality = 0;
  for (char m : mode) {
    const int q = QualityOfMode(m);
    if (q < 0) quality = -1;
    if (quality == 0) quality = q;
  }
  TPosition p;
  if (quality <= 0 || !Position(f, 1, p.Latitude, p.Longitude)) {
    e.NoFix = true;
    return false;
  }
  e.Position.Offer(p, RankGns);
  e.Quality.Offer(quality, RankGns);
  OfferSatellitesAndAltitude(f, e, RankGns);
  return true;
}

bool TNmeaParser::ReadZda(const TFields& f, TEpoch& e) {
  // A receiver that does not know the date yet sends the fields empty: no
  // date, but nothing wrong with the epoch either.
  const std::string_view day = At(f, 1), month = At(f, 2), year = At(f, 3);
  if (day.size() != 2 || month.size() != 2 || year.size() != 4 || !AllDigits(day) ||
      !AllDigits(month) || !AllDigits(year))
    return false;
  if (!DateExists(Number(year), Number(month), Number(day)))
    e.Impossible = "ZDA date " + std::string(day) + "." + std::string(month) + "." + std::string(year) +
                   " does not exist";
  else
    e.Date.Offer(MakeDays(Number(year), Number(month), Number(day), 0, 0, 0), RankZda);
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
  }
  return *Epoch;
}

// Emits the epoch once if it makes a fix; later sentences of the same time
// find it done.
void TNmeaParser::Finish() {
  if (!Epoch || Epoch->Done) return;
  TEpoch& e = *Epoch;
  e.Done = true;
  LastTypes = e.Types;
  if (e.NoFix) return;
  if (!e.Impossible.empty()) {
    Gate.Refuse(e.Impossible);
    return;
  }
  TDays date;
  if (e.Date.Rank > 0) {
    date = e.Date.Value;
  } else if (LastUtcDate) {
    date = *LastUtcDate + (e.TimeOfDayMs + DayMs / 2 < LastTimeOfDayMs ? 1 : 0);
  } else {
    if (e.Position.Rank > 0) ++Count.Skipped;  // no date yet
    return;
  }
  LastUtcDate = date;
  LastTimeOfDayMs = e.TimeOfDayMs;
  if (e.Position.Rank == 0) return;  // a date alone (ZDA)
  TGpsFix fix;
  fix.Time = ToHost(date + static_cast<double>(e.TimeOfDayMs) / DayMs);
  fix.Latitude = e.Position.Value.Latitude;
  fix.Longitude = e.Position.Value.Longitude;
  fix.AltitudeM = e.AltitudeM.Rank > 0 ? e.AltitudeM.Value : NAN;
  fix.SpeedMps = e.SpeedMps.Rank > 0 ? e.SpeedMps.Value : NAN;
  fix.Quality = e.Quality.Value;
  fix.Satellites = e.Satellites.Rank > 0 ? e.Satellites.Value : -1;
  if (!Gate.Check(fix)) return;
  ++Count.Fixes;
  OnFix(fix);
}
