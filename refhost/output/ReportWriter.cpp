#include "refhost/output/ReportWriter.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/cells/CellSites.h"
#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/RecordValues.h"
#include "refhost/output/ReportAssets.h"
#include "refhost/output/TextSafety.h"

namespace {

using nlohmann::json;

constexpr double NoPosition = -9999.0;

// 1e-6 degrees is about 10 cm: enough for a page, and the page stays small.
double Round6(double degrees) { return std::round(degrees * 1e6) / 1e6; }

json Degrees(double v) { return v == NoPosition || !std::isfinite(v) ? json(nullptr) : json(Round6(v)); }

json CellJson(const TCellKey& k) { return {{"mcc", k.Mcc}, {"mnc", k.Mnc}, {"lac", k.Lac}, {"ci", k.CellId}}; }

// A record as its JSON Lines object, with what the page draws and no more:
// no neighbours, no layer-3 bytes.
json RecordEntry(const THostRecord& r, int32_t offset) {
  const bool positioned = r.Method != TPositionMethod::None;
  json e{{"type", "record"},
         {"index", r.Index},
         {"time1", FormatIsoTime(r.TimeStamp1, offset)},
         {"longitude", positioned ? Degrees(r.Longitude) : json(nullptr)},
         {"latitude", positioned ? Degrees(r.Latitude) : json(nullptr)},
         {"call_state", CallStateName(r.CallState)}};
  if (r.MessageId != 0) {
    const TGsmMessageInfo info = LookupGsmMessage(r.MessageId);
    e["message_name"] = info.Name;
    e["channel"] = info.Channel == TGsmChannel::Bcch ? "bcch" : info.Channel == TGsmChannel::Ccch ? "ccch" : "dcch";
  }
  if (r.Idle) e["idle"] = {{"arfcn", r.Idle->Arfcn}, {"bsic", r.Idle->Bsic}, {"rxlev", r.Idle->RxLev}};
  if (const auto& d = r.DedicatedReport)
    e["dedicated_report"] = {
        {"arfcn", d->Arfcn}, {"bsic", d->Bsic}, {"rxlev_full", d->RxLevFull}, {"rxqual_full", d->RxQualFull}};
  if (r.Serving.Key.Valid || r.Serving.Arfcn != 0) {
    json s = r.Serving.Key.Valid ? CellJson(r.Serving.Key) : json::object();
    if (r.Serving.Arfcn != 0) s["arfcn"] = r.Serving.Arfcn, s["bsic"] = r.Serving.Bsic;
    if (std::isfinite(r.Serving.SiteDistanceM)) s["site_m"] = std::round(r.Serving.SiteDistanceM);
    e["serving"] = std::move(s);
  }
  return e;
}

void ReplaceOnce(std::string& page, std::string_view marker, std::string_view with) {
  const size_t at = page.find(marker);
  if (at != std::string::npos) page.replace(at, marker.size(), with);
}

}  // namespace

std::string ReportPage(std::string_view entriesJson, std::string_view liveScript) {
  std::string page(ReportTemplateText());
  ReplaceOnce(page, "/*@UPLOT_CSS@*/", UplotStyle());
  ReplaceOnce(page, "/*@UPLOT_LICENSE@*/", UplotLicence());
  ReplaceOnce(page, "/*@UPLOT_JS@*/", UplotScript());
  ReplaceOnce(page, "/*@LIVE_JS@*/", liveScript);
  // The data last: a string in it that looks like a marker stays a string.
  ReplaceOnce(page, "/*@DATA@*/", HtmlScriptJson(entriesJson));
  return page;
}

TReportWriter::TReportWriter(std::string path, const TCellSites* sites) : Path(std::move(path)), Sites(sites) {
  CheckOutputPath(Path);
}

void TReportWriter::OnStart(const TSessionSettings& s) {
  UtcOffsetMinutes = s.UtcOffsetMinutes;
  Entries.push_back(JsonText(json{{"type", "session"},
                                  {"source", s.Source},
                                  {"gps_source", s.GpsSource},
                                  {"utc_offset_minutes", s.UtcOffsetMinutes}}));
  if (!Sites) return;
  json sites = json::array();
  for (const TCellSite& site : Sites->All()) {
    json j = CellJson(site.Key);
    j["radio"] = site.Radio;
    j["longitude"] = Round6(site.Longitude);
    j["latitude"] = Round6(site.Latitude);
    j["range_m"] = site.RangeM;
    sites.push_back(std::move(j));
  }
  Entries.push_back(JsonText(json{{"type", "sites"}, {"sites", std::move(sites)}}));
}

void TReportWriter::OnFix(const TGpsFix& f) {
  Entries.push_back(JsonText(json{{"type", "fix"},
                                  {"time", FormatIsoTime(f.Time, UtcOffsetMinutes)},
                                  {"longitude", Round6(f.Longitude)},
                                  {"latitude", Round6(f.Latitude)}}));
}

void TReportWriter::OnRecord(const THostRecord& r) { Entries.push_back(JsonText(RecordEntry(r, UtcOffsetMinutes))); }

void TReportWriter::OnGap(const TSessionGap& g) {
  Entries.push_back(JsonText(json{{"type", "gap"},
                                  {"from", FormatIsoTime(g.From, UtcOffsetMinutes)},
                                  {"to", FormatIsoTime(g.To, UtcOffsetMinutes)},
                                  {"why", g.Why}}));
}

void TReportWriter::OnEvent(const TDriveEvent& event) {
  json e = EventJson(event, UtcOffsetMinutes);
  e["type"] = "event";
  Entries.push_back(JsonText(e));
}

void TReportWriter::OnAnalysis(const TSessionAnalysisResult& result) {
  json missing = json::array();
  for (const TCellKey& k : result.CellsMissingFromSites) missing.push_back(CellJson(k));
  const json members{
      {"kpi", KpiJson(result.Kpis)}, {"cells", CellTableJson(result.Cells)}, {"cells_missing_from_sites", missing}};
  Analysis = JsonText(members);
}

void TReportWriter::OnFinish(const TSessionCounters& counters) {
  const std::string page = Page(counters);
  TOutputFile out(Path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(page);
  out.Commit();
}

std::string TReportWriter::Page(const TSessionCounters& c) const {
  json summary{{"type", "summary"},
               {"bytes_received", c.BytesReceived},
               {"frames_decoded", c.FramesDecoded},
               {"frames_rejected", c.FramesRejected},
               {"gaps", c.Gaps},
               {"fixes", c.Fixes},
               {"bytes_undecoded", c.BytesUndecoded},
               {"gps_outages", c.GpsOutages}};
  if (!Analysis.empty()) summary.update(json::parse(Analysis));
  size_t size = 2;
  for (const std::string& e : Entries) size += e.size() + 2;
  std::string data;
  data.reserve(size + 4096);
  data += '[';
  for (const std::string& e : Entries) {
    data += e;
    data += ",\n";
  }
  data += JsonText(summary);
  data += ']';
  return ReportPage(data);
}
