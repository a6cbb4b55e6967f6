// orvik-replay: the host's replay core as a small program of its own, for
// every target the plug-in runs on (32-bit Windows above all): it loads the
// plug-in library through its four exports, replays a capture through it
// and writes the session's CSV and JSON Lines. No command-line library, no
// Linux-only unit.
//
//   orvik-replay CAPTURE --out DIR [--plugin PATH]
//   orvik-replay --compare EXPECTED.jsonl ACTUAL.jsonl
//
// The second form compares the fix, record, gap and event entries of two
// sessions field by field and names the first difference (exit 1), so a replay on
// one target can be checked against a replay on another.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/capture/ReplaySession.h"
#include "refhost/output/CsvWriter.h"
#include "refhost/output/JsonLines.h"

namespace {

constexpr int ExitOk = 0, ExitFailure = 1, ExitBadInput = 2, ExitCaptureCorrupt = 5;

const char* const Usage =
    "usage: orvik-replay CAPTURE --out DIR [--plugin PATH]\n"
    "       orvik-replay --compare EXPECTED.jsonl ACTUAL.jsonl\n"
    "Exit statuses: 0 done (also a capture cut off at its end, with a warning), 1 the replay\n"
    "failed or the sessions differ, 2 bad input, 5 a capture corrupt in the middle.\n";

int Replay(const std::string& capture, const std::string& outDir, const std::string& pluginPath) {
  try {
    TReplaySession session(capture, false);
    const TLoadedPlugin plugin = LoadPlugin(pluginPath.empty() ? DefaultPluginPath() : pluginPath);
    std::filesystem::create_directories(outDir);
    TCsvWriter csv((std::filesystem::path(outDir) / "session.csv").string(), TFlushPolicy::WhenFull);
    TJsonLinesWriter jsonl((std::filesystem::path(outDir) / "session.jsonl").string(), TFlushPolicy::WhenFull);
    TAnalysisStage analysis({&csv, &jsonl});  // events and KPIs, as orvik-host writes them
    TReplayOutcome outcome;
    try {
      outcome = session.Run(plugin, {&analysis});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orvik-replay: the replay failed: %s\n", e.what());
      return ExitFailure;
    }
    std::printf("Replayed %s: %lld records written to %s\n", capture.c_str(),
                static_cast<long long>(outcome.RecordsWritten), outDir.c_str());
    if (!outcome.Warning.empty()) std::fprintf(stderr, "orvik-replay: %s\n", outcome.Warning.c_str());
    return ReplayExitStatus(outcome) == 5 ? ExitCaptureCorrupt : ExitOk;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvik-replay: %s\n", e.what());
    return ExitBadInput;
  }
}

// Fix, record, gap and event entries of a session's JSON Lines; false when the file
// cannot be read or a line is not JSON.
bool Entries(const std::string& path, std::vector<nlohmann::json>& out) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "orvik-replay: cannot open %s\n", path.c_str());
    return false;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty()) continue;
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded()) {
      std::fprintf(stderr, "orvik-replay: %s line %d is not JSON\n", path.c_str(), number);
      return false;
    }
    const std::string type = j.value("type", "");
    if (type == "fix" || type == "record" || type == "gap" || type == "event") out.push_back(std::move(j));
  }
  return true;
}

int Compare(const std::string& expectedPath, const std::string& actualPath) {
  std::vector<nlohmann::json> expected, actual;
  if (!Entries(expectedPath, expected) || !Entries(actualPath, actual)) return ExitBadInput;
  for (size_t i = 0; i < expected.size() && i < actual.size(); ++i) {
    if (expected[i] == actual[i]) continue;
    for (const auto& [key, value] : expected[i].items()) {
      const nlohmann::json other = actual[i].value(key, nlohmann::json());
      if (other != value) {
        std::fprintf(stderr, "orvik-replay: entry %zu (%s) differs in field \"%s\": %s against %s\n", i,
                     expected[i].value("type", "").c_str(), key.c_str(), value.dump().c_str(), other.dump().c_str());
        return ExitFailure;
      }
    }
    std::fprintf(stderr, "orvik-replay: entry %zu has fields the expected one lacks: %s\n", i,
                 actual[i].dump().c_str());
    return ExitFailure;
  }
  if (expected.size() != actual.size()) {
    std::fprintf(stderr, "orvik-replay: %s has %zu entries, %s has %zu\n", expectedPath.c_str(), expected.size(),
                 actualPath.c_str(), actual.size());
    return ExitFailure;
  }
  std::printf("%zu entries (fixes, records, gaps, events) identical field by field\n", expected.size());
  return ExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "--compare") return Compare(args[1], args[2]);
  std::string capture, out, plugin;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--out" && hasValue) {
      out = args[++i];
    } else if (args[i] == "--plugin" && hasValue) {
      plugin = args[++i];
    } else if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(Usage, stdout);
      return ExitOk;
    } else if (capture.empty() && args[i].rfind("--", 0) != 0) {
      capture = args[i];
    } else {
      std::fprintf(stderr, "orvik-replay: unexpected argument '%s'\n%s", args[i].c_str(), Usage);
      return ExitBadInput;
    }
  }
  if (capture.empty() || out.empty()) {
    std::fputs(Usage, stderr);
    return ExitBadInput;
  }
  return Replay(capture, out, plugin);
}
