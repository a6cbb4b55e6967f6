// The session runner: one start-up and tear-down order, one stop handling
// and one status for every session the host runs, live or replayed.
//
// A front end turns its options into a plan (the plug-in loaded, the port,
// the sources of events, the sinks, the options), opening and checking
// everything before the runner starts; the runner then
//   1. starts the driver on a thread of its own, then each source in order;
//   2. on its own thread, calls the status callback every status period and
//      passes on the driver's notices, and asks the driver to stop at the
//      end of the duration or on RequestStop;
//   3. once the driver has ended (stopping the decoder, handing every record
//      to the sinks and finishing them), closes the queue and stops the
//      sources in reverse order.
// The runner owns the record store and the driver, so when Run returns
// nothing of the plug-in's memory is held: the caller may unload it and
// count what is left.
//
// Portable: no signals, no terminal. A front end hands Ctrl-C to
// RequestStop from a thread of its own.
//
// Threads: Run on one thread; RequestStop from any other.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "refhost/core/CaptureTap.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/core/RecordStore.h"
#include "refhost/core/SessionDriver.h"

// Something that pushes events into the session's queue on threads of its
// own: a port's reader, a GPS source, a capture being replayed.
class TEventSource {
 public:
  virtual ~TEventSource() = default;
  virtual void Start() = 0;
  // Returns once the source pushes nothing more. Called after the queue is
  // closed, so a push that waits for room returns at once.
  virtual void Stop() = 0;
};

struct TRunPlan {
  // All borrowed; each must outlive Run.
  const TLoadedPlugin* Plugin = nullptr;
  THostPort* Port = nullptr;
  TSessionEventQueue* Queue = nullptr;
  std::vector<TEventSource*> Sources;
  std::vector<TRecordSink*> Sinks;
  TCaptureTap* Tap = nullptr;  // null: none
  TRecordDescriber Describe = DescribeBasics;
  TSessionOptions Options;
  double DurationSeconds = 0;       // 0: until the input ends or a stop
  double StatusPeriodSeconds = 1;
  // On the runner's thread: every status period, and at once for each
  // notice of the driver (GPS quiet, ended, back).
  std::function<void(double elapsedSeconds, const TSessionStatus& status)> OnStatus;
  std::function<void(const std::string& notice)> OnNotice;
};

struct TRunOutcome {
  TSessionEnd End = TSessionEnd::Done;
  bool DurationReached = false;  // the stop was the end of the duration
  double ElapsedSeconds = 0;
  TSessionCounters Counters;
  int64_t RecordsWritten = 0;
  std::string EndMessage;        // the driver's sentence on the ending
  std::exception_ptr Failure;    // what the session failed with (a writer, the plug-in); null if none
};

class TSessionRunner {
 public:
  explicit TSessionRunner(TRunPlan plan);
  TSessionRunner(const TSessionRunner&) = delete;
  TSessionRunner& operator=(const TSessionRunner&) = delete;

  // Runs the plan to its end; never throws for what the session does (see
  // TRunOutcome::Failure).
  TRunOutcome Run();
  // Ends the session as Ctrl-C does; any thread, any time, also before Run.
  void RequestStop();

 private:
  TRunPlan Plan;
  std::mutex Lock;
  std::condition_variable Wake;
  std::vector<std::string> Notices;
  bool DriverDone = false;
  bool StopAsked = false;
};

// "Session ended (duration reached) after 10.0 s": the first words of a
// summary, by how the run ended.
std::string EndingText(const char* what, const TRunOutcome& outcome);
