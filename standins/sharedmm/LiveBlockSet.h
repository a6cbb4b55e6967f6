// The set of live blocks and their sizes.
//
// Open addressing with linear probing over a power-of-two table of
// {block, size} slots; a null block marks an empty slot. Removal shifts the
// rest of the probe run back instead of leaving tombstones, so a lookup
// stops at the first empty slot and the table never fills with dead entries.
// The table is kept at most half full (grows by doubling) and shrinks by
// half once it has stayed under an eighth full for as many changes as it has
// slots, never below 4096 slots: a host that holds its records until the
// next fix and then releases them all swings the count by thousands every
// second, and must not rebuild the table on each swing. Only a resize
// allocates, so adding, finding and removing cost no heap traffic.
//
// Not thread-safe: the caller serialises every call. The table lives on the
// C heap and is never released (the set has no destructor), so a set at
// namespace scope keeps working while other libraries shut down.
#pragma once

#include <cstddef>

class TLiveBlockSet {
 public:
  constexpr TLiveBlockSet() noexcept = default;

  // Adds a block that is not in the set. False when the table had to grow
  // and could not (out of memory); the set is unchanged then.
  bool Insert(void* block, std::size_t size) noexcept;
  // Removes `block` and gives its size; false when it is not in the set.
  bool Erase(void* block, std::size_t& size) noexcept;
  // Where `block` is in the table, or NotFound; good until the set changes.
  std::size_t Locate(const void* block) const noexcept;
  std::size_t SizeAt(std::size_t index) const noexcept { return FSlots[index].Size; }
  // Replaces the block found at `index` by `moved` with a new size. Never
  // allocates, so it cannot fail.
  void ReplaceAt(std::size_t index, void* moved, std::size_t size) noexcept;

  std::size_t Count() const noexcept { return FCount; }
  std::size_t Capacity() const noexcept { return FMask ? FMask + 1 : 0; }

  static constexpr std::size_t NotFound = ~std::size_t{0};

 private:
  struct TSlot {
    void* Block;
    std::size_t Size;
  };

  std::size_t Home(const void* block) const noexcept;
  void Place(void* block, std::size_t size) noexcept;
  void RemoveAt(std::size_t index) noexcept;
  bool Resize(std::size_t capacity) noexcept;
  // Counts a change towards a shrink; true when the table should shrink.
  bool CalmEnoughToShrink() noexcept;

  TSlot* FSlots = nullptr;
  std::size_t FMask = 0;   // capacity - 1; 0 while no table exists
  unsigned FShift = 64;    // 64 - log2(capacity), for the multiplicative hash
  std::size_t FCount = 0;
  std::size_t FCalmChanges = 0;  // changes in a row made while under an eighth full
};
