// The host process's shared memory manager.
//
// Every block that crosses the plug-in boundary (test data records and all
// their buffers, byte strings handed to the host) comes from this one
// library, so a block allocated on one side may be released on the other.
// The plug-in and everything that stands in for the host bind to it when they
// are loaded (SharedMM.dll on Windows, libSharedMM.so elsewhere).
//
// Threads: every entry point may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/HostApi.h"

#if defined(ORVIK_BUILDING_SHAREDMM)
#define ORVIK_SHAREDMM_API ORVIK_EXPORT
#else
#define ORVIK_SHAREDMM_API ORVIK_IMPORT
#endif

extern "C" {

// Returns a new block of `size` bytes (contents undefined), or null when
// `size` is 0. The caller releases it with SharedFreeMem.
// Out of memory: returns null; C++ callers use the wrappers below, which throw.
ORVIK_SHAREDMM_API void* ORVIK_STDCALL SharedGetMem(std::size_t size);

// Releases a block from SharedGetMem/SharedReallocMem; null is ignored.
// Returns 0 on success, non-zero when the block is not a live block of this
// manager (released twice, or never allocated here); such a block is left alone.
ORVIK_SHAREDMM_API int32_t ORVIK_STDCALL SharedFreeMem(void* block);

// Resizes a block, keeping its first min(old, new) bytes. A null block
// allocates; size 0 releases and returns null. On failure returns null and
// the old block stays valid and owned by the caller.
ORVIK_SHAREDMM_API void* ORVIK_STDCALL SharedReallocMem(void* block, std::size_t size);

// Live-block and live-byte counters, for tests that prove nothing leaks and
// nothing is released twice.
ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedLiveBlocks(void);
ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedLiveBytes(void);
// Number of SharedFreeMem calls refused because the block was not live.
ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedBadFrees(void);

// Byte strings handed across the boundary.
//
// A PSharedStr points at the first byte of a counted, reference-counted byte
// string in one block of this manager; null is the empty string. The block
// holds, in order: a signed 32-bit reference count, a signed 32-bit length,
// the bytes (any value 0x00..0xFF), and one 0x00 that the length does not
// count. Whoever receives a PSharedStr from the plug-in owns one reference and
// gives it back with SharedStrRelease; SharedStrAddRef takes another one.
typedef char* PSharedStr;

// Returns a new string holding a copy of `length` bytes with one reference,
// or null when `length` is 0 or less, or when memory is exhausted.
ORVIK_SHAREDMM_API PSharedStr ORVIK_STDCALL SharedStrNew(const void* bytes, int32_t length);
// Takes one more reference; null is ignored.
ORVIK_SHAREDMM_API void ORVIK_STDCALL SharedStrAddRef(PSharedStr s);
// Gives one reference back and releases the block with the last one; null is ignored.
ORVIK_SHAREDMM_API void ORVIK_STDCALL SharedStrRelease(PSharedStr s);

}  // extern "C"

// Length in bytes of a shared string (0 for null); reads the block header.
inline int32_t SharedStrLength(const char* s) {
  return s ? reinterpret_cast<const int32_t*>(s)[-1] : 0;
}
