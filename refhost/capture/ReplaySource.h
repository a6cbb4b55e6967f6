// Plays a capture into the session's event queue, as a port's reader thread
// would have delivered it: chunks, fixes and line events in their recorded
// order, then the end of the input. As fast as the queue takes them, or at
// the recorded pace (each event at its recorded moment after the first).
//
// The leading settings record is read when the source is made, so the
// session can start with the recorded settings (the UTC offset above all:
// a replay anywhere writes the same time stamps).
//
// Threads: Start runs the source on a thread of its own; RequestStop and
// Join may be called from any other thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "refhost/capture/CaptureReader.h"
#include "refhost/core/CaptureTap.h"
#include "refhost/core/HostPort.h"
#include "refhost/core/SessionEventQueue.h"

class TReplaySource {
 public:
  // Both borrowed; they must outlive the source. Reads the first record.
  TReplaySource(TCaptureReader& reader, TSessionEventQueue& queue, bool realtime);
  // Stops and joins the thread if it still runs.
  ~TReplaySource();
  TReplaySource(const TReplaySource&) = delete;
  TReplaySource& operator=(const TReplaySource&) = delete;

  // The recorded settings; empty when the capture does not start with them.
  const std::optional<TSessionSettings>& Settings() const { return Recorded; }

  // Pushes every event on a thread of its own, then EndOfInput.
  void Start();
  // Pushes every event on the calling thread, then EndOfInput.
  void Run();
  // Ends the pushing within moments (a pacing wait wakes at once).
  void RequestStop();
  void Join();

  // How the reading ended; valid after Run or Join.
  const TCaptureEnd& End() const { return Reader.End(); }
  int64_t EventsPushed() const { return Pushed; }

 private:
  bool Push(TCaptureEvent& event);
  bool WaitUntilDue(TDays when);

  TCaptureReader& Reader;
  TSessionEventQueue& Queue;
  const bool Realtime;
  std::optional<TSessionSettings> Recorded;
  std::optional<TCaptureEvent> First;  // read with the settings, not pushed yet
  std::optional<std::chrono::steady_clock::time_point> PaceStart;
  TDays PaceOrigin = 0;
  int64_t Pushed = 0;

  std::mutex Lock;
  std::condition_variable Wake;
  bool Stopping = false;
  std::thread Worker;
};

// A replayed session's port: writes go nowhere (TReplayPort) and, between
// chunks, its clock reads the time of the last event the session processed,
// so nothing in a replay depends on the wall clock. Attach Clock() as the
// driver's capture tap to move it.
class TCaptureReplayPort : public TReplayPort {
 public:
  TCaptureReplayPort();
  TDays LiveTime() override { return Now.load(); }
  TCaptureTap& Clock() { return ClockTap; }

 private:
  class TClockTap : public TCaptureTap {
   public:
    explicit TClockTap(std::atomic<double>& now) : Now(now) {}
    void OnSettings(const TSessionSettings&) override {}
    void OnChunk(const TChunk& chunk) override { Now.store(chunk.HostTime); }
    void OnFix(const TGpsFix& fix) override { Now.store(fix.Time); }
    void OnLineLost(TDays when, const std::string&) override { Now.store(when); }
    void OnLineRegained(TDays when) override { Now.store(when); }
    void OnStop() override {}

   private:
    std::atomic<double>& Now;
  };
  std::atomic<double> Now{0.0};
  TClockTap ClockTap;
};
