#include "refhost/sim/SimulatedDrive.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double MetresPerDegLat = 111320.0;
constexpr double MinSpeed = 10, MaxSpeed = 25;  // m/s
constexpr double MaxTurnPerSecond = 35;         // degrees
constexpr double MaxAccel = 1.5;                // m/s per second

double Rad(double deg) { return deg * Pi / 180; }
double Wrap360(double deg) { return deg - 360 * std::floor(deg / 360); }
// Signed smallest turn from a to b, -180..180.
double TurnBetween(double a, double b) { return Wrap360(b - a + 180) - 180; }

}  // namespace

TSimulatedDrive::TSimulatedDrive(uint64_t seed, const TDriveOptions& options) : Opts(options) {
  TSimRandom cellRng(seed ^ 0xC311C311C311C311ull);
  const double edge = Opts.AreaRadiusM + Opts.CellSpacingM;
  const double perDegLon = MetresPerDegLon();
  uint16_t id = 1001;
  // Every cell of the area on a channel of its own, so neighbours never
  // share one (the area has fewer cells than the band has channels).
  std::vector<uint16_t> channels(124);
  for (uint16_t i = 0; i < channels.size(); ++i) channels[i] = static_cast<uint16_t>(i + 1);
  for (size_t i = channels.size() - 1; i > 0; --i)
    std::swap(channels[i], channels[cellRng.Below(static_cast<uint32_t>(i + 1))]);
  for (double y = -edge; y <= edge; y += Opts.CellSpacingM) {
    for (double x = -edge; x <= edge; x += Opts.CellSpacingM) {
      const double jx = x + cellRng.Range(-0.25, 0.25) * Opts.CellSpacingM;
      const double jy = y + cellRng.Range(-0.25, 0.25) * Opts.CellSpacingM;
      TDriveCell cell;
      cell.Arfcn = channels[CellList.size() % channels.size()];
      cell.Bsic = static_cast<uint8_t>(cellRng.Below(64));
      cell.CellId = id++;
      cell.Lac = static_cast<uint16_t>(jy < -1500 ? 0x2B01 : jy < 1500 ? 0x2B02 : 0x2B03);
      cell.Longitude = Opts.StartLongitude + jx / perDegLon;
      cell.Latitude = Opts.StartLatitude + jy / MetresPerDegLat;
      CellList.push_back(cell);
    }
  }
  Walk.Rng = TSimRandom(seed);
  const double heading = Walk.Rng.Below(4) * 90.0;
  const double speed = Walk.Rng.Range(MinSpeed, MaxSpeed);
  Walk.TargetHeading = heading;
  Walk.TargetSpeed = speed;
  Walk.SegmentLeftM = Walk.Rng.Range(150, 700);
  Knots.push_back({0, 0, speed, heading});
}

double TSimulatedDrive::MetresPerDegLon() const {
  return MetresPerDegLat * std::cos(Rad(Opts.StartLatitude));
}

void TSimulatedDrive::ExtendTo(size_t knot) const {
  Knots.reserve(knot + 1);
  while (Knots.size() <= knot) {
    TKnot k = Knots.back();
    if (Walk.SegmentLeftM <= 0) {
      // A junction: go straight on, or turn into a cross street; beyond the
      // edge of the area, take the street that leads back towards the start.
      const double distance = std::hypot(k.X, k.Y);
      if (distance > Opts.AreaRadiusM) {
        const double home = Wrap360(std::atan2(-k.X, -k.Y) * 180 / Pi);
        Walk.TargetHeading = Wrap360(std::round(home / 90) * 90 + Walk.Rng.Range(-20, 20));
      } else {
        const uint32_t pick = Walk.Rng.Below(10);
        const double turn = pick < 3 ? -90 : pick < 6 ? 90 : Walk.Rng.Range(-15, 15);
        Walk.TargetHeading = Wrap360(Walk.TargetHeading + turn);
      }
      Walk.SegmentLeftM = Walk.Rng.Range(150, 700);
      Walk.TargetSpeed = Walk.Rng.Range(MinSpeed, MaxSpeed);
    }
    const double turn = TurnBetween(k.Heading, Walk.TargetHeading);
    k.Heading = Wrap360(k.Heading + std::clamp(turn, -MaxTurnPerSecond, MaxTurnPerSecond));
    // Slow down through a turn, then pick up speed again.
    const double target = std::abs(turn) > 20 ? MinSpeed : Walk.TargetSpeed;
    k.Speed = std::clamp(k.Speed + std::clamp(target - k.Speed, -2 * MaxAccel, MaxAccel), MinSpeed,
                         MaxSpeed);
    k.X += k.Speed * std::sin(Rad(k.Heading));
    k.Y += k.Speed * std::cos(Rad(k.Heading));
    Walk.SegmentLeftM -= k.Speed;
    Knots.push_back(k);
  }
}

TDrivePoint TSimulatedDrive::At(double secondsSinceStart) const {
  const double t = std::isfinite(secondsSinceStart) ? std::max(0.0, secondsSinceStart) : 0.0;
  const auto i = static_cast<size_t>(t);
  const double f = t - static_cast<double>(i);
  TKnot a, b;
  {
    std::lock_guard<std::mutex> guard(Lock);
    ExtendTo(i + 1);
    a = Knots[i];
    b = Knots[i + 1];
  }
  const double x = a.X + (b.X - a.X) * f;
  const double y = a.Y + (b.Y - a.Y) * f;
  TDrivePoint p;
  p.Longitude = Opts.StartLongitude + x / MetresPerDegLon();
  p.Latitude = Opts.StartLatitude + y / MetresPerDegLat;
  p.SpeedMps = a.Speed + (b.Speed - a.Speed) * f;
  p.HeadingDeg = Wrap360(a.Heading + TurnBetween(a.Heading, b.Heading) * f);
  return p;
}

double TSimulatedDrive::DistanceM(const TDrivePoint& point, const TDriveCell& cell) const {
  const double dx = (point.Longitude - cell.Longitude) * MetresPerDegLon();
  const double dy = (point.Latitude - cell.Latitude) * MetresPerDegLat;
  return std::hypot(dx, dy);
}

size_t TSimulatedDrive::NearestCell(const TDrivePoint& point) const {
  size_t best = 0;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < CellList.size(); ++i) {
    const double d = DistanceM(point, CellList[i]);
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}
