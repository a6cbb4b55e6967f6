// The host's GPS mark object: the latest fix, the mark counter and, in a
// replay, the replayed file's name, in the layout the decoder reads.
//
// Threads: Publish and SetReplayFileName run on the session driver's thread,
// between calls into the decoder; the decoder's watcher thread reads the
// counter meanwhile, which is why it is written with atomic stores.
#pragma once

#include <cstdint>
#include <string>

#include "host/GPSMarkData.h"
#include "refhost/core/SessionTypes.h"

class THostMarkSource {
 public:
  THostMarkSource();
  // Releases the replay file name.
  ~THostMarkSource();
  THostMarkSource(const THostMarkSource&) = delete;
  THostMarkSource& operator=(const THostMarkSource&) = delete;

  // The object to hand to GetDllDevice (borrowed; valid while this lives).
  TGPSMarkSource* Source() { return &Marks; }

  // Stores the fix as the latest mark (X longitude, Y latitude, Time), then
  // advances the counter with an atomic store. Returns the stored block.
  TPositionBlock Publish(const TGpsFix& fix);

  // Non-empty: the decoder replays (sends nothing). The name is held as a
  // shared string from SharedStrNew; throws std::bad_alloc when it cannot be
  // allocated, leaving the old name.
  void SetReplayFileName(const std::string& name);

  int32_t Count() const;
  TPositionBlock Latest() const { return Latest_; }

 private:
  alignas(4) int32_t Counter = 0;
  TPositionBlock Latest_{NoPosition, NoPosition, 0.0};
  TGPSMarkSource Marks{};
  static constexpr double NoPosition = -9999.0;
};
