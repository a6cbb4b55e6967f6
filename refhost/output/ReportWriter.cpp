#include "refhost/output/ReportWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/MapValues.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/ReportAssets.h"

namespace {

using nlohmann::json;

constexpr double DaysTo1970 = 25569.0;
constexpr double NoPosition = -9999.0;
// Fixes further apart than this leave the time between them without GPS.
constexpr double FixIntervalS = 3.0;
constexpr const char* RouteColour = "#6b7b8c";

constexpr uint16_t CcSetup = GsmPdCallControl << 8 | 0x05, CcConnect = GsmPdCallControl << 8 | 0x07,
                   CcDisconnect = GsmPdCallControl << 8 | 0x25, CcRelease = GsmPdCallControl << 8 | 0x2D,
                   CcReleaseComplete = GsmPdCallControl << 8 | 0x2A;

// Local time in seconds: what the chart shows, as if it were UTC.
double LocalSeconds(TDays t) { return (t - DaysTo1970) * 86400.0; }

std::string Duration(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

// "2026-12-08 10:15:02": the offset is in the page's subtitle.
std::string LocalText(TDays t, int32_t utcOffsetMinutes) {
  std::string text = FormatIsoTime(t, utcOffsetMinutes).substr(0, 19);
  text[10] = ' ';
  return text;
}

std::string Hex(const TLevelBandStyle& s) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", s.Red, s.Green, s.Blue);
  return text;
}

bool InCall(TCallStateView s) { return s == TCallStateView::Alerting || s == TCallStateView::Connected; }
bool IsRelease(uint16_t id) { return id == CcDisconnect || id == CcRelease || id == CcReleaseComplete; }

// A page must not end its own script early: "</" in the data is written "<\/".
std::string ScriptSafe(std::string text) {
  for (size_t at = 0; (at = text.find("</", at)) != std::string::npos; at += 3) text.insert(at + 1, "\\");
  return text;
}

void ReplaceOnce(std::string& page, std::string_view marker, std::string_view with) {
  const size_t at = page.find(marker);
  if (at != std::string::npos) page.replace(at, marker.size(), with);
}

}  // namespace

TReportWriter::TReportWriter(std::string path) : Path(std::move(path)) { CheckOutputPath(Path); }

void TReportWriter::OnStart(const TSessionSettings& settings) { Settings = settings; }

void TReportWriter::OnFix(const TGpsFix& fix) { Fixes.push_back(fix); }

void TReportWriter::OnRecord(const THostRecord& r) {
  TSample s{r.TimeStamp1, NoPosition, NoPosition, 0, -1, r.CallState, r.MessageId};
  if (HasPosition(r)) {
    s.Longitude = r.Longitude;
    s.Latitude = r.Latitude;
  }
  if (const auto level = ServingLevelDbm(r)) s.Level = *level;
  if (const auto quality = ServingQuality(r)) s.Quality = *quality;
  Samples.push_back(s);
}

void TReportWriter::OnGap(const TSessionGap& gap) { Gaps.push_back(gap); }

void TReportWriter::OnFinish(const TSessionCounters& counters) {
  const std::string page = Page(counters);
  TOutputFile out(Path, TFlushPolicy::WhenFull, TOutputMode::Replace);
  out.Write(page);
  out.Commit();
}

std::string TReportWriter::Page(const TSessionCounters& counters) const {
  const int32_t offset = Settings.UtcOffsetMinutes;
  json data;

  // Map: the route, the records with a level, the call events.
  json route = json::array(), points = json::array(), events = json::array();
  for (const TGpsFix& f : Fixes) route.push_back({f.Longitude, f.Latitude});
  for (const TSample& s : Samples) {
    if (s.Longitude == NoPosition) continue;
    if (Fixes.size() < 2) route.push_back({s.Longitude, s.Latitude});
    if (s.Level != 0) points.push_back({s.Longitude, s.Latitude, s.Level});
  }
  if (route.size() < 2) route = json::array();

  // Calls: from the SETUP (or the first record in a call state) to the first
  // record out of it; released when a release was signalled, else dropped.
  json calls = json::array();
  int64_t callsSeen = 0, dropsSeen = 0;
  const TSample* lastPositioned = nullptr;
  auto event = [&](const char* kind, const TSample* at) {
    if (at && at->Longitude != NoPosition)
      events.push_back({{"kind", kind}, {"lon", at->Longitude}, {"lat", at->Latitude}});
  };
  double callFrom = NAN;
  bool inCall = false, released = false;
  for (const TSample& s : Samples) {
    if (s.Longitude != NoPosition) lastPositioned = &s;
    if (s.MessageId == CcSetup && !inCall) {
      callFrom = LocalSeconds(s.Time);
      event("setup", &s);
    }
    if (s.MessageId == CcConnect) event("connect", &s);
    if (inCall && IsRelease(s.MessageId) && !released) {
      released = true;
      event("release", &s);
    }
    if (!inCall && InCall(s.CallState)) {
      inCall = true;
      released = false;
      ++callsSeen;
      if (std::isnan(callFrom)) callFrom = LocalSeconds(s.Time);
    } else if (inCall && !InCall(s.CallState)) {
      inCall = false;
      released = released || s.CallState == TCallStateView::Released;
      if (!released) {
        ++dropsSeen;
        event("drop", lastPositioned);
      }
      calls.push_back({{"from", callFrom}, {"to", LocalSeconds(s.Time)}, {"end", released ? "released" : "dropped"}});
      callFrom = NAN;
    }
  }
  if (inCall && !Samples.empty())
    calls.push_back({{"from", callFrom}, {"to", LocalSeconds(Samples.back().Time)}, {"end", "open"}});

  // Chart series: the records with a report.
  json t = json::array(), level = json::array(), quality = json::array();
  for (const TSample& s : Samples) {
    if (s.Level == 0) continue;
    t.push_back(LocalSeconds(s.Time));
    level.push_back(s.Level);
    quality.push_back(s.Quality >= 0 ? json(s.Quality) : json(nullptr));
  }
  json gaps = json::array();
  for (const TSessionGap& g : Gaps) gaps.push_back({{"from", LocalSeconds(g.From)}, {"to", LocalSeconds(g.To)}, {"why", g.Why}});

  // Messages by type, most frequent first.
  struct TCount {
    int64_t Count = 0;
    TDays First = 0;
    TGsmChannel Channel = TGsmChannel::Dcch;
  };
  std::map<std::string, TCount> byName;
  for (const TSample& s : Samples) {
    if (s.MessageId == 0) continue;
    const TGsmMessageInfo info = LookupGsmMessage(s.MessageId);
    TCount& c = byName[info.Name];
    if (c.Count++ == 0) c.First = s.Time;
    c.Channel = info.Channel;
  }
  std::vector<std::pair<std::string, TCount>> sorted(byName.begin(), byName.end());
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
    return a.second.Count != b.second.Count ? a.second.Count > b.second.Count : a.second.First < b.second.First;
  });
  json messages = json::array();
  for (const auto& [name, c] : sorted) {
    const char* channel = c.Channel == TGsmChannel::Bcch ? "BCCH" : c.Channel == TGsmChannel::Ccch ? "CCCH" : "DCCH";
    messages.push_back({{"name", name}, {"channel", channel}, {"count", c.Count}, {"first", LocalText(c.First, offset)}});
  }

  // Summary.
  TDays from = INFINITY, to = -INFINITY;
  for (const TSample& s : Samples) from = std::min(from, s.Time), to = std::max(to, s.Time);
  for (const TGpsFix& f : Fixes) from = std::min(from, f.Time), to = std::max(to, f.Time);
  const bool empty = from > to;
  if (empty) from = to = 0;
  double distanceM = 0, withoutGpsS = 0;
  for (size_t i = 1; i < Fixes.size(); ++i) {
    distanceM += GroundDistanceM(Fixes[i - 1].Longitude, Fixes[i - 1].Latitude, Fixes[i].Longitude, Fixes[i].Latitude);
    const double step = (Fixes[i].Time - Fixes[i - 1].Time) * 86400.0;
    if (step > FixIntervalS) withoutGpsS += step;
  }
  if (Fixes.empty()) {
    withoutGpsS = (to - from) * 86400.0;
  } else {
    withoutGpsS += (Fixes.front().Time - from) * 86400.0 + (to - Fixes.back().Time) * 86400.0;
  }
  double gapS = 0;
  for (const TSessionGap& g : Gaps) gapS += (g.To - g.From) * 86400.0;
  // The session's own counters when it ended with them; else what the records show.
  const bool counted = counters.FramesDecoded > 0 || counters.CallsSetUp > 0;
  char distance[32];
  std::snprintf(distance, sizeof distance, "%.2f km", distanceM / 1000.0);
  const std::string gapsText = std::to_string(Gaps.size()) + (Gaps.empty() ? "" : " (" + Duration(gapS) + ")");
  json summary = json::array({
      {"Start", empty ? "-" : LocalText(from, offset)},
      {"End", empty ? "-" : LocalText(to, offset)},
      {"Duration", Duration((to - from) * 86400.0)},
      {"Distance", distance},
      {"Records", std::to_string(Samples.size())},
      {"GPS fixes", std::to_string(Fixes.size())},
      {"Calls set up", std::to_string(counted ? counters.CallsSetUp : callsSeen)},
      {"Calls dropped", std::to_string(counted ? counters.CallsDropped : dropsSeen)},
      {"Line gaps", gapsText},
      {"Time without GPS", Duration(withoutGpsS)},
      {"Handset", Settings.Source.empty() ? "-" : Settings.Source},
      {"GPS source", Settings.GpsSource.empty() ? "none" : Settings.GpsSource},
  });

  json bands = json::array();
  for (int b = 0; b < LevelBandCount; ++b) {
    const TLevelBandStyle& s = LevelBandStyle(TLevelBand(b));
    bands.push_back({{"id", s.Id}, {"label", s.Label}, {"colour", Hex(s)}});
  }
  data["subtitle"] = empty ? std::string("Empty session")
                           : LocalText(from, offset).substr(0, 16) + " to " + LocalText(to, offset).substr(11, 5) + " (UTC" +
                                 FormatIsoTime(from, offset).substr(23) + "), handset " + Settings.Source;
  data["bands"] = std::move(bands);
  data["routeColour"] = RouteColour;
  data["route"] = std::move(route);
  data["points"] = std::move(points);
  data["events"] = std::move(events);
  data["series"] = {{"t", std::move(t)}, {"level", std::move(level)}, {"quality", std::move(quality)}};
  data["calls"] = std::move(calls);
  data["gaps"] = std::move(gaps);
  data["messages"] = std::move(messages);
  data["summary"] = std::move(summary);

  std::string page(ReportTemplateText());
  ReplaceOnce(page, "/*@UPLOT_CSS@*/", UplotStyle());
  ReplaceOnce(page, "/*@DATA@*/", ScriptSafe(data.dump()));
  ReplaceOnce(page, "/*@UPLOT_LICENSE@*/", UplotLicence());
  ReplaceOnce(page, "/*@UPLOT_JS@*/", UplotScript());
  return page;
}
