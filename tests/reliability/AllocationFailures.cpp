#include "tests/reliability/AllocationFailures.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "standins/sharedmm/SharedMMFaults.h"

namespace {

std::atomic<int64_t> HeapFailAt{0}, HeapSeen{0}, HeapLive{0};
std::atomic<bool> HeapAndAfter{false};

void* HeapAllocate(std::size_t size) {
  if (const int64_t at = HeapFailAt.load(std::memory_order_relaxed); at > 0) {
    const int64_t n = HeapSeen.fetch_add(1) + 1;
    if (n == at || (n > at && HeapAndAfter.load())) throw std::bad_alloc();
  }
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  HeapLive.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void HeapRelease(void* block) noexcept {
  if (!block) return;
  HeapLive.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return HeapAllocate(size); }
void* operator new[](std::size_t size) { return HeapAllocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return HeapAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { HeapRelease(block); }
void operator delete[](void* block) noexcept { HeapRelease(block); }
void operator delete(void* block, std::size_t) noexcept { HeapRelease(block); }
void operator delete[](void* block, std::size_t) noexcept { HeapRelease(block); }

void FailAllocations(TAllocator allocator, int64_t nth, bool andAfter) {
  SharedFailAllocations(0, 0);
  HeapFailAt.store(0);
  if (nth <= 0) return;
  if (allocator == TAllocator::Shared) {
    SharedFailAllocations(nth, andAfter ? 1 : 0);
  } else {
    HeapSeen.store(0);
    HeapAndAfter.store(andAfter);
    HeapFailAt.store(nth);
  }
}

int64_t AllocationsSeen(TAllocator allocator) {
  return allocator == TAllocator::Shared ? SharedAllocationsSeen() : HeapSeen.load();
}

int64_t LiveHeapBlocks() { return HeapLive.load(); }
