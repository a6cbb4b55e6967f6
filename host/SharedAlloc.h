// C++ conveniences over the shared memory manager for the system's own code
// (not part of what a host links against): they raise std::bad_alloc instead
// of returning null, so out of memory surfaces as the runtime's
// out-of-memory failure.
#pragma once

#include <cstddef>

#include "host/SharedMM.h"

void* SharedAlloc(std::size_t size);         // zero-filled; size 0 gives null
void* SharedAllocCopy(const void* src, std::size_t size);  // size 0 gives null
void SharedRelease(void* block) noexcept;    // null is ignored
