// Helpers for the record tests: a fixture that proves every test gives back
// exactly the shared blocks it took, records populated the way the host's
// libraries populate them, and an independent walk over everything a record
// owns.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/SharedMM.h"
#include "tests/common/SharedMemoryTest.h"
#include "testdata/DataAccessAPIUnit.h"

// A packed field as a value: gtest's macros take references, which a packed
// field cannot bind to.
template <class T>
constexpr T Val(T value) {
  return value;
}

// Packed fields are reached through memcpy only.
template <class T>
T Get(const void* base, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}
template <class T>
void Put(void* base, std::size_t offset, T value) {
  std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

// Block sizes by kind and flag bit, as the exchange format defines them
// (0: no block for that bit).
extern const uint16_t ExpectedBlockSizes[5][9];
// Sub-record sizes of the 32-bit layout and the number of pointers inside.
extern const std::size_t ExpectedKindSize32[5];
extern const std::size_t KindPointerCount[5];
std::size_t Shifted(std::size_t offset32, std::size_t pointersBefore);
std::size_t ExpectedKindSize(uint8_t kind);

// A new shared block of `size` bytes holding a pattern that depends on seed.
uint8_t* PatternBlock(std::size_t size, uint8_t seed);

struct TPopulation {
  int32_t Items = 3;
  uint16_t BufferSize = 7;
  std::vector<uint16_t> EntryLengths{5, 0, 300};
  uint8_t Tags = 4;
  bool AllBlocks = true;  // every block bit the kind has
};

// A record of kind 0..4 with every owned part present, built by hand with
// the shared allocator as the host's libraries would build it; all opaque
// bytes carry patterns. Release with FreeTestData.
TTestDataRecord* BuildRecord(uint8_t kind, const TPopulation& population = {});

// One owned buffer of a record: where it is and how long.
struct TOwned {
  const void* Data;
  std::size_t Size;
  bool Leaf;  // holds only opaque bytes (no counts or pointers)
};

// Walks a record of kind 0..4 (or compact) by its counts, sizes and flags:
// `Bytes` gets every value byte (header without the static mark and
// KindData, sub-record without its pointer slots, then every owned buffer);
// `Owned` every owned buffer including the sub-record.
struct TWalk {
  std::vector<uint8_t> Bytes;
  std::vector<TOwned> Owned;
};
TWalk WalkRecord(const TTestDataRecord* record);
