// Stand-in for the host's shared memory manager: the C heap, with a registry
// of live blocks so that a release of a block that is not live is refused
// and counted instead of corrupting the heap.
#include "host/SharedMM.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

struct Registry {
  std::mutex lock;
  std::unordered_map<void*, std::size_t> live;
  int64_t liveBytes = 0;
  int64_t badFrees = 0;
};

// Never destroyed: libraries that unload after this one may still release
// blocks during their own shutdown.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

extern "C" {

ORVIK_SHAREDMM_API void* ORVIK_STDCALL SharedGetMem(std::size_t size) {
  if (size == 0) return nullptr;
  void* block = std::malloc(size);
  if (!block) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  // No exception may leave a C entry point: a registry that cannot grow
  // means out of memory, reported the C way.
  try {
    r.live.emplace(block, size);
  } catch (...) {
    std::free(block);
    return nullptr;
  }
  r.liveBytes += static_cast<int64_t>(size);
  return block;
}

ORVIK_SHAREDMM_API int32_t ORVIK_STDCALL SharedFreeMem(void* block) {
  if (!block) return 0;
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.live.find(block);
    if (it == r.live.end()) {
      ++r.badFrees;
      return 1;
    }
    r.liveBytes -= static_cast<int64_t>(it->second);
    r.live.erase(it);
  }
  std::free(block);
  return 0;
}

ORVIK_SHAREDMM_API void* ORVIK_STDCALL SharedReallocMem(void* block, std::size_t size) {
  if (!block) return SharedGetMem(size);
  if (size == 0) {
    SharedFreeMem(block);
    return nullptr;
  }
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.live.find(block);
  if (it == r.live.end()) {
    ++r.badFrees;
    return nullptr;
  }
  void* grown = std::realloc(block, size);
  if (!grown) return nullptr;
  r.liveBytes += static_cast<int64_t>(size) - static_cast<int64_t>(it->second);
  // Re-key the existing entry: no allocation, so nothing can fail once the
  // block has moved.
  auto entry = r.live.extract(it);
  entry.key() = grown;
  entry.mapped() = size;
  r.live.insert(std::move(entry));
  return grown;
}

ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedLiveBlocks(void) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return static_cast<int64_t>(r.live.size());
}

ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedLiveBytes(void) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.liveBytes;
}

ORVIK_SHAREDMM_API int64_t ORVIK_STDCALL SharedBadFrees(void) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.badFrees;
}

namespace {
constexpr std::size_t kStrHeader = 2 * sizeof(int32_t);

std::atomic_ref<int32_t> refCountOf(PSharedStr s) {
  return std::atomic_ref<int32_t>(reinterpret_cast<int32_t*>(s)[-2]);
}
}  // namespace

ORVIK_SHAREDMM_API PSharedStr ORVIK_STDCALL SharedStrNew(const void* bytes, int32_t length) {
  if (length <= 0) return nullptr;
  const std::size_t n = static_cast<std::size_t>(length);
  char* block = static_cast<char*>(SharedGetMem(kStrHeader + n + 1));
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

ORVIK_SHAREDMM_API void ORVIK_STDCALL SharedStrRelease(PSharedStr s) {
  if (s && refCountOf(s).fetch_sub(1) == 1) SharedFreeMem(s - kStrHeader);
}

}  // extern "C"
