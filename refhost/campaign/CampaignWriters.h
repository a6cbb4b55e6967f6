// What a campaign writes: one GeoPackage with every layer and table, the
// bins again as GeoJSON and CSV for tools without GeoPackage, and an
// offline page with the grid map and the KPI and cell tables.
//
// Every file is written under a temporary name in its folder and renamed
// into place when complete; each function throws EOutputWrite naming the
// file when that fails (a full disk), leaving an earlier file as it was.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "refhost/campaign/Campaign.h"

class TCellSites;

// One bin as every output shows it. Levels in dBm; quality as RXQUAL class.
struct TBinRow {
  int32_t X = 0, Y = 0;
  double West = 0, South = 0, Size = 0;  // the square, in the UTM zone's metres
  int64_t Samples = 0, Drives = 0, LevelSamples = 0, QualitySamples = 0;
  std::optional<int> LevelMedian, LevelP10, LevelP90;
  std::optional<int> QualityMedian;
  std::optional<double> QualityGoodShare;  // share of samples in classes 0..4
  std::string BestCell;
  int64_t BestCellSamples = 0;
  int64_t CallSetups = 0, CallDrops = 0, HandoverFailures = 0;
  bool Sparse = false;  // fewer samples than the minimum
};
std::vector<TBinRow> BinRows(const TCampaignGrid& grid, int64_t minSamples);

// The fields of a KPI or cell object one level deep, nested objects joined
// with "_" ("level_p50_dbm"); arrays kept as JSON text.
nlohmann::json FlattenJson(const nlohmann::json& object);

struct TGpkgContent {
  const TCampaignResult* Campaign = nullptr;
  const TCellSites* Sites = nullptr;  // may be null: no sites layer
  int64_t MinSamples = 5;
  bool Bins = true;  // false: one session's export, without the grid
};
// The GeoPackage written as the campaign goes: each drive's samples, events
// and route once it is kept (RunCampaign's OnDrive), the bins, sites and
// tables at the end. Threads: one caller at a time.
class TCampaignGpkg {
 public:
  // Creates the temporary file beside `path`; throws EOutputWrite.
  explicit TCampaignGpkg(const std::string& path);
  // Not finished: the temporary file is removed, `path` left as it was.
  ~TCampaignGpkg();
  void AddDrive(const TDriveSummary& drive);
  // Writes the rest and puts the file in place; throws EOutputWrite.
  void Finish(const TGpkgContent& content);

 private:
  struct TState;
  std::unique_ptr<TState> State;
};
// All at once, from the drives' spools kept in `content`.
void WriteCampaignGpkg(const std::string& path, const TGpkgContent& content);
void WriteBinsGeoJson(const std::string& path, const TCampaignResult& campaign, int64_t minSamples);
void WriteBinsCsv(const std::string& path, const TCampaignResult& campaign, int64_t minSamples);
void WriteCampaignHtml(const std::string& path, const TCampaignResult& campaign, int64_t minSamples);
