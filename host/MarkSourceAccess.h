// The accessors through which the plug-in reads the host's GPS mark object
// (host/GPSMarkData.h). The plug-in's own code; a host does not need them.
//
// Each accessor reads the host's values afresh; nothing is cached. A null
// source or member reads as "nothing there": count 0, a block of -9999.0,
// not replaying. None allocates, none throws.
#pragma once

#include <cstdint>

#include "host/GPSMarkData.h"

struct TPositionPair {
  double X;
  double Y;
};

// The value MarkCounter points at, read with an atomic load (safe on the
// watcher thread).
int32_t MarkCount(const TGPSMarkSource* source);
// A copy of the block LatestMark points at.
TPositionBlock GetLastMark(const TGPSMarkSource* source);
// X and Y of that block.
TPositionPair GetLastMarkPosition(const TGPSMarkSource* source);
// True when ReplayFileName has a length greater than 0.
bool IsReplay(const TGPSMarkSource* source);
