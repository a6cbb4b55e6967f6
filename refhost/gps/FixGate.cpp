#include "refhost/gps/FixGate.h"

#include <cmath>
#include <cstdio>

#include "refhost/core/FieldRanges.h"
#include "refhost/output/IsoTime.h"

TFixGate::TFixGate(std::string source, TGpsWarning warn) : Source(std::move(source)), Warn(std::move(warn)) {
  if (!Warn)
    Warn = [](const std::string& text) {
      std::fprintf(stderr, "%s\n", text.c_str());
      std::fflush(stderr);
    };
}

bool TFixGate::Check(const TGpsFix& fix) {
  const char* fault = FieldRanges::FixFault(fix);
  if (fault == nullptr) return true;
  Refuse(std::string(fault) + ": " + DescribeFix(fix));
  return false;
}

void TFixGate::Refuse(const std::string& why) {
  const int64_t n = Count.fetch_add(1) + 1;
  if (n < NextReport) return;
  NextReport = n * 10;
  std::string text = "orvik-host live: GPS " + Source + " sent an impossible fix (" + why + "); it is dropped";
  if (n > 1) text += " (" + std::to_string(n) + " so far; the next warning at " + std::to_string(NextReport) + ")";
  Warn(text + ". Check the receiver and its settings if this goes on.");
}

std::string DescribeFix(const TGpsFix& fix) {
  std::string text;
  if (std::isfinite(fix.Time) && std::fabs(fix.Time) < 1e7) {
    text = FormatIsoTime(fix.Time, 0);
    text.resize(text.size() - 6);  // the host clock's reading, without an offset
  } else {
    char t[32];
    std::snprintf(t, sizeof t, "day %g", fix.Time);
    text = t;
  }
  char rest[160];
  std::snprintf(rest, sizeof rest, " at %.5f,%.5f", fix.Latitude, fix.Longitude);
  text += rest;
  if (!std::isnan(fix.SpeedMps)) {
    std::snprintf(rest, sizeof rest, " speed %.2f m/s", fix.SpeedMps);
    text += rest;
  }
  if (!std::isnan(fix.AltitudeM)) {
    std::snprintf(rest, sizeof rest, " altitude %.1f m", fix.AltitudeM);
    text += rest;
  }
  if (fix.Quality != 1 || fix.Satellites >= 0) {
    std::snprintf(rest, sizeof rest, " quality %d satellites %d", fix.Quality, fix.Satellites);
    text += rest;
  }
  return text;
}
