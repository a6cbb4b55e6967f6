// The GPS fixes of a session as a GPX 1.1 track, valid against the GPX 1.1
// schema (docs/gpx/gpx.xsd): one track, a new segment wherever the fixes
// stop for more than ten seconds. Times in UTC.
//
// The file is written whole when the session finishes.
// Threads: one writer is used from one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "refhost/core/SessionTypes.h"

class TGpxWriter : public TRecordSink {
 public:
  // Checks that `path` can be created; throws EOutputWrite when it cannot.
  explicit TGpxWriter(std::string path);

  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord&) override {}
  // Writes the file; throws EOutputWrite when it cannot.
  void OnFinish(const TSessionCounters& counters) override;

 private:
  std::string Path;
  TSessionSettings Settings;
  std::vector<TGpsFix> Fixes;
};
