// What the analysis stage adds to a replay with outputs. The yardstick,
// measured in the same run, is the same replay writing CSV and JSON Lines
// with no stage in front; the target is at most 20 % more.
//
// The capture is a simulated drive at the handset's own pace (idle and
// dedicated reports, system information, calls with handovers), as the
// analysis meets it in the field, not a flood of one report kind. Length:
// ORVIK_ANALYSIS_BENCH_MINUTES (default 20 simulated minutes).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/capture/ReplaySession.h"
#include "refhost/output/CsvWriter.h"
#include "refhost/output/JsonLines.h"
#include "refhost/samples/SimulatedCapture.h"

namespace {

namespace fs = std::filesystem;

struct TWorkDir {
  TWorkDir() : Path(fs::temp_directory_path() / ("orvik-analysis-bench-" + std::to_string(::getpid()))) {
    fs::create_directories(Path);
  }
  ~TWorkDir() {
    std::error_code ignored;
    fs::remove_all(Path, ignored);
  }
  fs::path Path;
};

const fs::path& WorkDir() {
  static const TWorkDir dir;
  return dir.Path;
}

const TLoadedPlugin& Plugin() {
  static const TLoadedPlugin plugin = LoadPlugin(DefaultPluginPath());
  return plugin;
}

const std::string& Capture() {
  static const std::string path = [] {
    const char* text = std::getenv("ORVIK_ANALYSIS_BENCH_MINUTES");
    const double minutes = text != nullptr && std::atof(text) > 0 ? std::atof(text) : 20;
    const std::string p = (WorkDir() / "drive.orvcap").string();
    TSimulatedCaptureOptions options;
    options.Seed = 11;
    options.Seconds = minutes * 60;
    MakeSimulatedCapture(Plugin(), p, options);
    return p;
  }();
  return path;
}

void Replay(benchmark::State& state, bool analysis) {
  Capture();  // made once, before any timing
  int64_t records = 0, events = 0;
  for (auto _ : state) {
    TReplaySession session(Capture(), false);
    TCsvWriter csv((WorkDir() / "session.csv").string(), TFlushPolicy::WhenFull);
    TJsonLinesWriter jsonl((WorkDir() / "session.jsonl").string(), TFlushPolicy::WhenFull);
    std::unique_ptr<TAnalysisStage> stage;
    std::vector<TRecordSink*> sinks{&csv, &jsonl};
    if (analysis) {
      stage = std::make_unique<TAnalysisStage>(sinks);
      sinks = {stage.get()};
    }
    const TReplayOutcome outcome = session.Run(Plugin(), sinks);
    records += outcome.RecordsWritten;
    if (stage) {
      const TSessionKpis& k = stage->Result().Kpis;
      events += k.CallAttempts + k.HandoverAttempts + k.Reselections + k.LocationUpdates;
    }
  }
  state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
  if (analysis) state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kAvgIterations);
}

// The yardstick: the replay with its outputs, no analysis.
void BM_ReplayWithOutputsYardstick(benchmark::State& state) { Replay(state, false); }
void BM_ReplayWithOutputsAndAnalysis(benchmark::State& state) { Replay(state, true); }

BENCHMARK(BM_ReplayWithOutputsYardstick)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayWithOutputsAndAnalysis)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
