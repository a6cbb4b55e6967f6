// The live session's two costs that matter on the road.
//
// LiveFlood: the simulated handset floods its pseudo-terminal at the rate of
// a 921,600 baud line for 10 s while the plug-in pauses after every record;
// the reader thread must still take every byte. Counters: bytes the handset
// sent, bytes the host received, bytes lost (must be 0), the queue's
// high-water mark, and how long the decoder then takes to work through the
// backlog (drain_s). Yardstick: the line rate itself next to the host's
// received rate.
//
// SessionCpu / SleepFloor: a 20 s simulated session's CPU time as a fraction
// of its wall time (the host must not spin), with `sleep 20` measured in the
// same run as the floor.
//
// Run with --benchmark_min_time below 0.1 (the CI smoke run) for a short
// version: a 0.25 s flood and 2 s sessions.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "refhost/core/PluginLoader.h"
#include "refhost/core/RecordStore.h"
#include "refhost/core/SessionDriver.h"
#include "refhost/port/PortReader.h"
#include "refhost/sim/PtyHandset.h"

extern char** environ;

namespace {

bool ShortRun = false;

double SessionSeconds() { return ShortRun ? 2 : 20; }

std::filesystem::path ProgramDir() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

constexpr double FloodBaud = 921600;

void LiveFlood(benchmark::State& state) {
  const double floodSeconds = ShortRun ? 0.25 : 10;
  for (auto _ : state) {
    TPtyHandsetOptions handsetOptions;
    handsetOptions.Simulator.FloodBaud = FloodBaud;
    TPtyHandset handset(handsetOptions);
    const TLoadedPlugin plugin = LoadPlugin(DefaultPluginPath());
    TSerialDevicePort port(handset.Path());
    port.OpenNow();
    TSessionEventQueue queue(64u << 20);
    TRecordStore store;
    TSessionOptions options;
    options.ConnectLimitSeconds = 10;
    TSessionDriver driver(plugin, port, queue, store, options);
    TPortReader reader(port, queue, TReaderOptions{});

    const auto start = std::chrono::steady_clock::now();
    reader.Start();
    std::thread driving([&] { driver.Run(); });
    std::this_thread::sleep_for(std::chrono::duration<double>(floodSeconds));
    handset.Stop();
    const double flooded = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Let the reader take what is still in flight, then end the session.
    for (int i = 0; i < 500 && reader.BytesRead() < handset.BytesWritten(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    queue.RequestStop();
    driving.join();
    reader.Stop();
    // The decoder then works through the backlog, pausing after every record.
    const double drained = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() - flooded;

    state.SetIterationTime(flooded);
    state.counters["drain_s"] = drained;
    const auto sent = static_cast<double>(handset.BytesWritten());
    const auto received = static_cast<double>(reader.BytesRead());
    state.counters["bytes_sent"] = sent;
    state.counters["bytes_received"] = received;
    state.counters["bytes_lost"] = sent - received;
    state.counters["line_bytes_per_s"] = FloodBaud / 10;  // the yardstick: 10 bits a byte
    state.counters["received_bytes_per_s"] = received / floodSeconds;
    state.counters["records"] = static_cast<double>(driver.Counters().FramesDecoded);
    state.counters["queue_high_water_bytes"] = static_cast<double>(queue.HighWaterBytes());
    state.counters["queue_full"] = static_cast<double>(queue.QueueFull());
    if (sent != received) state.SkipWithError("bytes were lost between the handset and the host");
  }
}
BENCHMARK(LiveFlood)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

struct TChildCost {
  double WallSeconds = 0;
  double CpuSeconds = 0;
  int Status = -1;
};

// Runs argv[0] with its arguments to the end; its CPU time from wait4.
TChildCost RunChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  TChildCost cost;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return cost;
  posix_spawn_file_actions_destroy(&actions);
  rusage usage{};
  int status = 0;
  ::wait4(pid, &status, 0, &usage);
  cost.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  cost.CpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  cost.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return cost;
}

void Report(benchmark::State& state, const TChildCost& cost) {
  state.SetIterationTime(cost.WallSeconds);
  state.counters["wall_s"] = cost.WallSeconds;
  state.counters["cpu_s"] = cost.CpuSeconds;
  state.counters["cpu_fraction"] = cost.WallSeconds > 0 ? cost.CpuSeconds / cost.WallSeconds : 0;
}

void SleepFloor(benchmark::State& state) {
  for (auto _ : state) {
    const TChildCost cost = RunChild({"sleep", std::to_string(SessionSeconds())});
    if (cost.Status != 0) state.SkipWithError("sleep failed");
    Report(state, cost);
  }
}
BENCHMARK(SleepFloor)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void SessionCpu(benchmark::State& state) {
  const std::filesystem::path out = std::filesystem::temp_directory_path() / ("live-bench-" + std::to_string(::getpid()));
  for (auto _ : state) {
    const TChildCost cost = RunChild({(ProgramDir() / "orvik-host").string(), "live", "--simulate", "--quiet",
                                      "--duration", std::to_string(SessionSeconds()), "--out", out.string()});
    if (cost.Status != 0) state.SkipWithError("orvik-host live --simulate failed");
    Report(state, cost);
  }
  std::filesystem::remove_all(out);
}
BENCHMARK(SessionCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* prefix = "--benchmark_min_time=";
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0)
      ShortRun = std::strtod(argv[i] + std::strlen(prefix), nullptr) < 0.1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
