// The campaign's coverage grid: square bins of a fixed size in the UTM zone
// of the campaign's first fix, each holding counts that merge by addition
// (level by RXLEV code, quality by RXQUAL class, samples per serving cell,
// events), so the median and percentiles of many drives come out exactly as
// if every sample had been kept.
//
// Threads: a TUtmProjection belongs to one thread (PROJ contexts are not
// shared); a TCampaignGrid is plain data, guarded by its owner.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "refhost/core/DriveEvents.h"

// The EPSG code of the WGS 84 / UTM zone holding (lon, lat): 326ZZ north of
// the equator, 327ZZ south of it.
int UtmEpsgFor(double longitude, double latitude);

// WGS 84 <-> one UTM zone, through PROJ. Throws std::runtime_error when PROJ
// cannot build the transformation (its database missing).
class TUtmProjection {
 public:
  explicit TUtmProjection(int epsg);
  ~TUtmProjection();
  TUtmProjection(const TUtmProjection&) = delete;
  TUtmProjection& operator=(const TUtmProjection&) = delete;

  int Epsg() const { return Code; }
  // Easting and northing in metres; false when PROJ cannot place the point.
  bool Forward(double longitude, double latitude, double& easting, double& northing) const;
  bool Inverse(double easting, double northing, double& longitude, double& latitude) const;

 private:
  struct TState;
  int Code;
  std::unique_ptr<TState> State;
};

// A serving cell as the grid tells cells apart: its identity when known,
// its channel and BSIC otherwise.
struct TGridCell {
  TCellKey Key;
  uint16_t Arfcn = 0;
  uint8_t Bsic = 0;
  friend bool operator==(const TGridCell& a, const TGridCell& b) {
    return a.Key == b.Key && a.Arfcn == b.Arfcn && a.Bsic == b.Bsic;
  }
};
TGridCell GridCellOf(const TServingCell& serving);
// "242-1-1001-3121" for a known identity, "arfcn 62 bsic 5" otherwise, ""
// for no cell at all.
std::string GridCellName(const TGridCell& cell);

struct TBinStats {
  int64_t Samples = 0;  // positioned records
  int64_t Drives = 0;   // drives with samples here (counted when drives merge)
  std::array<int64_t, 64> Level{};   // by RXLEV code
  std::array<int64_t, 8> Quality{};  // by RXQUAL class
  std::vector<std::pair<TGridCell, int64_t>> Cells;  // samples per serving cell
  int64_t CallSetups = 0, CallDrops = 0, HandoverFailures = 0;

  void AddCell(const TGridCell& cell, int64_t samples);
  void Merge(const TBinStats& from);
  // The cell with the most samples (the first met on a tie); null when none.
  const TGridCell* BestCell() const;
};

struct TBinKey {
  int32_t X = 0, Y = 0;  // floor(easting / size), floor(northing / size)
  friend bool operator==(const TBinKey& a, const TBinKey& b) { return a.X == b.X && a.Y == b.Y; }
};
struct TBinKeyHash {
  size_t operator()(const TBinKey& k) const {
    return std::hash<uint64_t>()(uint64_t(uint32_t(k.X)) << 32 | uint32_t(k.Y));
  }
};

class TCampaignGrid {
 public:
  explicit TCampaignGrid(double binMetres) : Size(binMetres) {}

  double BinMetres() const { return Size; }
  TBinKey KeyOf(double easting, double northing) const;
  TBinStats& At(const TBinKey& key) { return Bins[key]; }
  // Adds one drive's grid: every count summed, and one more drive in each of
  // its bins.
  void MergeDrive(const TCampaignGrid& drive);
  // The bins sorted by row then column, for outputs that must not depend on
  // the order drives finished in.
  std::vector<std::pair<TBinKey, const TBinStats*>> Sorted() const;
  size_t BinCount() const { return Bins.size(); }

 private:
  double Size;
  std::unordered_map<TBinKey, TBinStats, TBinKeyHash> Bins;
};

// The nearest-rank percentile (0 < p <= 1) of counts by class: the smallest
// class whose cumulative count reaches ceil(p * total); -1 when empty.
int HistogramPercentile(const int64_t* counts, size_t classes, double p);
