// orvik-make-capture: makes a capture of a session against the simulated
// handset, on a virtual clock, so the same options give the same bytes.
// The bundled sample session is made with the defaults (a network with
// faults, so it holds a drop, a set-up failure and a failed handover);
// --compare checks a committed capture against what the simulator makes
// today.
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <CLI/CLI.hpp>

#include "refhost/capture/CaptureReader.h"
#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/output/JsonLines.h"
#include "refhost/samples/SimulatedCapture.h"
#include "refhost/sim/SimFiles.h"

namespace {

std::vector<char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// 0 when equal; otherwise says where they first differ.
int Compare(const std::string& made, const std::string& expected) {
  const std::vector<char> a = ReadFile(made), b = ReadFile(expected);
  if (a == b) {
    std::printf("%s is byte-identical to what the simulator makes (%zu bytes)\n", expected.c_str(), a.size());
    return 0;
  }
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  std::fprintf(stderr,
               "orvik-make-capture: %s (%zu bytes) differs from the capture made now (%s, %zu bytes) "
               "from byte %zu on: the simulator, the plug-in or the capture writer changed. If the "
               "change is meant, rebuild the sample with the refhost_regenerate_sample target and "
               "review the difference.\n",
               expected.c_str(), b.size(), made.c_str(), a.size(), at);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Make a capture of a session against the simulated handset (virtual clock).",
               "orvik-make-capture"};
  TSimulatedCaptureOptions options;
  options.Seed = 7330;
  options.Seconds = 300;
  options.Faults = {0.3, 1.0, 0.5, 0.5, 0.3};
  std::string out, plugin, compare, jsonl, truthOut, cellsOut;
  app.add_option("--out", out, "the capture to write")->required();
  app.add_option("--seed", options.Seed, "seed of the simulated handset and drive (default 7330)");
  app.add_option("--seconds", options.Seconds, "virtual length of the test (default 300)")
      ->check(CLI::PositiveNumber);
  app.add_option("--dial-at", options.DialAtS, "dial this many seconds into the test (default 20; < 0 never)");
  app.add_option("--drop-at", options.DropAtS, "drop the line this many seconds into the test (default 90; < 0 never)");
  app.add_option("--flood-baud", options.FloodBaud,
                 "the handset floods reports at this line rate (no call, no drop, recorded without decoding)");
  app.add_option("--setup-failure-rate", options.Faults.SetupFailure,
                 "chance that a call attempt never sets up (default 0.3)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--drops-per-minute", options.Faults.DropsPerMinute,
                 "chance per minute of a set-up call that it drops (default 1)")
      ->check(CLI::Range(0.0, 60.0));
  app.add_option("--handover-failure-rate", options.Faults.HandoverFailure,
                 "chance that a handover fails (default 0.5)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--lu-reject-rate", options.Faults.LocationUpdateReject,
                 "chance that the network rejects a location update (default 0.3)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--truth-out", truthOut, "also write the events the simulated network made (JSON Lines)");
  app.add_option("--cells-out", cellsOut, "also write the simulated network's cell plan (cell file layout)");
  app.add_option("--plugin", plugin, "the plug-in library (default: next to this program)");
  app.add_option("--jsonl", jsonl, "also write the records decoded while recording as JSON Lines");
  app.add_option("--compare", compare, "then compare the capture with this file; exit 1 when they differ");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (options.FloodBaud > 0) {
    options.DialAtS = -1;
    options.DropAtS = -1;
    options.DecodeAfterStart = false;
  }
  try {
    const TLoadedPlugin loaded = LoadPlugin(plugin.empty() ? DefaultPluginPath() : plugin);
    // The JSON Lines as a session writes it: through the analysis.
    std::unique_ptr<TJsonLinesWriter> writer;
    std::unique_ptr<TAnalysisStage> analysis;
    std::vector<TRecordSink*> sinks;
    if (!jsonl.empty()) {
      writer = std::make_unique<TJsonLinesWriter>(jsonl);
      analysis = std::make_unique<TAnalysisStage>(std::vector<TRecordSink*>{writer.get()});
      sinks.push_back(analysis.get());
    }
    const TSimulatedCaptureResult r = MakeSimulatedCapture(loaded, out, options, sinks);
    if (!truthOut.empty()) WriteSimTruth(truthOut, r.Truth);
    if (!cellsOut.empty()) {
      // Stamped with the session's start, so the same options give the same file.
      const auto created = static_cast<int64_t>(std::llround((r.Start - 25569.0) * 86400.0)) -
                           int64_t{options.UtcOffsetMinutes} * 60;
      WriteCellSites(cellsOut, SimulatedCellPlan(TSimulatedDrive(options.Seed), created));
    }
    std::printf("%s: %lld chunks (%lld handset bytes), %lld fixes, %lld records decoded, %lld bytes\n",
                out.c_str(), static_cast<long long>(r.Chunks), static_cast<long long>(r.HandsetBytes),
                static_cast<long long>(r.Fixes), static_cast<long long>(r.Records),
                static_cast<long long>(r.FileBytes));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvik-make-capture: %s\n", e.what());
    return 1;
  }
  return compare.empty() ? 0 : Compare(out, compare);
}
