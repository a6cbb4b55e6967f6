// orvik-host campaign over many one-hour simulated drives, as a process of
// its own: records per second (wall time, all cores) and peak resident
// memory, for a quarter of the drives and for all of them (memory must not
// grow with the number of drives). The yardstick, in the same run, is
// `wc -l` over the same JSON Lines: reading the bytes and finding the line
// ends, nothing else.
//
// The drives are made once and kept under the build folder. Simulating an
// hour takes a while, so ORVIK_CAMPAIGN_BENCH_BASES (default 4) distinct
// drives are simulated and the ORVIK_CAMPAIGN_BENCH_DRIVES (default 200)
// inputs are copies of them with their session seed changed: distinct
// sessions to the campaign, the same roads on the grid.
// ORVIK_CAMPAIGN_BENCH_DRIVE_S (default 3600) shortens the drives for a smoke run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <simdjson.h>
#include <time.h>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/campaign/Campaign.h"
#include "refhost/campaign/CampaignWriters.h"
#include "refhost/output/JsonLines.h"
#include "refhost/samples/SimulatedCapture.h"

namespace {

namespace fs = std::filesystem;

int EnvCount(const char* name, int fallback) {
  const char* text = std::getenv(name);
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : fallback;
}

struct TDrives {
  fs::path Dir;
  std::vector<std::string> Files;
  int64_t Records = 0;  // record lines over all files
  int64_t Bytes = 0;
};

int64_t CountRecordLines(const fs::path& file) {
  std::ifstream in(file);
  int64_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.rfind("{\"type\":\"record\"", 0) == 0;
  return n;
}

// The inputs, made on first use and kept for later runs.
const TDrives& Drives() {
  static TDrives drives = [] {
    TDrives d;
    const int bases = EnvCount("ORVIK_CAMPAIGN_BENCH_BASES", 4);
    const int count = EnvCount("ORVIK_CAMPAIGN_BENCH_DRIVES", 200);
    const int driveS = EnvCount("ORVIK_CAMPAIGN_BENCH_DRIVE_S", 3600);
    d.Dir = fs::path(ORVIK_BENCH_CACHE) /
            ("campaign-" + std::to_string(bases) + "x" + std::to_string(count) + "-" + std::to_string(driveS) + "s");
    fs::create_directories(d.Dir);
    fs::create_directories(d.Dir.parent_path() / "campaign-bases");
    // The simulator mostly waits on the plug-in's pauses: the drives are made side by side.
    std::vector<fs::path> base;
    std::vector<std::thread> makers;
    const TLoadedPlugin plugin = LoadPlugin(DefaultPluginPath());
    for (int b = 0; b < bases; ++b) {
      const fs::path jsonl = d.Dir.parent_path() / "campaign-bases" / ("base-" + std::to_string(b) + "-" + std::to_string(driveS) + "s.jsonl.src");
      base.push_back(jsonl);
      if (fs::exists(jsonl)) continue;
      makers.emplace_back([&plugin, &d, jsonl, b, driveS] {
        TSimulatedCaptureOptions options;
        options.Seed = 100 + uint64_t(b);
        options.Seconds = driveS;
        options.DialAtS = 30;
        options.CallSeconds = 120;
        options.DropAtS = 1800;
        const fs::path partial = jsonl.string() + ".part";
        const fs::path scratch = jsonl.parent_path() / ("scratch-" + std::to_string(b) + ".orvcap");
        {
          TJsonLinesWriter writer(partial.string(), TFlushPolicy::WhenFull);
          MakeSimulatedCapture(plugin, scratch.string(), options, {&writer});
        }
        fs::rename(partial, jsonl);
        fs::remove(scratch);
      });
    }
    for (std::thread& t : makers) t.join();
    for (int i = 0; i < count; ++i) {
      const fs::path file = d.Dir / ("drive-" + std::to_string(i) + ".jsonl");
      if (!fs::exists(file)) {
        std::ifstream in(base[size_t(i % bases)]);
        std::ofstream out(file.string() + ".part");
        std::string line;
        std::getline(in, line);
        const size_t at = line.find("\"seed\":");
        out << line.substr(0, at) << "\"seed\":" << 1000000 + i << "}\n" << in.rdbuf();
        out.close();
        fs::rename(file.string() + ".part", file);
      }
      d.Files.push_back(file.string());
      d.Bytes += int64_t(fs::file_size(file));
    }
    for (int b = 0; b < bases; ++b) d.Records += CountRecordLines(base[size_t(b)]) * ((count - b + bases - 1) / bases);
    return d;
  }();
  return drives;
}

std::string List(size_t n) {
  std::string list;
  for (size_t i = 0; i < n && i < Drives().Files.size(); ++i) list += " " + Drives().Files[i];
  return list;
}

// Processor time of the children waited for so far (cat and wc together).
double ChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_WcLinesYardstick(benchmark::State& state) {
  const TDrives& d = Drives();
  const std::string command = "cat" + List(d.Files.size()) + " | wc -l > /dev/null";
  const double cpuBefore = ChildrenCpuSeconds();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("wc -l failed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(d.Bytes * state.iterations());
  state.counters["records_per_cpu_s"] = double(d.Records) * double(state.iterations()) / (ChildrenCpuSeconds() - cpuBefore);
  state.counters["records_per_s"] =
      benchmark::Counter(double(d.Records) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// The campaign over the first range(0) percent of the drives.
void BM_Campaign(benchmark::State& state) {
  const TDrives& d = Drives();
  const size_t n = d.Files.size() * size_t(state.range(0)) / 100;
  const fs::path host = fs::read_symlink("/proc/self/exe").parent_path() / "orvik-host";
  const fs::path out = d.Dir / "out";
  const std::string args = List(n);
  long peakKb = 0;
  double cpuS = 0;  // the campaign's processor time: steadier than wall time on a shared machine
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
      const std::string command = host.string() + " campaign" + args + " --force --out " + out.string() + " >/dev/null";
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      state.SkipWithError("orvik-host campaign failed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    peakKb = std::max(peakKb, usage.ru_maxrss);
    cpuS += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  const double records = double(d.Records) * double(n) / double(d.Files.size());
  state.counters["drives"] = double(n);
  state.counters["records_per_s"] = benchmark::Counter(records * double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peak_RSS_MB"] = double(peakKb) / 1024;
  state.counters["records_per_cpu_s"] = records * double(state.iterations()) / cpuS;
}

// One drive's reading, in this process, from memory: the JSON Lines reader
// alone (range 0) and with the analysis stage (range 1), against counting
// the same bytes' line ends (the yardstick). Shows what each record costs
// before anything is binned or written.
struct TNullSink : TRecordSink {
  void OnRecord(const THostRecord&) override {}
};

const std::string& FirstDriveText() {
  static const std::string text = [] {
    std::ifstream in(Drives().Files.front());
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }();
  return text;
}

void BM_ReadOneDrive(benchmark::State& state) {
  const std::string& text = FirstDriveText();
  const int64_t records = CountRecordLines(Drives().Files.front());
  for (auto _ : state) {
    std::istringstream in(text);
    TNullSink sink;
    TAnalysisStage stage({&sink});
    std::string error, warning;
    if (!ReadJsonLines(in, state.range(0) ? static_cast<TRecordSink&>(stage) : sink, error, warning))
      state.SkipWithError(error.c_str());
  }
  state.counters["records_per_s"] = benchmark::Counter(double(records) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_CountLinesYardstick(benchmark::State& state) {
  const std::string& text = FirstDriveText();
  const int64_t records = CountRecordLines(Drives().Files.front());
  for (auto _ : state) benchmark::DoNotOptimize(std::count(text.begin(), text.end(), '\n'));
  state.counters["records_per_s"] = benchmark::Counter(double(records) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// The least a campaign with these outputs can spend per record, from the
// two pieces no reading or analysis of ours can avoid, each on one core:
// parsing the line (simdjson, the faster of its DOM and its On-Demand walk
// over every value) and writing the record's row of the samples layer (the
// campaign's own GeoPackage writer, fed every drive's samples from a spool
// made beforehand, file writes included). Twice one over their sum is what
// two cores could reach if nothing else were done.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

template <class F>
void ForEachLine(const std::string& text, F&& f) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) f(std::string_view(text).substr(at, end - at));
    at = end + 1;
  }
}

// Every value of a line visited, as a reader that checks every field must.
simdjson::error_code Visit(simdjson::ondemand::value value, double& sink) {
  simdjson::ondemand::json_type type;
  if (auto e = value.type().get(type)) return e;
  switch (type) {
    case simdjson::ondemand::json_type::object: {
      simdjson::ondemand::object object;
      if (auto e = value.get_object().get(object)) return e;
      for (auto field : object) {
        std::string_view key;
        if (auto e = field.unescaped_key().get(key)) return e;
        sink += double(key.size());
        if (auto e = Visit(field.value(), sink)) return e;
      }
      return simdjson::SUCCESS;
    }
    case simdjson::ondemand::json_type::array: {
      simdjson::ondemand::array array;
      if (auto e = value.get_array().get(array)) return e;
      for (auto item : array)
        if (auto e = Visit(item.value(), sink)) return e;
      return simdjson::SUCCESS;
    }
    case simdjson::ondemand::json_type::number: {
      double d;
      if (auto e = value.get_double().get(d)) return e;
      sink += d;
      return simdjson::SUCCESS;
    }
    case simdjson::ondemand::json_type::string: {
      std::string_view s;
      if (auto e = value.get_string().get(s)) return e;
      sink += double(s.size());
      return simdjson::SUCCESS;
    }
    case simdjson::ondemand::json_type::boolean: {
      bool b;
      if (auto e = value.get_bool().get(b)) return e;
      sink += b;
      return simdjson::SUCCESS;
    }
    default:
      return value.is_null().error();
  }
}

// Microseconds per line, the faster of simdjson's two ways.
double ParseMicrosPerLine(const std::string& text, int64_t& lines) {
  lines = 0;
  double dom = ThreadCpuSeconds();
  simdjson::dom::parser domParser;
  bool ok = true;
  ForEachLine(text, [&](std::string_view line) {
    simdjson::dom::element root;
    ok = ok && domParser.parse(line.data(), line.size()).get(root) == simdjson::SUCCESS;
    ++lines;
  });
  dom = ThreadCpuSeconds() - dom;
  double onDemand = ThreadCpuSeconds();
  simdjson::ondemand::parser parser;
  const simdjson::padded_string padded(text);
  simdjson::ondemand::document_stream stream;
  double sink = 0;
  int64_t walked = 0;
  if (parser.iterate_many(padded).get(stream) != simdjson::SUCCESS) ok = false;
  for (auto document : stream) {
    simdjson::ondemand::value root;
    ok = ok && document.get_value().get(root) == simdjson::SUCCESS && Visit(root, sink) == simdjson::SUCCESS;
    ++walked;
  }
  onDemand = ThreadCpuSeconds() - onDemand;
  benchmark::DoNotOptimize(sink);
  if (!ok || walked != lines) throw std::runtime_error("simdjson refused a line of the drive");
  return std::min(dom, onDemand) * 1e6 / double(lines);
}

// The first drive's samples as the campaign spools them.
struct TSampleSpooler : TRecordSink {
  explicit TSampleSpooler(const std::string& path) : File(std::fopen(path.c_str(), "wb")) {}
  ~TSampleSpooler() override { std::fclose(File); }
  void OnRecord(const THostRecord& record) override {
    TSpoolSample s;
    if (SampleOf(record, s)) Rows += std::fwrite(&s, sizeof s, 1, File) == 1;
  }
  FILE* File;
  int64_t Rows = 0;
};

void BM_CampaignFloor(benchmark::State& state) {
  const TDrives& d = Drives();
  const fs::path dir = d.Dir / "floor";
  fs::create_directories(dir);
  const std::string spool = (dir / "samples").string(), empty = (dir / "empty").string();
  int64_t spooledRows;
  {
    std::ifstream in(d.Files.front());
    TSampleSpooler spooler(spool);
    std::string error, warning;
    if (!ReadJsonLines(in, spooler, error, warning)) state.SkipWithError(error.c_str());
    spooledRows = spooler.Rows;
  }
  std::ofstream{empty};
  const int64_t records = CountRecordLines(d.Files.front());
  double parseUs = 0, rowUs = 0;
  for (auto _ : state) {
    int64_t lines = 0;
    // Fix and session lines are parsed too: their cost is the records'.
    parseUs = ParseMicrosPerLine(FirstDriveText(), lines) * double(lines) / double(records);
    const double start = ThreadCpuSeconds();
    {
      TCampaignResult nothing;
      TCampaignGpkg gpkg((dir / "floor.gpkg").string());
      for (const std::string& name : d.Files) {
        TDriveSummary drive;
        drive.Name = name;
        drive.SamplesSpool = spool;
        drive.EventsSpool = drive.FixesSpool = empty;
        gpkg.AddDrive(drive);
      }
      gpkg.Finish({&nothing, nullptr, 5, false});
    }
    rowUs = (ThreadCpuSeconds() - start) * 1e6 / double(spooledRows * int64_t(d.Files.size()));
  }
  const double floorUs = parseUs + rowUs * double(spooledRows) / double(records);
  state.counters["parse_us_per_record"] = parseUs;
  state.counters["samples_row_us"] = rowUs;
  state.counters["floor_us_per_record"] = floorUs;
  state.counters["floor_records_per_s_2_cores"] = 2e6 / floorUs;
  fs::remove_all(dir);
}

BENCHMARK(BM_WcLinesYardstick)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountLinesYardstick)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadOneDrive)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CampaignFloor)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Campaign)->Arg(25)->Arg(100)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
