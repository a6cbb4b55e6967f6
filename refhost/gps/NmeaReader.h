// Reads NMEA 0183 from a file or a serial GPS (Linux) on a thread of its
// own and pushes each fix through a callback.
//
// A regular file is read to its end as fast as it goes, then the reader ends
// ("end of file"). A character device or pseudo-terminal is set to raw mode
// (at `baud` when given, else as it is) and read line by line as sentences
// come, until Stop() or the device goes away. Waiting is poll() on the
// device and a stop pipe, so Stop() returns at once.
//
// Threads: Start/Stop from one owning thread; the callbacks run on the
// reader's thread, never after Stop() returns.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "refhost/gps/NmeaParser.h"

class TNmeaReader {
 public:
  // Opens `path` now; throws std::runtime_error with the path, the reason and
  // what to do when it cannot be opened or set up. `baud` 0 keeps the
  // device's speed; any other value must be a standard rate (4800, 9600, ...).
  TNmeaReader(const std::string& path, TFixCallback onFix, TGpsEndCallback onEnd,
              int baud = 0, TUtcToHost toHost = {}, TGpsWarning warn = {});
  ~TNmeaReader();  // stops
  TNmeaReader(const TNmeaReader&) = delete;
  TNmeaReader& operator=(const TNmeaReader&) = delete;

  void Start();
  void Stop();  // idempotent

  // Counters of the parser, read after the thread has ended (or stopped).
  TNmeaCounters Counters() const { return Parser.Counters(); }
  // Fixes refused for an impossible value so far; any thread.
  int64_t RefusedFixes() const { return Parser.RefusedFixes(); }

 private:
  void Run();

  std::string Path;
  TNmeaParser Parser;
  TGpsEndCallback OnEnd;
  int Fd = -1;
  int StopPipe[2] = {-1, -1};
  bool IsFile = false;
  std::thread Worker;
};
