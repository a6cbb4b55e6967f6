// The host's GPS mark object and its position block: exchange types only.
//
// The host owns TGPSMarkSource; the plug-in never creates, copies or frees it
// and reads only the three members below. A host (or anything standing in for
// one) must keep the object and the memory its members point at valid for as
// long as a decoder holds the object, and must write the mark counter with
// atomic stores (it is read from the decoder's watcher thread while the host
// writes it). The latest mark is read without a lock: the host replaces it on
// its own thread, between calls into the decoder.
#pragma once

#include <cstdint>

#include "host/SharedMM.h"

// One fix: coordinates and the date-time of the fix in days (host clock scale).
// X = Y = -9999.0 means no position is known.
struct TPositionBlock {
  double X;
  double Y;
  double Time;
};
static_assert(sizeof(TPositionBlock) == 24, "TPositionBlock is an exchange format");

struct TGPSMarkSource {
  PSharedStr ReplayFileName;   // non-empty while the host replays a recorded file
  int32_t* MarkCounter;        // marks produced so far; 1 is the first mark
  TPositionBlock* LatestMark;  // the host's latest mark
};
static_assert(sizeof(TGPSMarkSource) == 3 * sizeof(void*), "TGPSMarkSource is an exchange format");
