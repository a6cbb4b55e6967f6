// Stand-in for the host's shared memory manager: the C heap, with a registry
// of live blocks so that a release of a block that is not live is refused
// and counted instead of corrupting the heap.
//
// Every frame the parser delivers is a shared string, so the registry sits on
// the hot path: it is an open-addressing set under a spin lock, and taking
// that lock is the one atomic operation a block pays on its way in and the
// one it pays on its way out. Small released blocks are kept for reuse (see
// SpareBlocks.h), so a frame string usually skips the heap; the heap is
// called outside the lock, except by a resize, which must move the block and
// its entry as one step.
#include "host/SharedMM.h"
#include "standins/sharedmm/SharedMMFaults.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "LiveBlockSet.h"
#include "SpareBlocks.h"
#include "SpinLock.h"

namespace {

struct TRegistry {
  TSpinLock Lock;
  TLiveBlockSet Live;
  int64_t LiveBytes = 0;
  int64_t BadFrees = 0;
};

// Constant-initialised and never destroyed: libraries that unload after this
// one may still release blocks during their own shutdown. The spares, under
// the registry's lock, are an object of their own: all zeros, so their
// table takes no room in the library's file.
constinit TRegistry Registry;
constinit TSpareBlocks Spares;
static_assert(std::is_trivially_destructible_v<TRegistry> && std::is_trivially_destructible_v<TSpareBlocks>);

using TGuard = std::lock_guard<TSpinLock>;

// Failures a test armed (SharedMMFaults.h). While disarmed an allocation pays
// one relaxed load for them.
struct TFaultPlan {
  std::atomic<int64_t> FailAt{0};
  std::atomic<bool> AndAfter{false};
  std::atomic<int64_t> Seen{0};
};
constinit TFaultPlan Faults;

bool PlannedFailure() noexcept {
  const int64_t at = Faults.FailAt.load(std::memory_order_relaxed);
  if (at <= 0) return false;
  const int64_t n = Faults.Seen.fetch_add(1, std::memory_order_relaxed) + 1;
  return n == at || (n > at && Faults.AndAfter.load(std::memory_order_relaxed));
}

// Registers a block already taken from the heap; false when out of memory.
bool Register(void* block, std::size_t size) noexcept {
  if (!Registry.Live.Insert(block, size)) return false;
  Registry.LiveBytes += static_cast<int64_t>(size);
  return true;
}

void* Allocate(std::size_t size) noexcept {
  if (size == 0 || PlannedFailure()) return nullptr;
  if (Spares.MayHave(size)) {
    TGuard guard(Registry.Lock);
    if (void* spare = Spares.Take(size)) {
      if (Register(spare, size)) return spare;
      Spares.Keep(spare, size);  // its class has room: it just came from there
      return nullptr;
    }
  }
  void* block = std::malloc(TSpareBlocks::HeapSize(size));
  if (!block) return nullptr;
  bool registered;
  {
    TGuard guard(Registry.Lock);
    registered = Register(block, size);
  }
  // A registry that cannot grow means out of memory, reported the C way.
  if (!registered) {
    std::free(block);
    return nullptr;
  }
  return block;
}

int32_t Release(void* block) noexcept {
  if (!block) return 0;
  bool kept;
  {
    TGuard guard(Registry.Lock);
    std::size_t size;
    if (!Registry.Live.Erase(block, size)) {
      ++Registry.BadFrees;
      return 1;
    }
    Registry.LiveBytes -= static_cast<int64_t>(size);
    kept = Spares.Keep(block, size);
  }
  // No longer registered, so no other release of this address can reach it.
  if (!kept) std::free(block);
  return 0;
}

void* Resize(void* block, std::size_t size) noexcept {
  if (PlannedFailure()) return nullptr;
  TGuard guard(Registry.Lock);
  const std::size_t at = Registry.Live.Locate(block);
  if (at == TLiveBlockSet::NotFound) {
    ++Registry.BadFrees;
    return nullptr;
  }
  const std::size_t oldSize = Registry.Live.SizeAt(at);
  void* moved = std::realloc(block, TSpareBlocks::HeapSize(size));
  if (!moved) return nullptr;
  Registry.LiveBytes += static_cast<int64_t>(size) - static_cast<int64_t>(oldSize);
  Registry.Live.ReplaceAt(at, moved, size);
  return moved;
}

int64_t ReadCounter(const int64_t& counter) noexcept {
  TGuard guard(Registry.Lock);
  return counter;
}

constexpr std::size_t kStrHeader = 2 * sizeof(int32_t);

std::atomic_ref<int32_t> refCountOf(PSharedStr s) {
  return std::atomic_ref<int32_t>(reinterpret_cast<int32_t*>(s)[-2]);
}

}  // namespace

extern "C" {

ORVIK_SHAREDMM_API void* ORVIK_STDCALL SharedGetMem(std::size_t size) { return Allocate(size); }

ORVIK_SHAREDMM_API int32_t ORVIK_STDCALL SharedFreeMem(void* block) { return Release(block); }

ORVIK_SHAREDMM_API void* ORVIK_STDCALL SharedReallocMem(void* block, std::size_t size) {
  if (!block) return Allocate(size);
  if (size == 0) {
    Release(block);
    return nullptr;
  }
  return Resize(block, size);
}

ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedLiveBlocks(void) {
  TGuard guard(Registry.Lock);
  return static_cast<int64_t>(Registry.Live.Count());
}

ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedLiveBytes(void) { return ReadCounter(Registry.LiveBytes); }

ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedBadFrees(void) { return ReadCounter(Registry.BadFrees); }

ORVIK_SHAREDMM_API void ORVIK_STDCALL SharedFailAllocations(int64_t nth, int32_t andAfter) {
  Faults.FailAt.store(0, std::memory_order_relaxed);  // no allocation counts while re-arming
  Faults.Seen.store(0, std::memory_order_relaxed);
  Faults.AndAfter.store(andAfter != 0, std::memory_order_relaxed);
  Faults.FailAt.store(nth > 0 ? nth : 0, std::memory_order_seq_cst);
}

ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedAllocationsSeen(void) {
  return Faults.Seen.load(std::memory_order_relaxed);
}

ORVIK_SHAREDMM_API PSharedStr ORVIK_STDCALL SharedStrNew(const void* bytes, int32_t length) {
  if (length <= 0) return nullptr;
  const std::size_t n = static_cast<std::size_t>(length);
  char* block = static_cast<char*>(Allocate(kStrHeader + n + 1));
  if (!block) return nullptr;
  const int32_t header[2] = {1, length};
  std::memcpy(block, header, sizeof header);
  if (bytes) std::memcpy(block + kStrHeader, bytes, n);
  else std::memset(block + kStrHeader, 0, n);
  block[kStrHeader + n] = 0;
  return block + kStrHeader;
}

ORVIK_SHAREDMM_API void ORVIK_STDCALL SharedStrAddRef(PSharedStr s) {
  if (s) refCountOf(s).fetch_add(1);
}

// A holder that sees a count of 1 holds the only reference: nobody else can
// take or give one back, so it may release without the atomic decrement.
// The acquiring load still orders every earlier holder's use before the release.
ORVIK_SHAREDMM_API void ORVIK_STDCALL SharedStrRelease(PSharedStr s) {
  if (!s) return;
  std::atomic_ref<int32_t> count = refCountOf(s);
  if (count.load(std::memory_order_acquire) == 1 || count.fetch_sub(1, std::memory_order_acq_rel) == 1)
    Release(s - kStrHeader);
}

}  // extern "C"
