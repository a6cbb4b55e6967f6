#include "refhost/gps/SimulatedGps.h"

#include <chrono>
#include <algorithm>
#include <cmath>

#include "platform/DateTime.h"

namespace {
constexpr double SecondsPerDay = 86400.0;
}

TSimulatedGps::TSimulatedGps(const TSimulatedDrive& drive, TFixCallback onFix, TClock clock)
    : Drive(drive), OnFix(std::move(onFix)), Clock(clock ? std::move(clock) : TClock(LocalDateTimeNow)),
      StartTime(Clock()) {}

TSimulatedGps::~TSimulatedGps() { Stop(); }

TGpsFix TSimulatedGps::FixAt(int64_t second) const {
  const TDrivePoint p = Drive.At(static_cast<double>(second));
  TGpsFix fix;
  fix.Time = StartTime + static_cast<double>(second) / SecondsPerDay;
  fix.Longitude = p.Longitude;
  fix.Latitude = p.Latitude;
  fix.AltitudeM = 35.0;
  fix.SpeedMps = p.SpeedMps;
  fix.Quality = 1;
  fix.Satellites = 9;
  return fix;
}

TDays TSimulatedGps::EmitDue() {
  const TDays now = Clock();
  while (FixAt(NextSecond).Time <= now) OnFix(FixAt(NextSecond++));
  return FixAt(NextSecond).Time;
}

void TSimulatedGps::Start() {
  std::lock_guard<std::mutex> hold(Lock);
  if (Worker.joinable() || Stopping) return;
  Worker = std::thread([this] { Run(); });
}

void TSimulatedGps::Stop() {
  {
    std::lock_guard<std::mutex> hold(Lock);
    Stopping = true;
  }
  Wake.notify_all();
  if (Worker.joinable()) Worker.join();
}

void TSimulatedGps::Run() {
  std::unique_lock<std::mutex> hold(Lock);
  while (!Stopping) {
    hold.unlock();
    const TDays due = EmitDue();
    hold.lock();
    // The host clock in days; the wait itself on the steady clock, capped so
    // that a clock set back does not leave the thread asleep for long.
    const double waitS = std::clamp((due - Clock()) * SecondsPerDay, 0.001, 1.0);
    Wake.wait_for(hold, std::chrono::duration<double>(waitS), [this] { return Stopping; });
  }
}
