// Small blocks held back from the C heap after their release, per size
// class, and handed out again by the next allocation of that class. The
// parser makes and drops one frame string after another, and a host releases
// its records a second's worth at a time (a thousand and more at a flood's
// rate) before it copies as many again, so most blocks skip the heap
// altogether. What is held back is bounded by a count per class and by a
// byte budget over all of them. A spare block is not live: releasing or
// resizing its address is refused like that of any released block.
//
// Every small block is taken from the heap rounded up to its class's size, so
// a spare can serve any request of its class. Under AddressSanitizer nothing
// is held back or rounded, so it still sees every use after release and every
// overrun past the requested size. gcc announces its address sanitizers with
// __SANITIZE_ADDRESS__ / __SANITIZE_HWADDRESS__, clang only through
// __has_feature, so both are asked.
//
// Not thread-safe: Take and Keep run under the registry's lock. MayHave reads
// without it, as a hint that spares the lock when the class is empty.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_HWADDRESS__)
#define ORVIK_SHAREDMM_ADDRESS_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(hwaddress_sanitizer)
#define ORVIK_SHAREDMM_ADDRESS_CHECKED 1
#endif
#endif

class TSpareBlocks {
 public:
#if defined(ORVIK_SHAREDMM_ADDRESS_CHECKED)
  static constexpr bool Enabled = false;
#else
  static constexpr bool Enabled = true;
#endif
  static constexpr std::size_t Granule = 16, Classes = 32, Depth = 2048;
  static constexpr std::size_t LargestSmall = Granule * Classes;
  static constexpr std::size_t HeldBytesLimit = std::size_t{1} << 20;

  constexpr TSpareBlocks() noexcept = default;

  // How many bytes to take from the heap for a request of `size`.
  static constexpr std::size_t HeapSize(std::size_t size) noexcept {
    return Enabled && size <= LargestSmall ? (size + Granule - 1) / Granule * Granule : size;
  }

  bool MayHave(std::size_t size) const noexcept {
    return IsSmall(size) && FCount[ClassOf(size)].load(std::memory_order_relaxed) != 0;
  }

  // A spare block for `size`, or null.
  void* Take(std::size_t size) noexcept {
    if (!IsSmall(size)) return nullptr;
    const std::size_t c = ClassOf(size);
    const uint16_t n = FCount[c].load(std::memory_order_relaxed);
    if (n == 0) return nullptr;
    FCount[c].store(static_cast<uint16_t>(n - 1), std::memory_order_relaxed);
    FHeldBytes -= ClassBytes(c);
    return FBlocks[c][n - 1];
  }

  // Keeps a released block whose requested size was `size`; false when it
  // must go back to the heap.
  bool Keep(void* block, std::size_t size) noexcept {
    if (!IsSmall(size)) return false;
    const std::size_t c = ClassOf(size);
    const uint16_t n = FCount[c].load(std::memory_order_relaxed);
    if (n == Depth || FHeldBytes + ClassBytes(c) > HeldBytesLimit) return false;
    FBlocks[c][n] = block;
    FCount[c].store(static_cast<uint16_t>(n + 1), std::memory_order_relaxed);
    FHeldBytes += ClassBytes(c);
    return true;
  }

 private:
  static constexpr bool IsSmall(std::size_t size) noexcept { return Enabled && size - 1 < LargestSmall; }
  static constexpr std::size_t ClassOf(std::size_t size) noexcept { return (size - 1) / Granule; }
  static constexpr std::size_t ClassBytes(std::size_t c) noexcept { return (c + 1) * Granule; }

  void* FBlocks[Classes][Depth] = {};
  std::atomic<uint16_t> FCount[Classes] = {};
  std::size_t FHeldBytes = 0;
};
