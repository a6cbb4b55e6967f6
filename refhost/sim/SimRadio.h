// The radio side of the simulated handset: received levels of every cell
// along the drive (path loss from the distance plus slow fading on a seeded
// random walk), the serving cell, its strongest neighbours, and the idle
// and dedicated report lines built from them.
//
// No I/O and no clock: Step(t) is called on the report grid by the
// simulator, which decides what the values are used for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "refhost/sim/SimRandom.h"
#include "refhost/sim/SimulatedDrive.h"

struct TSimNeighbour {
  size_t Cell = 0;  // index into the drive's cells
  uint8_t RxLev = 0;
};

class TSimRadio {
 public:
  static constexpr int RxLevAccessMin = 6;  // as the system information tells it

  TSimRadio(const TSimulatedDrive& drive, uint64_t seed);

  // Moves the levels to time `t` (seconds since start).
  void Step(double t);

  size_t Serving() const { return ServingCell; }
  void SetServing(size_t cell) { ServingCell = cell; }
  const TDriveCell& Cell(size_t index) const { return Drive.Cells()[index]; }
  uint8_t RxLev(size_t cell) const { return Levels[cell]; }
  // Up to 6 strongest cells other than the serving one, strongest first.
  std::vector<TSimNeighbour> Neighbours() const;
  // Distance from the serving cell at the last step, in metres.
  double ServingDistanceM() const;
  uint8_t TimingAdvance() const;  // 0..63, 550 m a step

  std::string IdleLine() const;  // "IDLE,..." without the line end
  std::string DedicatedLine();   // "DED,..."; draws the quality from the walk

  // Values of the last dedicated line, for the measurement report.
  struct TDedicated {
    uint8_t RxLevFull = 0, RxLevSub = 0, RxQualFull = 0, RxQualSub = 0, Ta = 0, TxPower = 0;
  };
  const TDedicated& LastDedicated() const { return Ded; }

 private:
  const TSimulatedDrive& Drive;
  TSimRandom Rng;
  std::vector<double> FadingDb;  // per cell
  std::vector<uint8_t> Levels;   // per cell, RXLEV codes
  TDrivePoint Here;
  size_t ServingCell = 0;
  double QualityWalk = 0;
  TDedicated Ded;
};
