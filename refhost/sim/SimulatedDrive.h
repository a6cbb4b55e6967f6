// A seeded simulated drive: a vehicle on a road-like route around a start
// point, and the GSM cells of the area it drives through. Shared by the
// simulated handset (levels fall with distance from the serving cell) and
// the simulated GPS (its fixes), so both tell the same story.
//
// Threads: a const TSimulatedDrive may be used from several threads at once
// (the route is extended under a lock of its own as time goes on).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "refhost/sim/SimRandom.h"

struct TDrivePoint {
  double Longitude = 0;  // degrees, WGS 84
  double Latitude = 0;
  double SpeedMps = 0;
  double HeadingDeg = 0;  // 0 north, clockwise
};

struct TDriveCell {
  uint16_t Arfcn = 0;  // GSM 900 channel 1..124
  uint8_t Bsic = 0;    // 0..63
  uint16_t CellId = 0;
  uint16_t Lac = 0;  // location area: bands of the area north to south
  double Longitude = 0;
  double Latitude = 0;
};

struct TDriveOptions {
  double StartLongitude = 13.40;
  double StartLatitude = 52.52;
  double AreaRadiusM = 3000;  // the route turns back towards the start beyond this
  double CellSpacingM = 1100;
};

class TSimulatedDrive {
 public:
  explicit TSimulatedDrive(uint64_t seed, const TDriveOptions& options = {});

  // Position, speed and heading at `secondsSinceStart` (before 0: the start).
  // Interpolated between one-second knots; never throws but std::bad_alloc.
  TDrivePoint At(double secondsSinceStart) const;

  // The cells of the area, fixed for the life of the drive.
  const std::vector<TDriveCell>& Cells() const { return CellList; }

  // Straight-line distance in metres between a point and a cell (flat-earth
  // approximation, good over the few kilometres of the area).
  double DistanceM(const TDrivePoint& point, const TDriveCell& cell) const;

  // Index of the cell nearest to the point.
  size_t NearestCell(const TDrivePoint& point) const;

  const TDriveOptions& Options() const { return Opts; }

 private:
  struct TKnot {
    double X, Y;  // metres east and north of the start
    double Speed, Heading;
  };
  struct TWalk {  // state of the route generator between knots
    TSimRandom Rng{0};
    double SegmentLeftM = 0;
    double TargetSpeed = 0;
    double TargetHeading = 0;
  };

  void ExtendTo(size_t knot) const;  // caller holds Lock
  double MetresPerDegLon() const;

  TDriveOptions Opts;
  std::vector<TDriveCell> CellList;
  mutable std::mutex Lock;
  mutable std::vector<TKnot> Knots;
  mutable TWalk Walk;
};
