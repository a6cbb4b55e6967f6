// Many drives as one: every input is played once, streaming, through the
// analysis stage into a binner of its own, one worker per core. A drive
// keeps only its grid of counts and its KPIs in memory; its samples, events
// and route go to spool files on disk, which the GeoPackage writer reads back
// one drive at a time. Memory grows with the area covered, not the drives.
//
// Which drive decides what, whatever order the workers finish in:
// - the UTM zone is that of the first fix of the first input (in the order
//   given) that has one;
// - of inputs with the same content (the same session under two names, also
//   as a capture and as its JSON Lines), the first given is kept and the
//   others are named as its duplicates.
//
// Threads: RunCampaign starts and joins its workers; `Play` and `Progress`
// are called from them, at the same time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "refhost/campaign/CampaignGrid.h"
#include "refhost/core/SessionTypes.h"

class TCellSites;

// One spooled sample: a positioned record as the layers show it.
struct TSpoolSample {
  double Time = 0;  // local days
  double Longitude = 0, Latitude = 0;
  TGridCell Cell;
  uint8_t Level = 255;    // RXLEV code; 255: the record carries no level
  uint8_t Quality = 255;  // RXQUAL class; 255: none
  uint8_t Dedicated = 0;
};

struct TSpoolEvent {
  double Time = 0;
  double Longitude = -9999.0, Latitude = -9999.0;
  TGridCell Cell;
  TEventKind Kind = TEventKind::CallAttempt;
  TCallDirection Direction = TCallDirection::None;
  double SetupTimeS = 0;  // NaN unless a call set-up
  char Cause[62] = {};
};

struct TSpoolFix {
  double Time = 0;
  double Longitude = 0, Latitude = 0;
};

// The level and quality of the serving cell a record carries: the idle
// report's RXLEV, the dedicated report's RXLEV and RXQUAL (full set).
// 255 where the record has none (signalling messages).
void RecordLevelQuality(const THostRecord& record, uint8_t& level, uint8_t& quality);

// The record as the campaign spools it; false when it has no position (the
// sample's level and quality are filled all the same).
bool SampleOf(const THostRecord& record, TSpoolSample& sample);

struct TDriveSummary {
  size_t Input = 0;
  std::string Name;          // the input as given
  int32_t UtcOffsetMinutes = 0;
  int64_t Records = 0;
  int64_t Positioned = 0;
  TDays First = 0, Last = 0;  // first and last record time; 0 when none
  TSessionKpis Kpis;
  std::vector<TCellStats> Cells;
  std::string SamplesSpool, EventsSpool, FixesSpool;  // files in the spool folder
};

struct TCampaignOptions {
  std::vector<std::string> Inputs;
  double BinMetres = 50;
  int64_t MinSamples = 5;          // fewer samples: the bin is kept but marked sparse
  const TCellSites* Sites = nullptr;  // borrowed, may be null
  std::string SpoolDir;            // exists; the caller removes it
  unsigned Workers = 0;            // 0: one per core
  // Plays one input into the sink; returns the exit status PlaySessionInput
  // gives (0 ok, 2 not a session: skipped, 5 used up to the damage).
  std::function<int(const std::string& input, TRecordSink& sink)> Play;
  // When given: each kept drive, in input order, as soon as it and every
  // input before it are done; from one worker at a time, while the others
  // read on. The drive's spool files are removed after it returns.
  std::function<void(const TDriveSummary& drive)> OnDrive;
};

struct TCampaignProgress {
  std::atomic<int64_t> Records{0};
  std::atomic<int64_t> FilesDone{0};
  std::atomic<int64_t> BytesDone{0};  // sizes of the inputs finished
};

struct TCampaignResult {
  int Epsg = 0;  // 0 when no input had a position
  TCampaignGrid Grid{50};
  std::vector<TDriveSummary> Drives;  // kept drives, in input order
  std::vector<std::string> Duplicates;  // "B is the same drive as A"
  std::vector<std::string> Bad;         // inputs skipped as not a session
  bool Damaged = false;                 // some input was used only up to its damage
  TSessionKpis Total;                   // merged in input order
  std::vector<TCellStats> Cells;        // merged, by cell
};

// Runs the campaign. Throws EOutputWrite when a spool file cannot be
// written (a full disk), std::runtime_error when PROJ fails.
TCampaignResult RunCampaign(const TCampaignOptions& options, TCampaignProgress* progress = nullptr);

// Reads a spool file written by the campaign, one entry at a time; false at
// its end.
template <class T>
class TSpoolReader {
 public:
  explicit TSpoolReader(const std::string& path);
  ~TSpoolReader();
  bool Next(T& out);

 private:
  void* File = nullptr;
};
