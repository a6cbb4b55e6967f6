// The drive analysis against the simulated network's ground truth: for
// several seeds a session with every kind of fault is recorded in process
// (the plug-in decoding what the simulated handset sends) and played through
// the analysis stage; each event found must be the one the network made, in
// order, and the KPIs its counts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/samples/SimulatedCapture.h"
#include "refhost/sim/SimFiles.h"

namespace {

struct TCollector : TRecordSink {
  void OnRecord(const THostRecord&) override {}
  void OnEvent(const TDriveEvent& e) override { Events.push_back(e); }
  void OnAnalysis(const TSessionAnalysisResult& r) override { Kpis = r.Kpis; }
  std::vector<TDriveEvent> Events;
  TSessionKpis Kpis;
};

nlohmann::json CellJson(const TCellKey& k) {
  return k.Valid ? nlohmann::json{{"mcc", k.Mcc}, {"mnc", k.Mnc}, {"lac", k.Lac}, {"ci", k.CellId}} : nlohmann::json();
}
nlohmann::json CellJson(const nlohmann::json& j) {
  return {{"mcc", j["mcc"]}, {"mnc", j["mnc"]}, {"lac", j["lac"]}, {"ci", j["ci"]}};
}

}  // namespace

TEST(GroundTruth, AnalysisFindsWhatTheNetworkMade) {
  const TLoadedPlugin plugin = LoadPlugin(DefaultPluginPath());
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("orvik-truth-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  // The plug-in's pauses between report requests are real (about 60 ms a
  // virtual second here): the sessions are kept short.
  for (uint64_t seed : {3u, 11u, 29u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TSimulatedCaptureOptions o;
    o.Seed = seed;
    o.Seconds = 360;
    o.DropAtS = -1;  // a lost line hides what the network did meanwhile
    o.CallSeconds = 60;
    o.IncomingCallEveryS = 40;
    o.Faults = {0.3, 1.5, 0.5, 0.4, 0.4};
    TCollector found;
    TAnalysisStage stage({&found});
    const TSimulatedCaptureResult r = MakeSimulatedCapture(plugin, (dir / "session.orvcap").string(), o, {&stage});

    // The truth as its file gives it back.
    WriteSimTruth((dir / "truth.jsonl").string(), r.Truth);
    std::vector<nlohmann::json> truth;
    std::ifstream in(dir / "truth.jsonl");
    for (std::string line; std::getline(in, line);) truth.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(truth.size(), r.Truth.size());
    ASSERT_EQ(found.Events.size(), truth.size());

    std::map<std::string, int64_t> counts;
    size_t unknownCell = 0;
    for (size_t i = 0; i < truth.size(); ++i) {
      const nlohmann::json& t = truth[i];
      const TDriveEvent& e = found.Events[i];
      SCOPED_TRACE("event " + std::to_string(i) + ": " + t.dump());
      ++counts[t["kind"].get<std::string>()];
      EXPECT_EQ(EventKindName(e.Kind), t["kind"].get<std::string>());
      EXPECT_EQ(CallDirectionName(e.Direction), t.value("direction", std::string()));
      // A record is stamped when its chunk is read: at most one read later.
      const double late = (e.Time - r.Start) * 86400 - t["t"].get<double>();
      EXPECT_GE(late, -0.002);
      EXPECT_LE(late, o.ChunkMs / 1000 + 0.002);
      // The analysis may not know a cell yet (a handover's target before its
      // system information); what it knows must be right.
      unknownCell += !e.Cell.Key.Valid;
      if (e.Cell.Key.Valid) { EXPECT_EQ(CellJson(e.Cell.Key), CellJson(t)); }
      if (!t.contains("target")) continue;
      // A move seen first in system information names no channel yet: then
      // the identity it names, or (type 4) a new area.
      if (e.TargetArfcn != 0) { EXPECT_EQ(e.TargetArfcn, t["target"]["arfcn"].get<int>()); }
      else { EXPECT_TRUE(e.Target.Valid || t["target"]["lac"] != t["lac"]); }
      if (e.Target.Valid) { EXPECT_EQ(CellJson(e.Target), CellJson(t["target"])); }
    }
    EXPECT_LE(unknownCell * 10, truth.size());
    const TSessionKpis& k = found.Kpis;
    const std::vector<std::pair<const char*, int64_t>> kpis{
        {"call_attempt", k.CallAttempts},      {"call_setup", k.CallSetups},
        {"call_setup_failure", k.CallSetupFailures}, {"call_connect", k.CallConnects},
        {"call_end", k.CallEnds},              {"call_drop", k.CallDrops},
        {"handover_attempt", k.HandoverAttempts}, {"handover_success", k.HandoverSuccesses},
        {"handover_failure", k.HandoverFailures}, {"location_update_request", k.LocationUpdates},
        {"location_update_accept", k.LocationUpdateAccepts}, {"location_update_reject", k.LocationUpdateRejects},
        {"reselection", k.Reselections},       {"line_gap", k.LineGaps}};
    for (const auto& [kind, value] : kpis) EXPECT_EQ(value, counts[kind]) << kind;
    // Every fault happened, so the comparison covered each kind.
    for (const char* kind : {"call_drop", "call_setup_failure", "handover_failure"}) EXPECT_GT(counts[kind], 0) << kind;
  }
  std::filesystem::remove_all(dir);
}
