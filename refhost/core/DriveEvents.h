// What a drive's records mean to the engineer: the serving cell of each
// record, the events of the drive (calls, handovers, reselections, location
// updates, line gaps) and the key performance indicators derived from them.
//
// Plain data, shared by the analysis that derives it (refhost/analysis/),
// the writers that show it and the campaign that merges many drives. The
// counts and distributions merge by addition, so the figures of many drives
// are computed from summed counts and merged samples, never from averages.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using TDays = double;

// The identity of a cell as its system information tells it. Valid once an
// identity was read; a record before the first system information type 3, 4
// or 6 of its cell has none.
struct TCellKey {
  uint16_t Mcc = 0;
  uint16_t Mnc = 0;
  uint16_t Lac = 0;
  uint16_t CellId = 0;
  bool Valid = false;

  friend bool operator==(const TCellKey& a, const TCellKey& b) {
    return a.Valid == b.Valid && a.Mcc == b.Mcc && a.Mnc == b.Mnc && a.Lac == b.Lac && a.CellId == b.CellId;
  }
  friend bool operator<(const TCellKey& a, const TCellKey& b) {
    if (a.Valid != b.Valid) return !a.Valid;
    if (a.Mcc != b.Mcc) return a.Mcc < b.Mcc;
    if (a.Mnc != b.Mnc) return a.Mnc < b.Mnc;
    if (a.Lac != b.Lac) return a.Lac < b.Lac;
    return a.CellId < b.CellId;
  }
};

// The serving cell of a record: identity (when known), channel and BSIC.
struct TServingCell {
  TCellKey Key;
  uint16_t Arfcn = 0;  // 0: no report or message told it yet
  uint8_t Bsic = 0;
  // Metres to the serving cell's site when a cell file names it; NaN otherwise.
  double SiteDistanceM = NAN;
};

enum class TEventKind : uint8_t {
  CallAttempt,       // CM SERVICE REQUEST or uplink SETUP (originating); PAGING RESPONSE (terminating)
  CallSetup,         // ALERTING, or CONNECT without ALERTING
  CallConnect,       // CONNECT
  CallEnd,           // the DISCONNECT / RELEASE / RELEASE COMPLETE exchange
  CallDrop,          // a set-up call that ended without that exchange
  CallSetupFailure,  // an attempt that never set up
  HandoverAttempt,   // HANDOVER COMMAND
  HandoverSuccess,   // HANDOVER COMPLETE
  HandoverFailure,   // HANDOVER FAILURE, or the call dropped in between
  Reselection,       // the serving cell changed in idle mode
  LocationUpdateRequest,
  LocationUpdateAccept,
  LocationUpdateReject,
  LineGap,           // the line was lost for a while
};
constexpr int EventKindCount = 14;

enum class TCallDirection : uint8_t { None, Originating, Terminating };

struct TDriveEvent {
  TEventKind Kind = TEventKind::CallAttempt;
  TDays Time = 0;              // host clock (local days), of the deciding record
  double Longitude = -9999.0;  // the deciding record's position; -9999 when none
  double Latitude = -9999.0;
  TServingCell Cell;           // serving cell at the event (the source cell of a handover)
  TCallDirection Direction = TCallDirection::None;  // call events only
  double SetupTimeS = NAN;     // CallSetup: attempt to set-up, seconds
  uint16_t TargetArfcn = 0;    // handover: the target the command named; reselection: the new cell
  uint8_t TargetBsic = 0;
  TCellKey Target;             // reselection (and handover, once known): the new cell's identity
  int64_t FirstRecord = -1;    // indices of the records it came from
  int64_t LastRecord = -1;
  std::string Cause;           // why, in words: "abnormal channel release", "line lost", ...
};

// Counts and distributions of a session (or of many, merged).
struct TSessionKpis {
  int64_t CallAttempts = 0, CallSetups = 0, CallSetupFailures = 0, CallConnects = 0;
  int64_t CallEnds = 0, CallDrops = 0;
  int64_t HandoverAttempts = 0, HandoverSuccesses = 0, HandoverFailures = 0;
  int64_t LocationUpdates = 0, LocationUpdateAccepts = 0, LocationUpdateRejects = 0;
  int64_t Reselections = 0, LineGaps = 0;
  std::vector<double> SetupTimesS;  // every call set-up's time, for the mean and percentiles
  // Samples of the serving cell's level by RXLEV code (dBm = code - 110) and
  // of the quality by RXQUAL class.
  std::array<int64_t, 64> LevelSamples{};
  std::array<int64_t, 8> QualitySamples{};
  double DurationS = 0;           // first to last record or fix
  double SecondsWithoutGps = 0;
  double SecondsLineDown = 0;
  int64_t Records = 0;
};

// One serving cell's figures over a session (or many, merged).
struct TCellStats {
  TCellKey Key;
  uint16_t Arfcn = 0;
  uint8_t Bsic = 0;
  int64_t Samples = 0;         // records served by the cell
  double SecondsServed = 0;
  std::array<int64_t, 64> LevelSamples{};
  std::array<int64_t, 8> QualitySamples{};
  int64_t Calls = 0, Drops = 0, HandoversIn = 0, HandoversOut = 0;
};

// What the analysis hands the writers before the session's OnFinish.
struct TSessionAnalysisResult {
  TSessionKpis Kpis;
  std::vector<TCellStats> Cells;  // in order of first service
  std::vector<TCellKey> CellsMissingFromSites;  // served, but not in the cell file given
};
