#include "refhost/output/GeoJsonWriter.h"

#include <cmath>
#include <fstream>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/cells/CellSites.h"
#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/MapValues.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/RecordValues.h"
#include "refhost/output/TextSafety.h"

namespace {

// 1e-7 degrees is about a centimetre: more digits only make the file longer.
double Round7(double degrees) { return std::round(degrees * 1e7) / 1e7; }

nlohmann::json Position(double lon, double lat) { return nlohmann::json::array({Round7(lon), Round7(lat)}); }

void CellProperties(nlohmann::json& p, const TCellKey& k) {
  p["mcc"] = k.Mcc;
  p["mnc"] = k.Mnc;
  p["lac"] = k.Lac;
  p["ci"] = k.CellId;
}

nlohmann::json Feature(const char* layer, double lon, double lat, nlohmann::json properties) {
  properties["layer"] = layer;
  return {{"type", "Feature"},
          {"geometry", {{"type", "Point"}, {"coordinates", Position(lon, lat)}}},
          {"properties", std::move(properties)}};
}

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
  if (r.Serving.Key.Valid) CellProperties(p, r.Serving.Key);
  if (std::isfinite(r.Serving.SiteDistanceM)) p["site_distance_m"] = std::round(r.Serving.SiteDistanceM * 10) / 10;
  return p;
}

}  // namespace

TGeoJsonWriter::TGeoJsonWriter(std::string path, const TCellSites* sites) : Path(std::move(path)), Sites(sites) {
  CheckOutputPath(Path);
}

void TGeoJsonWriter::OnStart(const TSessionSettings& settings) { UtcOffsetMinutes = settings.UtcOffsetMinutes; }

void TGeoJsonWriter::OnFix(const TGpsFix& fix) { Fixes.emplace_back(fix.Longitude, fix.Latitude); }

void TGeoJsonWriter::OnRecord(const THostRecord& record) {
  if (record.Serving.Key.Valid) Served.insert(record.Serving.Key);
  if (!HasPosition(record)) return;
  Located.emplace_back(record.Longitude, record.Latitude);
  Points.push_back(Feature("records", record.Longitude, record.Latitude, RecordProperties(record, UtcOffsetMinutes)));
}

void TGeoJsonWriter::OnEvent(const TDriveEvent& event) {
  if (event.Longitude == -9999.0 || event.Latitude == -9999.0) return;
  Events.push_back(Feature("events", event.Longitude, event.Latitude, EventJson(event, UtcOffsetMinutes)));
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
                        {"properties",
                         {{"layer", "route"}, {"kind", "route"}, {"from", &route == &Fixes ? "fixes" : "records"}}}});
  }
  for (auto& point : Points) features.push_back(std::move(point));
  for (auto& event : Events) features.push_back(std::move(event));
  Points = Events = nlohmann::json::array();
  if (Sites) {
    for (const TCellSite& site : Sites->All()) {
      nlohmann::json p{{"radio", site.Radio}, {"range_m", site.RangeM}, {"served", Served.count(site.Key) > 0}};
      CellProperties(p, site.Key);
      features.push_back(Feature("sites", site.Longitude, site.Latitude, std::move(p)));
    }
  }

  TOutputFile out(Path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(JsonText(nlohmann::json{{"type", "FeatureCollection"}, {"features", std::move(features)}}) + "\n");
  out.Commit();
}
