#include "refhost/output/MapValues.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "refhost/output/IsoTime.h"

namespace {

constexpr double NoPosition = -9999.0;
constexpr double DaysTo1970 = 25569.0;  // 1899-12-30 .. 1970-01-01
constexpr double EarthRadiusM = 6371008.8;

constexpr std::array<TLevelBandStyle, LevelBandCount> Styles{{
    {"good", ">= -70 dBm", 0x1a, 0x9e, 0x3f},
    {"fair", "-85 to -71 dBm", 0xe6, 0xc8, 0x1e},
    {"poor", "-95 to -86 dBm", 0xf0, 0x7d, 0x14},
    {"bad", "< -95 dBm", 0xd7, 0x19, 0x1c},
}};

}  // namespace

bool HasPosition(const THostRecord& record) {
  return record.Method != TPositionMethod::None && record.Longitude != NoPosition && record.Latitude != NoPosition &&
         std::isfinite(record.Longitude) && std::isfinite(record.Latitude);
}

std::optional<int> ServingLevelDbm(const THostRecord& record) {
  if (record.DedicatedReport) return int(record.DedicatedReport->RxLevFull) - 110;
  if (record.Idle) return int(record.Idle->RxLev) - 110;
  return std::nullopt;
}

std::optional<int> ServingQuality(const THostRecord& record) {
  if (record.DedicatedReport) return int(record.DedicatedReport->RxQualFull);
  return std::nullopt;
}

std::optional<uint16_t> ServingArfcn(const THostRecord& record) {
  if (record.DedicatedReport) return record.DedicatedReport->Arfcn;
  if (record.Idle) return record.Idle->Arfcn;
  return std::nullopt;
}

TLevelBand LevelBandOf(int levelDbm) {
  if (levelDbm >= -70) return TLevelBand::Good;
  if (levelDbm >= -85) return TLevelBand::Fair;
  if (levelDbm >= -95) return TLevelBand::Poor;
  return TLevelBand::Bad;
}

const TLevelBandStyle& LevelBandStyle(TLevelBand band) { return Styles[size_t(band)]; }

double UtcSeconds(TDays local, int32_t utcOffsetMinutes) {
  return (local - DaysTo1970) * 86400.0 - utcOffsetMinutes * 60.0;
}

std::string FormatUtcTime(TDays local, int32_t utcOffsetMinutes) {
  std::string text = FormatIsoTime(local - utcOffsetMinutes / 1440.0, 0);
  // FormatIsoTime writes "+00:00" for UTC; GPX readers like "Z" best.
  if (text.size() > 6 && text.compare(text.size() - 6, 6, "+00:00") == 0) text.replace(text.size() - 6, 6, "Z");
  return text;
}

double GroundDistanceM(double lon1, double lat1, double lon2, double lat2) {
  const double rad = M_PI / 180.0;
  const double dLat = (lat2 - lat1) * rad, dLon = (lon2 - lon1) * rad;
  const double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
                   std::cos(lat1 * rad) * std::cos(lat2 * rad) * std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * EarthRadiusM * std::asin(std::min(1.0, std::sqrt(a)));
}
