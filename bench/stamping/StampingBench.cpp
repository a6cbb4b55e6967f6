// Cost of one GPS mark spread over 10,000 waiting records (the interpolation
// path), per record, against the bare host access the path cannot avoid as
// the yardstick: the count call and the record call for each index, and one
// position write.
#include <benchmark/benchmark.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "plugin/Orvik7316MSDecode.h"
#include "testdata/DataAccessAPIUnit.h"

namespace {

constexpr int32_t Waiting = 10000;
constexpr int32_t DeviceNo = 1;

// A host whose store keeps growing: each round appends Waiting records. The
// same physical records stand for every round, as index - Base.
struct THost {
  std::vector<TTestDataRecord*> Records;
  int32_t Base = 0;

  THost() {
    for (int32_t i = 0; i < Waiting; ++i) {
      TTestDataRecord* r = NewTestData(tdkGSM);
      r->TimeStamp2 = 45000.0 + i / 86400.0;
      Records.push_back(r);
    }
  }
  ~THost() {
    for (TTestDataRecord* r : Records) FreeTestData(r);
  }
  static int32_t Count(void* context, int32_t) {
    const auto* self = static_cast<THost*>(context);
    return self->Base + Waiting;
  }
  static TTestDataRecord* At(void* context, int32_t, int32_t index) {
    auto* self = static_cast<THost*>(context);
    return self->Records[static_cast<size_t>(index - self->Base)];
  }
};

struct TMarks {
  int32_t Counter = 0;
  TPositionBlock Latest{0.0, 0.0, 0.0};
  TGPSMarkSource Source{nullptr, &Counter, &Latest};
  void Next() {
    Latest = {Latest.X + 0.001, Latest.Y - 0.002, 45000.0 + Counter / 86400.0};
    std::atomic_ref<int32_t>(Counter).fetch_add(1);
  }
};

// A decoder past its first mark, so that the next one interpolates.
std::unique_ptr<TOrvik7316MSDecode> ReadyDecoder(THost& host, TMarks& marks) {
  std::unique_ptr<TOrvik7316MSDecode> decoder(TOrvik7316MSDecode::Create(nullptr, &marks.Source));
  decoder->SetDeviceNumber(DeviceNo);
  decoder->SetRecordCountCallback({&THost::Count, &host});
  decoder->SetRecordAtCallback({&THost::At, &host});
  host.Base = 0;
  marks.Next();
  decoder->NewPosition(marks.Latest);
  return decoder;
}

void BM_InterpolateOneMark(benchmark::State& state) {
  THost host;
  TMarks marks;
  auto decoder = ReadyDecoder(host, marks);
  for (auto _ : state) {
    if (host.Base > INT32_MAX - 4 * Waiting) {  // indices would overflow: start over
      state.PauseTiming();
      decoder = ReadyDecoder(host, marks);
      state.ResumeTiming();
    }
    host.Base += Waiting;
    marks.Next();
    decoder->NewPosition(marks.Latest);
  }
  if (decoder->LastStampedIndex() != host.Base + Waiting - 1) state.SkipWithError("not all records were stamped");
  const double records = static_cast<double>(state.iterations()) * Waiting;
  state.counters["per_record"] =
      benchmark::Counter(records, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_InterpolateOneMark);

// Yardstick: the two host calls per index and one pair written, nothing else.
void BM_BareHostAccess(benchmark::State& state) {
  THost host;
  TRecordCountCallback count{&THost::Count, &host};
  TRecordAtCallback at{&THost::At, &host};
  benchmark::DoNotOptimize(count);
  benchmark::DoNotOptimize(at);
  double x = 0.0;
  for (auto _ : state) {
    x += 0.001;
    for (int32_t i = 0; i < Waiting; ++i) {
      if (i >= count.Code(count.Context, DeviceNo)) continue;
      TTestDataRecord* r = at.Code(at.Context, DeviceNo, i);
      const double pair[2] = {x, -x};
      std::memcpy(reinterpret_cast<unsigned char*>(r) + offsetof(TTestDataRecord, PositionX), pair,
                  sizeof pair);
    }
    benchmark::ClobberMemory();
  }
  const double records = static_cast<double>(state.iterations()) * Waiting;
  state.counters["per_record"] =
      benchmark::Counter(records, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareHostAccess);

}  // namespace
