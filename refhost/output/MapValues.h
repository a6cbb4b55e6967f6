// What the map, pcap and report writers share: the serving cell's level and
// quality of a record, the drive-test colour bands, UTC time of the host
// clock, distances on the ground.
//
// Pure functions; every one may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "refhost/core/SessionTypes.h"

// True when the record carries a position: a method other than "none" and
// coordinates (the store writes -9999 without them).
bool HasPosition(const THostRecord& record);

// Serving cell's received level in dBm (RXLEV - 110): the idle report's, or
// the dedicated report's full-set value. Empty for a record without a report.
std::optional<int> ServingLevelDbm(const THostRecord& record);
// RXQUAL (0..7) of a dedicated report's full set; empty otherwise.
std::optional<int> ServingQuality(const THostRecord& record);
// Serving cell's ARFCN from either report; empty without a report.
std::optional<uint16_t> ServingArfcn(const THostRecord& record);

// The usual drive-test bands of received level:
//   Good >= -70 dBm, Fair -85..-71, Poor -95..-86, Bad < -95.
enum class TLevelBand : uint8_t { Good, Fair, Poor, Bad };
constexpr int LevelBandCount = 4;
TLevelBand LevelBandOf(int levelDbm);

struct TLevelBandStyle {
  const char* Id;     // "good", "fair", "poor", "bad"
  const char* Label;  // ">= -70 dBm", ...
  uint8_t Red, Green, Blue;
};
// The band's name and colour (green, yellow, orange, red). Static data.
const TLevelBandStyle& LevelBandStyle(TLevelBand band);

// Seconds since 1970-01-01 UTC of a host-clock date-time (local days) whose
// offset from UTC is `utcOffsetMinutes`.
double UtcSeconds(TDays local, int32_t utcOffsetMinutes);
// "2026-12-08T09:15:02.125Z": the same instant in UTC, as GPX and KML want.
// The string is the caller's; throws only std::bad_alloc.
std::string FormatUtcTime(TDays local, int32_t utcOffsetMinutes);

// Great-circle distance in metres between two WGS 84 positions (haversine on
// the mean Earth radius: good to about 0.5 % over a drive).
double GroundDistanceM(double lon1, double lat1, double lon2, double lat2);
