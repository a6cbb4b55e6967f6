// A simulated GPS receiver along the seeded simulated drive: one fix per
// second, the first at once, each with the position the drive has reached.
// The clock is injected; EmitDue() does the work, so a test drives it with a
// clock of its own, and Start() runs it on a thread of its own.
//
// Threads: EmitDue() and Start() are not to be mixed; Stop() may be called
// from any thread and is idempotent. The callback runs on the emitting thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "refhost/gps/NmeaParser.h"
#include "refhost/sim/SimulatedDrive.h"

class TSimulatedGps {
 public:
  using TClock = std::function<TDays()>;

  // The drive must outlive this object. `clock` is the host clock (default:
  // the local date-time); the drive starts at its reading now.
  TSimulatedGps(const TSimulatedDrive& drive, TFixCallback onFix, TClock clock = {});
  ~TSimulatedGps();
  TSimulatedGps(const TSimulatedGps&) = delete;
  TSimulatedGps& operator=(const TSimulatedGps&) = delete;

  // The fix `second` seconds after the start.
  TGpsFix FixAt(int64_t second) const;

  // Emits every fix due by the clock's reading; returns the host time at
  // which the next one falls due.
  TDays EmitDue();

  // Runs EmitDue on a thread of its own, waking when the next fix is due.
  void Start();
  // Ends the thread within moments; no fix is emitted after it returns.
  void Stop();

 private:
  void Run();

  const TSimulatedDrive& Drive;
  TFixCallback OnFix;
  TClock Clock;
  TDays StartTime;
  int64_t NextSecond = 0;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stopping = false;
  std::thread Worker;
};
