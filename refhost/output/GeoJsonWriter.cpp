#include "refhost/output/GeoJsonWriter.h"

#include <cmath>
#include <fstream>

#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/MapValues.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/RecordValues.h"

namespace {

// 1e-7 degrees is about a centimetre: more digits only make the file longer.
double Round7(double degrees) { return std::round(degrees * 1e7) / 1e7; }

nlohmann::json Position(double lon, double lat) { return nlohmann::json::array({Round7(lon), Round7(lat)}); }

nlohmann::json RecordProperties(const THostRecord& r, int32_t utcOffsetMinutes) {
  nlohmann::json p;
  p["index"] = r.Index;
  p["time"] = FormatIsoTime(r.TimeStamp1, utcOffsetMinutes);
  p["position_method"] = PositionMethodName(r.Method);
  p["call_state"] = CallStateName(r.CallState);
  p["dedicated"] = r.Dedicated;
  if (r.MessageId != 0) {
    p["message_id"] = FormatMessageId(r.MessageId);
    p["message"] = LookupGsmMessage(r.MessageId).Name;
  }
  if (const auto level = ServingLevelDbm(r)) {
    p["rxlev_dbm"] = *level;
    p["level_band"] = LevelBandStyle(LevelBandOf(*level)).Id;
  }
  if (r.Idle) {
    p["arfcn"] = r.Idle->Arfcn;
    p["bsic"] = r.Idle->Bsic;
    p["c1"] = r.Idle->C1;
    p["c2"] = r.Idle->C2;
    p["neighbours"] = FormatNeighbours(r.Idle->Neighbours);
  }
  if (const auto& d = r.DedicatedReport) {
    p["arfcn"] = d->Arfcn;
    p["bsic"] = d->Bsic;
    p["rxlev_sub_dbm"] = int(d->RxLevSub) - 110;
    p["rxqual_full"] = d->RxQualFull;
    p["rxqual_sub"] = d->RxQualSub;
    p["timing_advance"] = d->TimingAdvance;
    p["tx_power"] = d->TxPower;
    p["neighbours"] = FormatNeighbours(d->Neighbours);
  }
  return p;
}

}  // namespace

TGeoJsonWriter::TGeoJsonWriter(std::string path) : Path(std::move(path)) { CheckOutputPath(Path); }

void TGeoJsonWriter::OnStart(const TSessionSettings& settings) { UtcOffsetMinutes = settings.UtcOffsetMinutes; }

void TGeoJsonWriter::OnFix(const TGpsFix& fix) { Fixes.emplace_back(fix.Longitude, fix.Latitude); }

void TGeoJsonWriter::OnRecord(const THostRecord& record) {
  if (!HasPosition(record)) return;
  Located.emplace_back(record.Longitude, record.Latitude);
  Points.push_back({{"type", "Feature"},
                    {"geometry", {{"type", "Point"}, {"coordinates", Position(record.Longitude, record.Latitude)}}},
                    {"properties", RecordProperties(record, UtcOffsetMinutes)}});
}

void TGeoJsonWriter::OnFinish(const TSessionCounters&) {
  nlohmann::json features = nlohmann::json::array();
  const auto& route = Fixes.size() >= 2 ? Fixes : Located;
  // A LineString needs two positions or more.
  if (route.size() >= 2) {
    nlohmann::json line = nlohmann::json::array();
    for (const auto& [lon, lat] : route) line.push_back(Position(lon, lat));
    features.push_back({{"type", "Feature"},
                        {"geometry", {{"type", "LineString"}, {"coordinates", std::move(line)}}},
                        {"properties", {{"kind", "route"}, {"from", &route == &Fixes ? "fixes" : "records"}}}});
  }
  for (auto& point : Points) features.push_back(std::move(point));
  Points = nlohmann::json::array();

  TOutputFile out(Path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(nlohmann::json{{"type", "FeatureCollection"}, {"features", std::move(features)}}.dump() + "\n");
  out.Commit();
}
