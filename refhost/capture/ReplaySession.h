// A whole replay: a capture played through the plug-in into the writers,
// the way a host replays a recorded file. The mark source carries the
// capture's name, so the plug-in writes nothing to the port and skips its
// pauses; every chunk is fed at its recorded host time and every fix is
// published at its recorded place between the chunks, so the records come
// out as the live session wrote them.
//
// Portable: the command line and the Windows replay program both run it.
//
// Threads: Run on one thread; RequestStop from any other.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "refhost/capture/CaptureReader.h"
#include "refhost/capture/ReplaySource.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/core/SessionDriver.h"
#include "refhost/run/SessionRunner.h"

struct TReplayOutcome {
  TSessionEnd End = TSessionEnd::Done;
  double ElapsedSeconds = 0;
  TCaptureEnd Capture;           // how the reading of the capture ended
  std::string Warning;           // for the user; empty when the capture was whole
  TSessionCounters Counters;
  int64_t RecordsWritten = 0;    // records handed to the sinks
  int64_t PortBytesWritten = 0;  // what the plug-in tried to send: 0 in a correct replay
};

class TReplaySession {
 public:
  // Opens the capture and reads its settings. Throws ECaptureRefused when
  // the file cannot be opened, is not a capture or is a newer version.
  TReplaySession(const std::string& capturePath, bool realtime);
  ~TReplaySession();

  // The recorded settings (Source is the capture's name when it has none).
  const TSessionSettings& Settings() const { return Recorded; }

  // Replays the whole capture into `sinks` (borrowed; they must outlive the
  // call) through a decoder of `plugin`. Throws what the session driver
  // throws (a writer's EOutputWrite, a plug-in that gives no decoder),
  // after the decoder has been stopped and deleted.
  // `onStatus`, when given, is called about once a second on the calling
  // thread with the seconds elapsed and the driver's status.
  TReplayOutcome Run(const TLoadedPlugin& plugin, const std::vector<TRecordSink*>& sinks,
                     const std::function<void(double, const TSessionStatus&)>& onStatus = {});

  // Ends the replay early, as at the end of the capture.
  void RequestStop();

 private:
  const std::string Path;
  TCaptureReader Reader;
  TSessionEventQueue Queue;
  TReplaySource Source;
  TSessionSettings Recorded;
};

// The exit status of a replay by how its capture ended: 0 for a whole
// capture or a cut-off tail, 5 for damage in the middle.
int ReplayExitStatus(const TReplayOutcome& outcome);
