#include "host/SharedAlloc.h"

#include <cstring>
#include <new>

void* SharedAlloc(std::size_t size) {
  if (size == 0) return nullptr;
  void* block = SharedGetMem(size);
  if (!block) throw std::bad_alloc();
  std::memset(block, 0, size);
  return block;
}

void* SharedAllocCopy(const void* src, std::size_t size) {
  if (size == 0) return nullptr;
  void* block = SharedGetMem(size);
  if (!block) throw std::bad_alloc();
  std::memcpy(block, src, size);
  return block;
}

void SharedRelease(void* block) noexcept { SharedFreeMem(block); }
