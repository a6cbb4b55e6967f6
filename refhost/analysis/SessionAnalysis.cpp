#include "refhost/analysis/SessionAnalysis.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "refhost/analysis/CallTracker.h"
#include "refhost/analysis/ServingTracker.h"
#ifdef ORVIK_WITH_CELL_SITES
#include "refhost/cells/CellSites.h"
#endif

namespace {

// Longer than this between two records is not "served" time: the handset
// said nothing, so nothing is known of the cell.
constexpr double MaxServedStepS = 30.0;
// Fixes come every second; a longer silence is time without GPS.
constexpr double GpsSilenceS = 2.0;
// The status line reads the KPIs at most four times a second.
constexpr int64_t SnapshotEveryRecords = 32;

bool Positioned(const THostRecord& r) { return r.Method != TPositionMethod::None && r.Longitude != -9999.0; }

[[maybe_unused]] double DistanceM(double lon1, double lat1, double lon2, double lat2) {
  constexpr double EarthRadiusM = 6371008.8, Rad = 3.14159265358979323846 / 180;
  const double dLat = (lat2 - lat1) * Rad, dLon = (lon2 - lon1) * Rad;
  const double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
                   std::cos(lat1 * Rad) * std::cos(lat2 * Rad) * std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * EarthRadiusM * std::asin(std::min(1.0, std::sqrt(a)));
}

using TRowKey = std::tuple<TCellKey, uint16_t, uint8_t>;

}  // namespace

struct TAnalysisStage::TState {
  TSessionAnalysisResult Result;
  TSessionKpis& Kpis = Result.Kpis;
  TServingTracker Serving;
  TCallTracker Calls;
  THostRecord Work;  // the record passed on, its buffers reused
  std::vector<TDriveEvent> Events;
  std::map<TRowKey, size_t> Rows;
  int64_t LastRow = -1;
  TDays LastRecordTime = NAN;
  TDays FirstTime = NAN, LastTime = NAN;
  TDays FirstFix = NAN, LastFix = NAN;
  double LastLongitude = -9999.0, LastLatitude = -9999.0;
  int64_t SinceSnapshot = 0;
  int64_t LastIndex = -1;

  void SeeTime(TDays t) {
    if (!(t >= FirstTime)) FirstTime = std::isnan(FirstTime) ? t : std::min(FirstTime, t);
    if (!(t <= LastTime)) LastTime = std::isnan(LastTime) ? t : std::max(LastTime, t);
  }

  TCellStats& Row(const TServingCell& cell) {
    const TRowKey key{cell.Key, cell.Arfcn, cell.Bsic};
    auto [at, added] = Rows.try_emplace(key, Result.Cells.size());
    if (added) {
      TCellStats stats;
      stats.Key = cell.Key;
      stats.Arfcn = cell.Arfcn;
      stats.Bsic = cell.Bsic;
      Result.Cells.push_back(stats);
    }
    return Result.Cells[at->second];
  }

  void Count(const TDriveEvent& e) {
    TSessionKpis& k = Kpis;
    const bool served = e.Cell.Arfcn != 0;
    switch (e.Kind) {
      case TEventKind::CallAttempt:
        ++k.CallAttempts;
        if (served) ++Row(e.Cell).Calls;
        break;
      case TEventKind::CallSetup:
        ++k.CallSetups;
        if (std::isfinite(e.SetupTimeS)) k.SetupTimesS.push_back(e.SetupTimeS);
        break;
      case TEventKind::CallConnect: ++k.CallConnects; break;
      case TEventKind::CallEnd: ++k.CallEnds; break;
      case TEventKind::CallDrop:
        ++k.CallDrops;
        if (served) ++Row(e.Cell).Drops;
        break;
      case TEventKind::CallSetupFailure: ++k.CallSetupFailures; break;
      case TEventKind::HandoverAttempt: ++k.HandoverAttempts; break;
      case TEventKind::HandoverSuccess: {
        ++k.HandoverSuccesses;
        if (served) ++Row(e.Cell).HandoversOut;
        TServingCell target;
        target.Key = e.Target;
        target.Arfcn = e.TargetArfcn;
        target.Bsic = e.TargetBsic;
        ++Row(target).HandoversIn;
        break;
      }
      case TEventKind::HandoverFailure: ++k.HandoverFailures; break;
      case TEventKind::Reselection: ++k.Reselections; break;
      case TEventKind::LocationUpdateRequest: ++k.LocationUpdates; break;
      case TEventKind::LocationUpdateAccept: ++k.LocationUpdateAccepts; break;
      case TEventKind::LocationUpdateReject: ++k.LocationUpdateRejects; break;
      case TEventKind::LineGap: ++k.LineGaps; break;
    }
  }

  void Sample(const THostRecord& r, TCellStats* row) {
    int level = -1, quality = -1;
    if (r.DedicatedReport) {
      level = r.DedicatedReport->RxLevFull;
      quality = r.DedicatedReport->RxQualFull;
    } else if (r.Idle) {
      level = r.Idle->RxLev;
    }
    if (level >= 0) {
      ++Kpis.LevelSamples[static_cast<size_t>(level & 63)];
      if (row) ++row->LevelSamples[static_cast<size_t>(level & 63)];
    }
    if (quality >= 0) {
      ++Kpis.QualitySamples[static_cast<size_t>(quality & 7)];
      if (row) ++row->QualitySamples[static_cast<size_t>(quality & 7)];
    }
  }

  // Rows of a cell seen before its identity was read join the row of that
  // identity: one line per cell in the table.
  void JoinUnidentifiedRows() {
    std::vector<TCellStats> joined;
    std::map<TRowKey, size_t> at;
    for (const TCellStats& c : Result.Cells) {
      TServingCell cell;
      cell.Key = c.Key.Valid ? c.Key : Serving.IdentityOf(c.Arfcn, c.Bsic);
      cell.Arfcn = c.Arfcn;
      cell.Bsic = c.Bsic;
      const TRowKey key{cell.Key, c.Arfcn, c.Bsic};
      auto [it, added] = at.try_emplace(key, joined.size());
      if (added) {
        joined.push_back(c);
        joined.back().Key = cell.Key;
      } else {
        MergeCellStats(joined[it->second], c);
      }
    }
    Result.Cells = std::move(joined);
  }
};

TAnalysisStage::TAnalysisStage(std::vector<TRecordSink*> downstream, const TCellSites* sites)
    : Downstream(std::move(downstream)), Sites(sites), State(std::make_unique<TState>()) {}

TAnalysisStage::~TAnalysisStage() = default;

void TAnalysisStage::OnStart(const TSessionSettings& settings) {
  for (TRecordSink* s : Downstream) s->OnStart(settings);
}

void TAnalysisStage::OnFix(const TGpsFix& fix) {
  TState& st = *State;
  st.SeeTime(fix.Time);
  if (!std::isnan(st.LastFix)) {
    const double step = SecondsBetween(st.LastFix, fix.Time);
    if (step > GpsSilenceS) st.Kpis.SecondsWithoutGps += step;
  } else {
    st.FirstFix = fix.Time;
  }
  st.LastFix = std::max(fix.Time, std::isnan(st.LastFix) ? fix.Time : st.LastFix);
  for (TRecordSink* s : Downstream) s->OnFix(fix);
}

void TAnalysisStage::OnRecord(const THostRecord& record) {
  TState& st = *State;
  st.Work = record;
  THostRecord& r = st.Work;
  st.Events.clear();
  const TDays t = r.TimeStamp1;
  st.SeeTime(t);
  ++st.Kpis.Records;

  TEventContext where{t, Positioned(r) ? r.Longitude : -9999.0, Positioned(r) ? r.Latitude : -9999.0, r.Index};
  if (Positioned(r)) {
    st.LastLongitude = r.Longitude;
    st.LastLatitude = r.Latitude;
  }
  // Reports and system information first: an event of this record is in
  // the cell the record tells of (a reselection carries the old one).
  st.Serving.See(r, st.Calls.Busy(), where, st.Events);
  st.Calls.See(r, st.Serving, where, st.Events);

  r.Serving = st.Serving.Cell();
#ifdef ORVIK_WITH_CELL_SITES
  if (Sites != nullptr && r.Serving.Key.Valid && Positioned(r))
    if (const TCellSite* site = Sites->Find(r.Serving.Key))
      r.Serving.SiteDistanceM = DistanceM(r.Longitude, r.Latitude, site->Longitude, site->Latitude);
#endif
  TCellStats* row = r.Serving.Arfcn != 0 ? &st.Row(r.Serving) : nullptr;
  if (row) ++row->Samples;
  st.Sample(r, row);
  if (st.LastRow >= 0 && !std::isnan(st.LastRecordTime)) {
    const double step = SecondsBetween(st.LastRecordTime, t);
    if (step > 0 && step <= MaxServedStepS) st.Result.Cells[static_cast<size_t>(st.LastRow)].SecondsServed += step;
  }
  st.LastRow = row ? static_cast<int64_t>(row - st.Result.Cells.data()) : -1;
  st.LastRecordTime = t;
  st.LastIndex = r.Index;
  for (const TDriveEvent& e : st.Events) st.Count(e);

  for (TRecordSink* s : Downstream) s->OnRecord(r);
  for (const TDriveEvent& e : st.Events)
    for (TRecordSink* s : Downstream) s->OnEvent(e);
  if (!st.Events.empty() || ++st.SinceSnapshot >= SnapshotEveryRecords) {
    st.SinceSnapshot = 0;
    std::lock_guard<std::mutex> lock(SnapshotLock);
    Shared = st.Kpis;
  }
}

void TAnalysisStage::OnGap(const TSessionGap& gap) {
  TState& st = *State;
  st.Events.clear();
  st.SeeTime(gap.From);
  st.SeeTime(gap.To);
  st.Kpis.SecondsLineDown += std::max(0.0, SecondsBetween(gap.From, gap.To));
  TEventContext where{gap.From, st.LastLongitude, st.LastLatitude, st.LastIndex};
  TDriveEvent e;
  e.Kind = TEventKind::LineGap;
  e.Time = gap.From;
  e.Longitude = where.Longitude;
  e.Latitude = where.Latitude;
  e.Cell = st.Serving.Cell();
  e.FirstRecord = e.LastRecord = st.LastIndex;
  e.Cause = gap.Why;
  st.Events.push_back(e);
  st.Calls.LineLost(st.Serving, where, st.Events);
  st.Serving.LineLost();
  st.LastRecordTime = NAN;  // no served time across the gap
  for (const TDriveEvent& ev : st.Events) st.Count(ev);
  for (TRecordSink* s : Downstream) s->OnGap(gap);
  for (const TDriveEvent& ev : st.Events)
    for (TRecordSink* s : Downstream) s->OnEvent(ev);
  std::lock_guard<std::mutex> lock(SnapshotLock);
  Shared = st.Kpis;
}

void TAnalysisStage::OnFinish(const TSessionCounters& counters) {
  TState& st = *State;
  TSessionKpis& k = st.Kpis;
  if (!std::isnan(st.FirstTime)) k.DurationS = SecondsBetween(st.FirstTime, st.LastTime);
  if (std::isnan(st.FirstFix)) {
    k.SecondsWithoutGps = k.DurationS;
  } else {
    const double head = SecondsBetween(st.FirstTime, st.FirstFix);
    const double tail = SecondsBetween(st.LastFix, st.LastTime);
    if (head > GpsSilenceS) k.SecondsWithoutGps += head;
    if (tail > GpsSilenceS) k.SecondsWithoutGps += tail;
  }
  st.JoinUnidentifiedRows();
  st.Result.CellsMissingFromSites.clear();
#ifdef ORVIK_WITH_CELL_SITES
  if (Sites != nullptr)
    for (const TCellStats& c : st.Result.Cells)
      if (c.Key.Valid && Sites->Find(c.Key) == nullptr) st.Result.CellsMissingFromSites.push_back(c.Key);
#endif
  {
    std::lock_guard<std::mutex> lock(SnapshotLock);
    Shared = k;
  }
  // One set of numbers: the summary's call counters are the analysis' own.
  TSessionCounters c = counters;
  c.CallsSetUp = k.CallSetups;
  c.CallsDropped = k.CallDrops;
  for (TRecordSink* s : Downstream) s->OnAnalysis(st.Result);
  for (TRecordSink* s : Downstream) s->OnFinish(c);
}

TSessionKpis TAnalysisStage::Snapshot() const {
  std::lock_guard<std::mutex> lock(SnapshotLock);
  return Shared;
}

const TSessionAnalysisResult& TAnalysisStage::Result() const { return State->Result; }
