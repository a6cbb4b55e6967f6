// Fixes from the gpsd daemon through libgps (Linux), on a thread of its own.
// The reader watches the daemon's JSON reports and emits one fix for each
// report with a 2D or 3D fix and a new time. A report with an impossible
// value (a time of 1970 or 9999, one libgps could not read, a negative
// speed, a position off the globe) is refused: dropped, counted and named in
// a warning (TFixGate). Waiting is gps_waiting() with a
// 100 ms limit, so Stop() returns within about that.
//
// Threads: Start/Stop from one owning thread; the callbacks run on the
// reader's thread, never after Stop() returns.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "refhost/gps/NmeaParser.h"

struct gps_data_t;

class TGpsdReader {
 public:
  // Connects to gpsd at host:port now and asks it to watch; throws
  // std::runtime_error saying where and what to do when that fails.
  TGpsdReader(const std::string& host, const std::string& port, TFixCallback onFix,
              TGpsEndCallback onEnd, TUtcToHost toHost = {}, TGpsWarning warn = {});
  ~TGpsdReader();  // stops and closes
  TGpsdReader(const TGpsdReader&) = delete;
  TGpsdReader& operator=(const TGpsdReader&) = delete;

  void Start();
  void Stop();  // idempotent

  // Reports refused so far; any thread.
  int64_t RefusedFixes() const { return Gate.Refused(); }

  // Splits "HOST:PORT" (port defaults to 2947; "[::1]:2947" for IPv6).
  // False when the text has an empty host or a port that is not a number.
  static bool SplitAddress(const std::string& address, std::string& host, std::string& port);

 private:
  void Run();

  std::string Where;
  TFixCallback OnFix;
  TGpsEndCallback OnEnd;
  TUtcToHost ToHost;
  TFixGate Gate;
  gps_data_t* Data = nullptr;
  std::atomic<bool> Stopping{false};
  std::thread Worker;
};
