#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "refhost/output/CsvWriter.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/JsonLines.h"

namespace {

// A mix as a session has it: two idle reports, a dedicated report and a
// signalling message.
std::vector<THostRecord> Mix() {
  std::vector<THostRecord> records(4);
  const TDays t0 = MakeDays(2026, 12, 8, 10, 15, 2.125);
  for (size_t i = 0; i < records.size(); ++i) {
    THostRecord& r = records[i];
    r.TimeStamp1 = r.TimeStamp2 = t0 + i / 86400.0;
    r.Longitude = 13.4050001 + i * 1e-5;
    r.Latitude = 52.5200001;
    r.Method = TPositionMethod::Interpolated;
  }
  records[0].Idle = records[1].Idle = TIdleValues{62, 23, 41, 35, 41, {{60, 12, 30}, {71, 5, 22}}};
  records[2].Dedicated = true;
  records[2].DedicatedReport = TDedicatedValues{62, 23, 38, 36, 2, 1, 3, 5, {{60, 12, 30}}};
  records[3].MessageId = 0x61B;
  records[3].Layer3 = std::vector<uint8_t>(22, 0x2B);
  return records;
}

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("refhost_output_bench_") + std::to_string(getpid()) + name))
      .string();
}

// Argument 0: flushed per row (live); 1: buffered (replay).
template <typename TWriter>
void WriteRecords(benchmark::State& state, const char* name) {
  const auto records = Mix();
  const std::string path = TempPath(name);
  {
    TWriter writer(path, state.range(0) ? TFlushPolicy::WhenFull : TFlushPolicy::EveryEntry);
    writer.OnStart(TSessionSettings{"bench", "", 60, 0});
    int64_t i = 0;
    for (auto _ : state) {
      THostRecord r = records[i % records.size()];
      r.Index = i++;
      writer.OnRecord(r);
    }
    writer.OnFinish({});
    state.SetItemsProcessed(i);
  }
  state.counters["bytes_per_row"] =
      static_cast<double>(std::filesystem::file_size(path)) / std::max<double>(1, state.iterations());
  std::filesystem::remove(path);
}

void BM_CsvWriter(benchmark::State& state) { WriteRecords<TCsvWriter>(state, ".csv"); }
void BM_JsonLinesWriter(benchmark::State& state) { WriteRecords<TJsonLinesWriter>(state, ".jsonl"); }

// Yardstick: rows of a typical length (argument 0) written with nothing
// formatted, flushed one by one (argument 1 = 0) or buffered (1).
void BM_LineYardstick(benchmark::State& state) {
  const std::string line(static_cast<size_t>(state.range(0)), 'x');
  const std::string path = TempPath(".txt");
  {
    std::ofstream out(path, std::ios::binary);
    int64_t i = 0;
    for (auto _ : state) {
      out << line << '\n';
      if (!state.range(1)) out.flush();
      ++i;
    }
    state.SetItemsProcessed(i);
  }
  std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(BM_CsvWriter)->Arg(0)->Arg(1);
BENCHMARK(BM_JsonLinesWriter)->Arg(0)->Arg(1);
BENCHMARK(BM_LineYardstick)->Args({170, 0})->Args({400, 0})->Args({170, 1})->Args({400, 1});
