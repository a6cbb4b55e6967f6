// What the session driver reports to a capture as it goes: every event that
// reaches the decoder, in the order the driver processes it, so that feeding
// the same events in the same order yields the same records.
//
// Threads: called on the driver's thread. A tap that throws ends the session
// as a failure (the driver still stops the decoder cleanly).
#pragma once

#include <string>

#include "refhost/core/SessionTypes.h"

class TCaptureTap {
 public:
  virtual ~TCaptureTap() = default;
  // Once, before anything else.
  virtual void OnSettings(const TSessionSettings& settings) = 0;
  // Each chunk, right before it is fed to the decoder.
  virtual void OnChunk(const TChunk& chunk) = 0;
  // Each fix, right before it is published to the decoder.
  virtual void OnFix(const TGpsFix& fix) = 0;
  virtual void OnLineLost(TDays when, const std::string& why) = 0;
  virtual void OnLineRegained(TDays when) = 0;
  // Once, when the session ends, whatever the ending.
  virtual void OnStop() = 0;
};
