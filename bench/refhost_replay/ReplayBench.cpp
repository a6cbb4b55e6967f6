// Replaying a big capture through the plug-in's exported interface, as
// `orvik-host replay` does: without outputs, and with CSV and JSON Lines
// written. The capture is made by the simulated handset flooding reports at
// 921,600 baud. The yardstick, measured in the same run, is `wc -l` over the
// same handset bytes: reading and splitting lines with nothing else done.
//
// Size: ORVIK_REPLAY_BENCH_MB (default 4, a smoke run); the real measurement
// takes 100. Peak resident memory of a replay (orvik-replay, a process of
// its own) is reported for a capture of a tenth of that size and the full
// size: memory must stay flat as the capture grows.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "refhost/capture/CaptureReader.h"
#include "refhost/capture/ReplaySession.h"
#include "refhost/output/CsvWriter.h"
#include "refhost/output/JsonLines.h"
#include "refhost/samples/SimulatedCapture.h"

namespace {

namespace fs = std::filesystem;

constexpr double FloodBaud = 921600;
constexpr double BytesPerSecond = FloodBaud / 10;  // 8 data bits, start and stop

double CaptureMb() {
  const char* text = std::getenv("ORVIK_REPLAY_BENCH_MB");
  const double mb = text != nullptr ? std::atof(text) : 0;
  return mb > 0 ? mb : 4;
}

// Captures and outputs, removed at exit.
struct TWorkDir {
  TWorkDir() : Path(fs::temp_directory_path() / ("orvik-replay-bench-" + std::to_string(::getpid()))) {
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

struct TBenchCapture {
  fs::path Capture;
  fs::path HandsetBytes;  // the chunks' bytes back to back, for the yardstick
  int64_t Bytes = 0;
};

// A flood capture of about `mb` MB, made once per size.
const TBenchCapture& CaptureOf(double mb) {
  static std::map<double, TBenchCapture> made;
  auto [at, isNew] = made.try_emplace(mb);
  TBenchCapture& c = at->second;
  if (!isNew) return c;
  c.Capture = WorkDir() / ("flood-" + std::to_string(mb) + ".orvcap");
  c.HandsetBytes = WorkDir() / ("flood-" + std::to_string(mb) + ".bin");
  TSimulatedCaptureOptions options;
  options.Seed = 5;
  options.FloodBaud = FloodBaud;
  options.Seconds = mb * 1e6 / BytesPerSecond;
  options.DialAtS = options.DropAtS = -1;
  options.DecodeAfterStart = false;
  MakeSimulatedCapture(Plugin(), c.Capture.string(), options);
  TCaptureReader reader(c.Capture.string());
  std::ofstream out(c.HandsetBytes, std::ios::binary);
  for (TCaptureEvent e; reader.Next(e);) {
    if (e.Type != TCaptureRecordType::Chunk) continue;
    out.write(reinterpret_cast<const char*>(e.Bytes.data()), static_cast<std::streamsize>(e.Bytes.size()));
    c.Bytes += static_cast<int64_t>(e.Bytes.size());
  }
  return c;
}

void Replay(benchmark::State& state, bool outputs) {
  const TBenchCapture& c = CaptureOf(CaptureMb());
  int64_t frames = 0, records = 0;
  for (auto _ : state) {
    TReplaySession session(c.Capture.string(), false);
    std::vector<TRecordSink*> sinks;
    std::unique_ptr<TCsvWriter> csv;
    std::unique_ptr<TJsonLinesWriter> jsonl;
    if (outputs) {
      // Buffered, as orvik-host replay writes them.
      csv = std::make_unique<TCsvWriter>((WorkDir() / "session.csv").string(), TFlushPolicy::WhenFull);
      jsonl = std::make_unique<TJsonLinesWriter>((WorkDir() / "session.jsonl").string(), TFlushPolicy::WhenFull);
      sinks = {csv.get(), jsonl.get()};
    }
    const TReplayOutcome outcome = session.Run(Plugin(), sinks);
    frames += outcome.Counters.FramesDecoded;
    records += outcome.RecordsWritten;
  }
  state.SetBytesProcessed(c.Bytes * state.iterations());
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
  state.counters["capture_MB"] = static_cast<double>(fs::file_size(c.Capture)) / 1e6;
}

void BM_ReplayNoOutputs(benchmark::State& state) { Replay(state, false); }
void BM_ReplayCsvAndJsonLines(benchmark::State& state) { Replay(state, true); }

// The yardstick: `wc -l` over the same handset bytes.
void BM_WcLinesYardstick(benchmark::State& state) {
  const TBenchCapture& c = CaptureOf(CaptureMb());
  const std::string command = "wc -l < " + c.HandsetBytes.string() + " > /dev/null";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("wc -l failed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(c.Bytes * state.iterations());
}

// Peak resident memory of orvik-replay (beside this program) replaying a
// capture of a tenth of the size and of the full size, with outputs.
void BM_ReplayPeakMemory(benchmark::State& state) {
  const fs::path replay = fs::read_symlink("/proc/self/exe").parent_path() / "orvik-replay";
  const double mb = CaptureMb() * static_cast<double>(state.range(0)) / 10;
  const TBenchCapture& c = CaptureOf(mb);
  long peakKb = 0;
  for (auto _ : state) {
    const pid_t child = ::fork();
    if (child == 0) {
      const std::string out = (WorkDir() / "memory").string();
      if (std::FILE* quiet = std::freopen("/dev/null", "w", stdout)) (void)quiet;
      ::execl(replay.c_str(), replay.c_str(), c.Capture.c_str(), "--out", out.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      state.SkipWithError("orvik-replay failed");
    peakKb = std::max(peakKb, usage.ru_maxrss);
  }
  state.counters["capture_MB"] = static_cast<double>(fs::file_size(c.Capture)) / 1e6;
  state.counters["peak_RSS_MB"] = static_cast<double>(peakKb) / 1024;
}

BENCHMARK(BM_WcLinesYardstick)->UseManualTime()->Unit(benchmark::kMillisecond);
// Wall time: the capture is read on a thread of its own beside the decoder.
BENCHMARK(BM_ReplayNoOutputs)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayCsvAndJsonLines)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayPeakMemory)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
