// The reader thread: drains the device port into the session's event queue.
//
// It never waits on the plug-in, only on the port and (when the queue is at
// its byte bound) on the queue, which counts every such wait. Each chunk is
// stamped with the host clock when its read returned.
//
// A dropped line is seen two ways: a read fails (device removed, the other
// end of a pseudo-terminal closed), or the handset sends nothing for the
// silence limit. Either pushes LineLost. Without reconnecting the thread then
// ends; with it, the port is reopened with a growing back-off (0.25 s doubling
// to 5 s) until it opens (LineRegained) or the reconnect time-out passes
// (EndOfInput, and GaveUp() says so).
//
// Threads: Start and Stop on the owner's thread; the getters on any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "refhost/core/SessionEventQueue.h"
#include "refhost/port/SerialDevicePort.h"

struct TReaderOptions {
  double SilenceLimitSeconds = 30;    // no byte for this long: the line counts as dropped
  bool Reconnect = false;
  double ReconnectTimeoutSeconds = 60;
  size_t ChunkBytes = 4096;           // largest chunk one read returns
};

// Local date-time now in days since 1899-12-30: UTC plus the offset held by
// HoldHostClockOffset, or plus the system's offset now when none is held.
// Never fails; any thread.
TDays HostClockNow();
// Keeps the host clock at UTC + `utcOffsetMinutes` from now on, so a session
// reads a clock that a daylight-saving change does not move.
void HoldHostClockOffset(int32_t utcOffsetMinutes);

class TPortReader {
 public:
  // Port and queue are borrowed and must outlive the reader.
  TPortReader(TSerialDevicePort& port, TSessionEventQueue& queue, TReaderOptions options);
  ~TPortReader();  // stops and joins
  TPortReader(const TPortReader&) = delete;
  TPortReader& operator=(const TPortReader&) = delete;

  void Start();
  // Wakes every wait of the thread and joins it. Safe to call twice.
  void Stop();

  int64_t BytesRead() const { return Bytes.load(); }
  int64_t Reconnects() const { return Regained.load(); }
  // The line was lost and not regained (no reconnect, or its time-out passed).
  bool GaveUp() const { return LostForGood.load(); }
  bool LineUp() const { return Up.load(); }

 private:
  void Run();
  // Pushes LineLost; true when the line came back (LineRegained pushed).
  bool LoseLine(const std::string& why);
  bool WaitStopFor(double seconds);  // true when asked to stop

  TSerialDevicePort& Port;
  TSessionEventQueue& Queue;
  const TReaderOptions Options;
  std::thread Thread;
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stopping = false;
  std::atomic<int64_t> Bytes{0};
  std::atomic<int64_t> Regained{0};
  std::atomic<bool> LostForGood{false};
  std::atomic<bool> Up{true};
};
