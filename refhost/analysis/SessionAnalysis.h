// The analysis stage: sits between the record store and the writers, reads
// each record once as it passes, and derives the serving cell (from the
// system information on its channel), the drive's events and its KPIs.
// Live sessions, replays, export, report and the campaign all put it in
// front of their writers, so every output shows the same numbers.
//
// Threads: the sink calls come from one thread; Snapshot may be called from
// any other (the status line).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "refhost/core/SessionTypes.h"

class TCellSites;

class TAnalysisStage : public TRecordSink {
 public:
  // `downstream` sinks are borrowed and get every call after the stage has
  // seen it: records with their serving cell filled, each event right after
  // the record or gap that decided it, OnAnalysis just before OnFinish.
  // `sites` (borrowed, may be null) gives the distance to the serving site
  // and the serving cells missing from the cell file.
  explicit TAnalysisStage(std::vector<TRecordSink*> downstream, const TCellSites* sites = nullptr);
  ~TAnalysisStage() override;

  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  void OnGap(const TSessionGap& gap) override;
  void OnFinish(const TSessionCounters& counters) override;

  // The KPIs so far; safe from any thread.
  TSessionKpis Snapshot() const;
  // The whole result; complete once OnFinish has run.
  const TSessionAnalysisResult& Result() const;

 private:
  struct TState;
  std::vector<TRecordSink*> Downstream;
  const TCellSites* Sites;
  std::unique_ptr<TState> State;
  mutable std::mutex SnapshotLock;
  TSessionKpis Shared;
};

// Words the outputs use for events: "call_attempt", "call_setup",
// "call_connect", "call_end", "call_drop", "call_setup_failure",
// "handover_attempt", "handover_success", "handover_failure", "reselection",
// "location_update_request", "location_update_accept",
// "location_update_reject", "line_gap". And "mo", "mt", "" for directions.
const char* EventKindName(TEventKind kind);
bool EventKindFromName(std::string_view name, TEventKind& out);
const char* CallDirectionName(TCallDirection direction);

// The calls and handovers in one sentence, for the closing summaries:
// "2 call attempts, 1 set up, 1 set-up failure, 0 dropped; 3 handovers, 3 succeeded".
std::string KpiSentence(const TSessionKpis& kpis);

// Adds `from` into `into`: counts and samples summed, set-up times joined.
void MergeKpis(TSessionKpis& into, const TSessionKpis& from);
void MergeCellStats(TCellStats& into, const TCellStats& from);

// The KPI object every output prints (`kpi --json`, the JSON Lines
// summary's "kpi", the report, the campaign's tables): call_attempts,
// call_setups, call_setup_success_ratio, call_connects, call_drops,
// dropped_call_ratio, handover_attempts, handover_successes,
// handover_success_ratio, location_updates, location_update_success_ratio,
// set-up time mean and 95th percentile, level and quality shares and
// percentiles, time without GPS and with the line down. Ratios are
// fractions 0..1, null when there is nothing to divide by.
nlohmann::json KpiJson(const TSessionKpis& kpis);
// One object per cell: mcc, mnc, lac, ci, arfcn, bsic, samples,
// seconds_served, level and quality mean/min/max, calls, drops,
// handovers_in, handovers_out.
nlohmann::json CellTableJson(const std::vector<TCellStats>& cells);
// One event as the outputs write it (JSON Lines "event" line, GeoJSON
// properties, the report's data).
nlohmann::json EventJson(const TDriveEvent& event, int32_t utcOffsetMinutes);
