// Cost of one block through the shared memory manager against the C heap
// alone, at the size of a typical frame string (80 bytes). Every frame the
// parser delivers pays one string allocation and one release, so this is the
// per-frame overhead the registry of live blocks adds.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/SharedMM.h"
#include "platform/ByteString.h"

namespace {

constexpr std::size_t FrameBytes = 80;
// A shared string block: reference count, length, bytes, terminator.
constexpr std::size_t StringBlockBytes = 2 * sizeof(int32_t) + FrameBytes + 1;

const char* Payload() {
  static const std::vector<char> bytes(FrameBytes, 'x');
  return bytes.data();
}

// Other blocks kept live during the run, so the registry is measured with
// entries in it and not only empty.
class TBackground {
 public:
  explicit TBackground(int64_t count) {
    for (int64_t i = 0; i < count; ++i) FBlocks.push_back(SharedGetMem(FrameBytes));
  }
  ~TBackground() {
    for (void* b : FBlocks) SharedFreeMem(b);
  }

 private:
  std::vector<void*> FBlocks;
};

void BM_MallocFree(benchmark::State& state) {
  for (auto _ : state) {
    void* block = std::malloc(FrameBytes);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}
BENCHMARK(BM_MallocFree)->ThreadRange(1, 2);

void BM_SharedGetFreeMem(benchmark::State& state) {
  const TBackground background(state.range(0));
  for (auto _ : state) {
    void* block = SharedGetMem(FrameBytes);
    benchmark::DoNotOptimize(block);
    SharedFreeMem(block);
  }
}
BENCHMARK(BM_SharedGetFreeMem)->ArgName("live")->Arg(0)->Arg(100000);

// Yardstick for the string: the same block size and copy on the C heap.
void BM_MallocCopyFree(benchmark::State& state) {
  const char* payload = Payload();
  for (auto _ : state) {
    char* block = static_cast<char*>(std::malloc(StringBlockBytes));
    std::memcpy(block + 2 * sizeof(int32_t), payload, FrameBytes);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}
BENCHMARK(BM_MallocCopyFree)->ThreadRange(1, 2);

void BM_SharedStrNewRelease(benchmark::State& state) {
  const TBackground background(state.thread_index() == 0 ? state.range(0) : 0);
  const char* payload = Payload();
  for (auto _ : state) {
    PSharedStr s = SharedStrNew(payload, static_cast<int32_t>(FrameBytes));
    benchmark::DoNotOptimize(s);
    SharedStrRelease(s);
  }
}
BENCHMARK(BM_SharedStrNewRelease)->ArgName("live")->Arg(0)->Arg(100000);
BENCHMARK(BM_SharedStrNewRelease)->ArgName("live")->Arg(0)->Threads(2);

// What the parser does per frame: a TByteString made and dropped.
void BM_ByteStringMakeDrop(benchmark::State& state) {
  const char* payload = Payload();
  for (auto _ : state) {
    const TByteString frame(payload, FrameBytes);
    benchmark::DoNotOptimize(frame.data());
  }
}
BENCHMARK(BM_ByteStringMakeDrop);

}  // namespace
