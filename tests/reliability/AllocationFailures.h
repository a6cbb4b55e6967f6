// Allocation failures for the reliability runs, from either allocator the
// plug-in uses: the host's shared memory manager (through the stand-in's
// control) or the C++ heap (through this program's operator new, which
// counts and fails the same way). The heap's live blocks are counted too.
#pragma once

#include <cstdint>

enum class TAllocator { Shared, Heap };

// Arms failures of `allocator`: the nth allocation from now fails, and with
// andAfter every one after it. nth 0 disarms both.
void FailAllocations(TAllocator allocator, int64_t nth, bool andAfter);
// Allocations of the armed allocator counted since it was armed.
int64_t AllocationsSeen(TAllocator allocator);
// Blocks from this program's operator new not yet deleted.
int64_t LiveHeapBlocks();
