#include "refhost/sim/SimRadio.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double EirpDbm = 43;  // base station output with antenna gain
constexpr double MaxFadingDb = 8;

// Urban macro-cell path loss at 900 MHz, distance in metres.
double PathLossDb(double metres) {
  return 128.1 + 37.6 * std::log10(std::max(metres, 20.0) / 1000);
}

uint8_t ToRxLev(double dbm) {
  return static_cast<uint8_t>(std::clamp(std::lround(dbm + 110), 0L, 63L));
}

void AppendNeighbours(std::string& line, const std::vector<TSimNeighbour>& nbs,
                      const TSimulatedDrive& drive) {
  for (const TSimNeighbour& n : nbs) {
    const TDriveCell& c = drive.Cells()[n.Cell];
    line += ',' + std::to_string(c.Arfcn) + ':' + std::to_string(c.Bsic) + ':' +
            std::to_string(n.RxLev);
  }
}

}  // namespace

TSimRadio::TSimRadio(const TSimulatedDrive& drive, uint64_t seed)
    : Drive(drive),
      Rng(seed ^ 0x5AD105AD105AD105ull),
      FadingDb(drive.Cells().size(), 0.0),
      Levels(drive.Cells().size(), 0) {
  for (double& f : FadingDb) f = Rng.Range(-MaxFadingDb / 2, MaxFadingDb / 2);
  Step(0);
  ServingCell = Drive.NearestCell(Here);
}

void TSimRadio::Step(double t) {
  Here = Drive.At(t);
  const auto& cells = Drive.Cells();
  for (size_t i = 0; i < cells.size(); ++i) {
    FadingDb[i] = std::clamp(FadingDb[i] + Rng.Range(-1.5, 1.5), -MaxFadingDb, MaxFadingDb);
    Levels[i] = ToRxLev(EirpDbm - PathLossDb(Drive.DistanceM(Here, cells[i])) + FadingDb[i]);
  }
  QualityWalk = std::clamp(QualityWalk + Rng.Range(-0.6, 0.6), -1.5, 1.5);
}

std::vector<TSimNeighbour> TSimRadio::Neighbours() const {
  std::vector<TSimNeighbour> all;
  for (size_t i = 0; i < Levels.size(); ++i)
    if (i != ServingCell && Levels[i] > 0) all.push_back({i, Levels[i]});
  // Ties broken by index so the order never depends on the sort.
  std::sort(all.begin(), all.end(), [](const TSimNeighbour& a, const TSimNeighbour& b) {
    return a.RxLev != b.RxLev ? a.RxLev > b.RxLev : a.Cell < b.Cell;
  });
  if (all.size() > 6) all.resize(6);
  return all;
}

double TSimRadio::ServingDistanceM() const { return Drive.DistanceM(Here, Cell(ServingCell)); }

uint8_t TSimRadio::TimingAdvance() const {
  return static_cast<uint8_t>(std::min(63.0, std::floor(ServingDistanceM() / 550)));
}

std::string TSimRadio::IdleLine() const {
  const TDriveCell& s = Cell(ServingCell);
  const int rxlev = Levels[ServingCell];
  const int c1 = rxlev - RxLevAccessMin;
  std::string line = "IDLE," + std::to_string(s.Arfcn) + ',' + std::to_string(s.Bsic) + ',' +
                     std::to_string(rxlev) + ',' + std::to_string(c1) + ',' + std::to_string(c1);
  AppendNeighbours(line, Neighbours(), Drive);
  return line;
}

std::string TSimRadio::DedicatedLine() {
  const TDriveCell& s = Cell(ServingCell);
  Ded.RxLevFull = Levels[ServingCell];
  Ded.RxLevSub = static_cast<uint8_t>(
      std::clamp<int>(Ded.RxLevFull + 1 - static_cast<int>(Rng.Below(3)), 0, 63));
  // Quality worsens as the level nears the sensitivity floor.
  const double q = (22.0 - Ded.RxLevFull) / 3.0 + QualityWalk;
  Ded.RxQualFull = static_cast<uint8_t>(std::clamp(std::lround(q), 0L, 7L));
  Ded.RxQualSub =
      static_cast<uint8_t>(std::clamp<int>(Ded.RxQualFull + static_cast<int>(Rng.Below(2)), 0, 7));
  Ded.Ta = TimingAdvance();
  // Power control: the stronger the downlink, the lower the level asked for.
  Ded.TxPower = static_cast<uint8_t>(std::clamp(5 + (Ded.RxLevFull - 15) / 3, 5, 19));
  std::string line = "DED," + std::to_string(s.Arfcn) + ',' + std::to_string(s.Bsic) + ',' +
                     std::to_string(Ded.RxLevFull) + ',' + std::to_string(Ded.RxLevSub) + ',' +
                     std::to_string(Ded.RxQualFull) + ',' + std::to_string(Ded.RxQualSub) + ',' +
                     std::to_string(Ded.Ta) + ',' + std::to_string(Ded.TxPower);
  AppendNeighbours(line, Neighbours(), Drive);
  return line;
}
