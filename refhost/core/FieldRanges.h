// The values a session may hold, one table for every reader at the host's
// boundary (gpsd, NMEA, captures, JSON Lines) and every writer: what a
// reader takes in, a writer can write and the host's own reader reads back.
// A value outside these ranges is damage or a receiver's nonsense, never a
// measurement.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "refhost/core/SessionTypes.h"

namespace FieldRanges {

// Date-times, in days since 1899-12-30 (the host clock's scale): GPS time
// starts on 1980-01-06, and nothing recorded by this program lies past 2099.
constexpr TDays EarliestTime = 29226.0;  // 1980-01-06
constexpr TDays LatestTime = 73051.0;    // 2100-01-01

// Local time minus UTC: the world's zones run from UTC-12:00 to UTC+14:00.
constexpr int32_t MinUtcOffsetMinutes = -12 * 60;
constexpr int32_t MaxUtcOffsetMinutes = 14 * 60;

// Altitude above mean sea level: below the Dead Sea shore with margin, up to
// what an aircraft carrying a test handset reaches with margin.
constexpr double MinAltitudeM = -1000.0;
constexpr double MaxAltitudeM = 20000.0;

// Ground speed: anything on the move with a handset, an aircraft included.
constexpr double MaxSpeedMps = 400.0;

constexpr int MinFixQuality = 1;
constexpr int MaxFixQuality = 9;
constexpr int MaxSatellites = 255;

// A measurement report carries at most six neighbour cells.
constexpr size_t MaxNeighbours = 6;

// Text a session keeps from outside (the handset's and the GPS's source, why
// the line was lost), in bytes: the longest path a system opens (32767 UTF-16
// units on Windows, at most 96 KiB as UTF-8) fits with room to spare.
constexpr size_t MaxTextBytes = 128 * 1024;

constexpr bool IsTime(TDays t) { return t >= EarliestTime && t <= LatestTime; }  // false for NaN
constexpr bool IsUtcOffset(int64_t minutes) {
  return minutes >= MinUtcOffsetMinutes && minutes <= MaxUtcOffsetMinutes;
}
constexpr bool IsLatitude(double v) { return v >= -90.0 && v <= 90.0; }
constexpr bool IsLongitude(double v) { return v >= -180.0 && v <= 180.0; }
// NaN means "not known" for altitude and speed and is accepted.
inline bool IsAltitude(double v) { return std::isnan(v) || (v >= MinAltitudeM && v <= MaxAltitudeM); }
inline bool IsSpeed(double v) { return std::isnan(v) || (v >= 0.0 && v <= MaxSpeedMps); }
constexpr bool IsFixQuality(int q) { return q >= MinFixQuality && q <= MaxFixQuality; }
constexpr bool IsSatellites(int n) { return n == -1 || (n >= 0 && n <= MaxSatellites); }

// Why a fix is not one a session may hold, or nullptr when it may.
inline const char* FixFault(const TGpsFix& f) {
  if (!IsTime(f.Time)) return "time outside 1980..2099";
  if (!IsLatitude(f.Latitude) || !IsLongitude(f.Longitude)) return "position off the globe";
  if (!IsAltitude(f.AltitudeM)) return "altitude out of range";
  if (!IsSpeed(f.SpeedMps)) return "speed negative or out of range";
  if (!IsFixQuality(f.Quality)) return "fix quality out of range";
  if (!IsSatellites(f.Satellites)) return "satellite count out of range";
  return nullptr;
}

}  // namespace FieldRanges
