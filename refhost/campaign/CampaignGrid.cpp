#include "refhost/campaign/CampaignGrid.h"

#include <proj.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

int UtmEpsgFor(double longitude, double latitude) {
  int zone = int(std::floor((longitude + 180.0) / 6.0)) + 1;
  zone = std::clamp(zone, 1, 60);
  return (latitude < 0 ? 32700 : 32600) + zone;
}

struct TUtmProjection::TState {
  PJ_CONTEXT* Context = nullptr;
  PJ* Transform = nullptr;
};

TUtmProjection::TUtmProjection(int epsg) : Code(epsg), State(std::make_unique<TState>()) {
  State->Context = proj_context_create();
  const std::string target = "EPSG:" + std::to_string(epsg);
  PJ* raw = proj_create_crs_to_crs(State->Context, "EPSG:4326", target.c_str(), nullptr);
  // EPSG:4326 is latitude first; the normalised form takes longitude first.
  if (raw) {
    State->Transform = proj_normalize_for_visualization(State->Context, raw);
    proj_destroy(raw);
  }
  if (!State->Transform) {
    const std::string why = proj_context_errno_string(State->Context, proj_context_errno(State->Context));
    proj_context_destroy(State->Context);
    throw std::runtime_error("cannot project WGS 84 to " + target + " (" + why +
                             "); check that PROJ's database (proj-data) is installed");
  }
}

TUtmProjection::~TUtmProjection() {
  proj_destroy(State->Transform);
  proj_context_destroy(State->Context);
}

bool TUtmProjection::Forward(double longitude, double latitude, double& easting, double& northing) const {
  const PJ_COORD out = proj_trans(State->Transform, PJ_FWD, proj_coord(longitude, latitude, 0, 0));
  if (!std::isfinite(out.xy.x) || !std::isfinite(out.xy.y)) return false;
  easting = out.xy.x;
  northing = out.xy.y;
  return true;
}

bool TUtmProjection::Inverse(double easting, double northing, double& longitude, double& latitude) const {
  const PJ_COORD out = proj_trans(State->Transform, PJ_INV, proj_coord(easting, northing, 0, 0));
  if (!std::isfinite(out.lp.lam) || !std::isfinite(out.lp.phi)) return false;
  longitude = out.lp.lam;
  latitude = out.lp.phi;
  return true;
}

TGridCell GridCellOf(const TServingCell& serving) {
  TGridCell cell;
  cell.Key = serving.Key;
  cell.Arfcn = serving.Arfcn;
  cell.Bsic = serving.Bsic;
  return cell;
}

std::string GridCellName(const TGridCell& cell) {
  if (cell.Key.Valid)
    return std::to_string(cell.Key.Mcc) + "-" + std::to_string(cell.Key.Mnc) + "-" + std::to_string(cell.Key.Lac) +
           "-" + std::to_string(cell.Key.CellId);
  if (cell.Arfcn == 0) return "";
  return "arfcn " + std::to_string(cell.Arfcn) + " bsic " + std::to_string(cell.Bsic);
}

void TBinStats::AddCell(const TGridCell& cell, int64_t samples) {
  for (auto& [known, count] : Cells)
    if (known == cell) {
      count += samples;
      return;
    }
  Cells.emplace_back(cell, samples);
}

void TBinStats::Merge(const TBinStats& from) {
  Samples += from.Samples;
  for (size_t i = 0; i < Level.size(); ++i) Level[i] += from.Level[i];
  for (size_t i = 0; i < Quality.size(); ++i) Quality[i] += from.Quality[i];
  for (const auto& [cell, count] : from.Cells) AddCell(cell, count);
  CallSetups += from.CallSetups;
  CallDrops += from.CallDrops;
  HandoverFailures += from.HandoverFailures;
}

const TGridCell* TBinStats::BestCell() const {
  const TGridCell* best = nullptr;
  int64_t most = 0;
  for (const auto& [cell, count] : Cells) {
    if (GridCellName(cell).empty()) continue;
    if (count > most || (count == most && best && cell.Key < best->Key)) {
      best = &cell;
      most = count;
    }
  }
  return best;
}

TBinKey TCampaignGrid::KeyOf(double easting, double northing) const {
  return {int32_t(std::floor(easting / Size)), int32_t(std::floor(northing / Size))};
}

void TCampaignGrid::MergeDrive(const TCampaignGrid& drive) {
  for (const auto& [key, stats] : drive.Bins) {
    TBinStats& into = Bins[key];
    into.Merge(stats);
    into.Drives += 1;
  }
}

std::vector<std::pair<TBinKey, const TBinStats*>> TCampaignGrid::Sorted() const {
  std::vector<std::pair<TBinKey, const TBinStats*>> out;
  out.reserve(Bins.size());
  for (const auto& [key, stats] : Bins) out.emplace_back(key, &stats);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a.first.Y != b.first.Y ? a.first.Y < b.first.Y : a.first.X < b.first.X;
  });
  return out;
}

int HistogramPercentile(const int64_t* counts, size_t classes, double p) {
  int64_t total = 0;
  for (size_t i = 0; i < classes; ++i) total += counts[i];
  if (total == 0) return -1;
  const int64_t rank = std::max<int64_t>(1, int64_t(std::ceil(p * double(total) - 1e-9)));
  int64_t seen = 0;
  for (size_t i = 0; i < classes; ++i) {
    seen += counts[i];
    if (seen >= rank) return int(i);
  }
  return int(classes) - 1;
}
