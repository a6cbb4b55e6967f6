// Deep copy and release of a fully populated GSM record, against the floor
// any deep copy has to pay: the same number of blocks with the same sizes
// from the same shared allocator, each filled with one memcpy and released.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "host/SharedAlloc.h"
#include "testdata/DataAccessAPIUnit.h"

namespace {

constexpr uint16_t BufferSize = 200;
constexpr uint8_t TagCount = 8;
constexpr uint16_t EntryLengths[] = {32, 64, 16, 128};
constexpr uint8_t EntryCount = sizeof EntryLengths / sizeof EntryLengths[0];

uint8_t* Filled(std::size_t size) {
  auto* block = static_cast<uint8_t*>(SharedAlloc(size));
  for (std::size_t i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(i * 13 + 5);
  return block;
}

// Every part of a GSM sub-record present: sized buffer, entries, tags and all
// five optional blocks.
TTestDataRecord* FullGSMRecord() {
  TTestDataRecord* r = NewTestData(tdkGSM);
  auto* sub = static_cast<TGSMKindData*>(r->KindData);
  sub->Buffer.Size = BufferSize;
  sub->Buffer.Data = Filled(BufferSize);
  auto* entries = static_cast<TVarEntry*>(SharedAlloc(EntryCount * sizeof(TVarEntry)));
  for (std::size_t i = 0; i < EntryCount; ++i) {
    entries[i].Length = EntryLengths[i];
    entries[i].Data = Filled(EntryLengths[i]);
  }
  sub->Entries.EntryCount = EntryCount;
  sub->Entries.Entries = entries;
  sub->Tagged.TagCount = TagCount;
  sub->Tagged.Tags = Filled(TagCount);
  sub->Tagged.Details = Filled(TagCount * TaggedDetailSize);
  sub->OptionalFlags = 0x1F;
  for (unsigned bit = 0; bit < 5; ++bit) {
    void* block = Filled(OptionalBlockSize(tdkGSM, bit));
    std::memcpy(reinterpret_cast<uint8_t*>(sub) + offsetof(TGSMKindData, OptionalBlocks) + bit * sizeof(void*),
                &block, sizeof block);
  }
  return r;
}

// The sizes of the blocks one copy of that record allocates.
std::vector<std::size_t> BlockSizesOfOneCopy() {
  std::vector<std::size_t> sizes{sizeof(TTestDataRecord), sizeof(TGSMKindData), BufferSize,
                                 EntryCount * sizeof(TVarEntry), TagCount, TagCount * TaggedDetailSize};
  for (uint16_t length : EntryLengths) sizes.push_back(length);
  for (unsigned bit = 0; bit < 5; ++bit) sizes.push_back(OptionalBlockSize(tdkGSM, bit));
  return sizes;
}

int64_t TotalBytes(const std::vector<std::size_t>& sizes) {
  int64_t total = 0;
  for (std::size_t s : sizes) total += static_cast<int64_t>(s);
  return total;
}

void BM_CopyAndFreeFullGSMRecord(benchmark::State& state) {
  TTestDataRecord* source = FullGSMRecord();
  const auto sizes = BlockSizesOfOneCopy();
  // The yardstick below is only fair if it moves the same blocks.
  const int64_t blocks0 = SharedLiveBlocks(), bytes0 = SharedLiveBytes();
  TTestDataRecord* probe = CopyTestData(source);
  if (SharedLiveBlocks() - blocks0 != static_cast<int64_t>(sizes.size()) ||
      SharedLiveBytes() - bytes0 != TotalBytes(sizes))
    state.SkipWithError("the copy allocates other blocks than the yardstick");
  FreeTestData(probe);

  for (auto _ : state) {
    TTestDataRecord* copy = CopyTestData(source);
    benchmark::DoNotOptimize(copy);
    FreeTestData(copy);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes(sizes));
  state.counters["blocks"] = static_cast<double>(sizes.size());
  FreeTestData(source);
}
BENCHMARK(BM_CopyAndFreeFullGSMRecord);

void BM_FlatCopyOfTheSameBlocks(benchmark::State& state) {
  const auto sizes = BlockSizesOfOneCopy();
  std::vector<uint8_t*> sources;
  for (std::size_t s : sizes) sources.push_back(Filled(s));
  std::vector<void*> copies(sizes.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      copies[i] = SharedGetMem(sizes[i]);
      std::memcpy(copies[i], sources[i], sizes[i]);
    }
    benchmark::DoNotOptimize(copies.data());
    for (void* c : copies) SharedFreeMem(c);
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes(sizes));
  state.counters["blocks"] = static_cast<double>(sizes.size());
  for (uint8_t* s : sources) SharedRelease(s);
}
BENCHMARK(BM_FlatCopyOfTheSameBlocks);

}  // namespace
