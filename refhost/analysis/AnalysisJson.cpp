// Names of events, merging of KPIs, and the JSON every output prints.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/output/IsoTime.h"

using nlohmann::json;

namespace {

constexpr std::array<const char*, EventKindCount> KindNames{
    "call_attempt",     "call_setup",       "call_connect",
    "call_end",         "call_drop",        "call_setup_failure",
    "handover_attempt", "handover_success", "handover_failure",
    "reselection",      "location_update_request", "location_update_accept",
    "location_update_reject", "line_gap"};

constexpr int RxLevToDbm = -110;

json Ratio(int64_t part, int64_t whole) { return whole > 0 ? json(double(part) / double(whole)) : json(nullptr); }
json Number(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

// Nearest-rank percentile of a histogram; -1 when empty.
template <size_t N>
int Percentile(const std::array<int64_t, N>& h, double p) {
  int64_t total = 0;
  for (int64_t c : h) total += c;
  if (total == 0) return -1;
  const auto rank = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(p * double(total))));
  int64_t seen = 0;
  for (size_t i = 0; i < N; ++i)
    if ((seen += h[i]) >= rank) return static_cast<int>(i);
  return static_cast<int>(N - 1);
}

template <size_t N>
json Spread(const std::array<int64_t, N>& h, int offset) {
  int64_t total = 0;
  double sum = 0;
  int lo = -1, hi = -1;
  for (size_t i = 0; i < N; ++i) {
    if (h[i] == 0) continue;
    total += h[i];
    sum += double(h[i]) * double(i);
    if (lo < 0) lo = static_cast<int>(i);
    hi = static_cast<int>(i);
  }
  auto at = [&](int code) { return code < 0 ? json(nullptr) : json(code + offset); };
  return json{{"samples", total},
              {"mean", total > 0 ? json(sum / double(total) + offset) : json(nullptr)},
              {"min", at(lo)},
              {"p10", at(Percentile(h, 0.10))},
              {"p50", at(Percentile(h, 0.50))},
              {"p90", at(Percentile(h, 0.90))},
              {"max", at(hi)}};
}

// The level bands of the maps: -70 dBm and up, -85 to -71, -95 to -86, below -95.
json LevelBands(const std::array<int64_t, 64>& h) {
  struct TBand {
    const char* Name;
    int FromDbm, ToDbm;
  };
  static constexpr TBand Bands[] = {
      {"good", -70, -47}, {"fair", -85, -71}, {"poor", -95, -86}, {"bad", -110, -96}};
  int64_t total = 0;
  for (int64_t c : h) total += c;
  json out = json::array();
  for (const TBand& b : Bands) {
    int64_t n = 0;
    for (int code = b.FromDbm - RxLevToDbm; code <= b.ToDbm - RxLevToDbm; ++code) n += h[static_cast<size_t>(code)];
    out.push_back({{"band", b.Name}, {"from_dbm", b.FromDbm}, {"to_dbm", b.ToDbm}, {"samples", n},
                   {"share", Ratio(n, total)}});
  }
  return out;
}

json QualityShares(const std::array<int64_t, 8>& h) {
  int64_t total = 0;
  for (int64_t c : h) total += c;
  json out = json::array();
  for (int64_t c : h) out.push_back(Ratio(c, total));
  return out;
}

json Key(const TCellKey& k, json& into, const char* prefix) {
  const std::string p(prefix);
  into[p + "mcc"] = k.Valid ? json(k.Mcc) : json(nullptr);
  into[p + "mnc"] = k.Valid ? json(k.Mnc) : json(nullptr);
  into[p + "lac"] = k.Valid ? json(k.Lac) : json(nullptr);
  into[p + "ci"] = k.Valid ? json(k.CellId) : json(nullptr);
  return into;
}

}  // namespace

const char* EventKindName(TEventKind kind) {
  const auto i = static_cast<size_t>(kind);
  return i < KindNames.size() ? KindNames[i] : "unknown";
}

bool EventKindFromName(std::string_view name, TEventKind& out) {
  for (size_t i = 0; i < KindNames.size(); ++i)
    if (name == KindNames[i]) {
      out = static_cast<TEventKind>(i);
      return true;
    }
  return false;
}

const char* CallDirectionName(TCallDirection direction) {
  switch (direction) {
    case TCallDirection::Originating: return "mo";
    case TCallDirection::Terminating: return "mt";
    case TCallDirection::None: break;
  }
  return "";
}

std::string KpiSentence(const TSessionKpis& k) {
  char text[256];
  std::snprintf(text, sizeof text,
                "%lld call attempts, %lld set up, %lld set-up failures, %lld dropped; %lld handovers, %lld succeeded",
                static_cast<long long>(k.CallAttempts), static_cast<long long>(k.CallSetups),
                static_cast<long long>(k.CallSetupFailures), static_cast<long long>(k.CallDrops),
                static_cast<long long>(k.HandoverAttempts), static_cast<long long>(k.HandoverSuccesses));
  return text;
}

void MergeKpis(TSessionKpis& into, const TSessionKpis& from) {
  into.CallAttempts += from.CallAttempts;
  into.CallSetups += from.CallSetups;
  into.CallSetupFailures += from.CallSetupFailures;
  into.CallConnects += from.CallConnects;
  into.CallEnds += from.CallEnds;
  into.CallDrops += from.CallDrops;
  into.HandoverAttempts += from.HandoverAttempts;
  into.HandoverSuccesses += from.HandoverSuccesses;
  into.HandoverFailures += from.HandoverFailures;
  into.LocationUpdates += from.LocationUpdates;
  into.LocationUpdateAccepts += from.LocationUpdateAccepts;
  into.LocationUpdateRejects += from.LocationUpdateRejects;
  into.Reselections += from.Reselections;
  into.LineGaps += from.LineGaps;
  into.SetupTimesS.insert(into.SetupTimesS.end(), from.SetupTimesS.begin(), from.SetupTimesS.end());
  for (size_t i = 0; i < into.LevelSamples.size(); ++i) into.LevelSamples[i] += from.LevelSamples[i];
  for (size_t i = 0; i < into.QualitySamples.size(); ++i) into.QualitySamples[i] += from.QualitySamples[i];
  into.DurationS += from.DurationS;
  into.SecondsWithoutGps += from.SecondsWithoutGps;
  into.SecondsLineDown += from.SecondsLineDown;
  into.Records += from.Records;
}

void MergeCellStats(TCellStats& into, const TCellStats& from) {
  into.Samples += from.Samples;
  into.SecondsServed += from.SecondsServed;
  for (size_t i = 0; i < into.LevelSamples.size(); ++i) into.LevelSamples[i] += from.LevelSamples[i];
  for (size_t i = 0; i < into.QualitySamples.size(); ++i) into.QualitySamples[i] += from.QualitySamples[i];
  into.Calls += from.Calls;
  into.Drops += from.Drops;
  into.HandoversIn += from.HandoversIn;
  into.HandoversOut += from.HandoversOut;
}

nlohmann::json KpiJson(const TSessionKpis& k) {
  std::vector<double> times = k.SetupTimesS;
  std::sort(times.begin(), times.end());
  double mean = NAN, p95 = NAN;
  if (!times.empty()) {
    double sum = 0;
    for (double t : times) sum += t;
    mean = sum / double(times.size());
    const auto rank = std::max<size_t>(1, static_cast<size_t>(std::ceil(0.95 * double(times.size()))));
    p95 = times[rank - 1];
  }
  return json{
      {"call_attempts", k.CallAttempts},
      {"call_setups", k.CallSetups},
      {"call_setup_failures", k.CallSetupFailures},
      {"call_setup_success_ratio", Ratio(k.CallSetups, k.CallSetups + k.CallSetupFailures)},
      {"call_connects", k.CallConnects},
      {"call_ends", k.CallEnds},
      {"call_drops", k.CallDrops},
      {"dropped_call_ratio", Ratio(k.CallDrops, k.CallDrops + k.CallEnds)},
      {"setup_time_mean_s", Number(mean)},
      {"setup_time_p95_s", Number(p95)},
      {"handover_attempts", k.HandoverAttempts},
      {"handover_successes", k.HandoverSuccesses},
      {"handover_failures", k.HandoverFailures},
      {"handover_success_ratio", Ratio(k.HandoverSuccesses, k.HandoverSuccesses + k.HandoverFailures)},
      {"location_updates", k.LocationUpdates},
      {"location_update_accepts", k.LocationUpdateAccepts},
      {"location_update_rejects", k.LocationUpdateRejects},
      {"location_update_success_ratio",
       Ratio(k.LocationUpdateAccepts, k.LocationUpdateAccepts + k.LocationUpdateRejects)},
      {"reselections", k.Reselections},
      {"line_gaps", k.LineGaps},
      {"records", k.Records},
      {"duration_s", k.DurationS},
      {"seconds_without_gps", k.SecondsWithoutGps},
      {"seconds_line_down", k.SecondsLineDown},
      {"level_dbm", Spread(k.LevelSamples, RxLevToDbm)},
      {"level_bands", LevelBands(k.LevelSamples)},
      {"quality", Spread(k.QualitySamples, 0)},
      {"quality_shares", QualityShares(k.QualitySamples)},
  };
}

nlohmann::json CellTableJson(const std::vector<TCellStats>& cells) {
  json out = json::array();
  for (const TCellStats& c : cells) {
    json row;
    Key(c.Key, row, "");
    const json level = Spread(c.LevelSamples, RxLevToDbm), quality = Spread(c.QualitySamples, 0);
    row["arfcn"] = c.Arfcn;
    row["bsic"] = c.Bsic;
    row["samples"] = c.Samples;
    row["seconds_served"] = c.SecondsServed;
    row["level_mean_dbm"] = level["mean"];
    row["level_min_dbm"] = level["min"];
    row["level_max_dbm"] = level["max"];
    row["quality_mean"] = quality["mean"];
    row["quality_min"] = quality["min"];
    row["quality_max"] = quality["max"];
    row["calls"] = c.Calls;
    row["drops"] = c.Drops;
    row["handovers_in"] = c.HandoversIn;
    row["handovers_out"] = c.HandoversOut;
    out.push_back(std::move(row));
  }
  return out;
}

nlohmann::json EventJson(const TDriveEvent& e, int32_t utcOffsetMinutes) {
  const bool placed = e.Longitude != -9999.0 && std::isfinite(e.Longitude);
  json o{{"time", FormatIsoTime(e.Time, utcOffsetMinutes)},
         {"kind", EventKindName(e.Kind)},
         {"direction", CallDirectionName(e.Direction)},
         {"setup_time_s", Number(e.SetupTimeS)},
         {"longitude", placed ? json(e.Longitude) : json(nullptr)},
         {"latitude", placed ? json(e.Latitude) : json(nullptr)}};
  Key(e.Cell.Key, o, "");
  o["arfcn"] = e.Cell.Arfcn;
  o["bsic"] = e.Cell.Bsic;
  o["target_arfcn"] = e.TargetArfcn;
  o["target_bsic"] = e.TargetBsic;
  Key(e.Target, o, "target_");
  o["cause"] = e.Cause;
  o["first_record"] = e.FirstRecord;
  o["last_record"] = e.LastRecord;
  return o;
}
