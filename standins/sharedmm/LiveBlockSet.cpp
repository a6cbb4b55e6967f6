#include "LiveBlockSet.h"

#include <bit>
#include <cstdint>
#include <cstdlib>

namespace {
constexpr std::size_t FirstCapacity = 256;
// A host that fetches and releases records in batches swings the count by
// hundreds each time; shrinking on every swing would rebuild the table as
// often. 4096 slots are 64 KiB.
constexpr std::size_t ShrinkFloor = 4096;
}  // namespace

// Blocks are aligned, so their low bits carry nothing: multiply by 2^64/phi
// and keep the top bits, which every address bit reaches.
std::size_t TLiveBlockSet::Home(const void* block) const noexcept {
  const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block));
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> FShift);
}

std::size_t TLiveBlockSet::Locate(const void* block) const noexcept {
  if (FCount == 0) return NotFound;
  for (std::size_t i = Home(block);; i = (i + 1) & FMask) {
    if (FSlots[i].Block == block) return i;
    if (!FSlots[i].Block) return NotFound;
  }
}

// Puts an entry into the first empty slot of its probe run; the caller
// made sure there is room.
void TLiveBlockSet::Place(void* block, std::size_t size) noexcept {
  std::size_t i = Home(block);
  while (FSlots[i].Block) i = (i + 1) & FMask;
  FSlots[i] = {block, size};
}

// Empties slot `index` and closes the gap: each later entry of the run whose
// probe path passes over the gap moves into it, so every entry stays
// reachable from its home slot without crossing an empty slot.
void TLiveBlockSet::RemoveAt(std::size_t index) noexcept {
  std::size_t gap = index;
  for (std::size_t i = (gap + 1) & FMask; FSlots[i].Block; i = (i + 1) & FMask) {
    const std::size_t fromHome = (i - Home(FSlots[i].Block)) & FMask;
    const std::size_t fromGap = (i - gap) & FMask;
    if (fromHome >= fromGap) {
      FSlots[gap] = FSlots[i];
      gap = i;
    }
  }
  FSlots[gap].Block = nullptr;
  --FCount;
}

bool TLiveBlockSet::Resize(std::size_t capacity) noexcept {
  auto* slots = static_cast<TSlot*>(std::calloc(capacity, sizeof(TSlot)));
  if (!slots) return false;
  TSlot* const old = FSlots;
  const std::size_t oldCapacity = Capacity();
  FSlots = slots;
  FMask = capacity - 1;
  FShift = 64u - static_cast<unsigned>(std::countr_zero(capacity));
  FCalmChanges = 0;
  for (std::size_t i = 0; i < oldCapacity; ++i)
    if (old[i].Block) Place(old[i].Block, old[i].Size);
  std::free(old);
  return true;
}

bool TLiveBlockSet::Insert(void* block, std::size_t size) noexcept {
  if (2 * (FCount + 1) > Capacity()) {
    if (!Resize(FSlots ? 2 * Capacity() : FirstCapacity)) return false;
  }
  Place(block, size);
  ++FCount;
  CalmEnoughToShrink();  // only counts: a shrink right after an insert would be undone soon
  return true;
}

bool TLiveBlockSet::CalmEnoughToShrink() noexcept {
  if (8 * FCount >= Capacity()) {
    FCalmChanges = 0;
    return false;
  }
  return ++FCalmChanges >= Capacity() && Capacity() > ShrinkFloor;
}

bool TLiveBlockSet::Erase(void* block, std::size_t& size) noexcept {
  const std::size_t i = Locate(block);
  if (i == NotFound) return false;
  size = FSlots[i].Size;
  RemoveAt(i);
  // A failed shrink only keeps the larger table.
  if (CalmEnoughToShrink()) Resize(Capacity() / 2);
  return true;
}

void TLiveBlockSet::ReplaceAt(std::size_t index, void* moved, std::size_t size) noexcept {
  if (FSlots[index].Block == moved) {
    FSlots[index].Size = size;
    return;
  }
  // Removing first frees a slot, so placing the moved block needs no growth.
  RemoveAt(index);
  Place(moved, size);
  ++FCount;
}
