// Allocation failures on request, for tests that prove every caller copes
// with exhausted shared memory: a test control of the stand-in shared memory
// manager, not part of what a host links against.
//
// Counting starts when failures are armed: every allocation (SharedGetMem,
// SharedStrNew, SharedReallocMem of a new or resized block) counts as one,
// whether it fails or not. Releases never fail and are not counted.
//
// Threads: any thread; arm and disarm while no other thread allocates if the
// count must be exact.
#pragma once

#include <cstdint>

#include "host/SharedMM.h"

extern "C" {

// Arms failures: the `nth` allocation from now on (1-based) returns null, and
// with `andAfter` non-zero every allocation after it too. `nth` 0 or less
// disarms. Nothing to release; cannot fail.
ORVIK_SHAREDMM_API void ORVIK_STDCALL SharedFailAllocations(int64_t nth, int32_t andAfter);

// Allocations counted since failures were last armed (0 while disarmed).
ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedAllocationsSeen(void);

}  // extern "C"
