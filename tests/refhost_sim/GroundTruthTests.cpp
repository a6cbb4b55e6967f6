// The drive analysis against the simulated network's ground truth: for
// several seeds, a session with every kind of fault is recorded in process
// (the plug-in decoding what the simulated handset sends), played through
// the analysis stage, and each event found must be the event the network
// made, one by one, and the KPIs its counts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/samples/SimulatedCapture.h"
#include "refhost/sim/SimFiles.h"

namespace {

class TEventCollector : public TRecordSink {
 public:
  void OnRecord(const THostRecord&) override {}
  void OnEvent(const TDriveEvent& e) override { Events.push_back(e); }
  void OnAnalysis(const TSessionAnalysisResult& r) override { Result = r; }
  std::vector<TDriveEvent> Events;
  TSessionAnalysisResult Result;
};

std::string Cell(const nlohmann::json& j) {
  return j.value("mcc", 0) == 0 && j.value("ci", 0) == 0
             ? "-"
             : std::to_string(j["mcc"].get<int>()) + "-" + std::to_string(j["mnc"].get<int>()) + "-" +
                   std::to_string(j["lac"].get<int>()) + "-" + std::to_string(j["ci"].get<int>());
}
std::string Cell(const TCellKey& k) {
  return k.Valid ? std::to_string(k.Mcc) + "-" + std::to_string(k.Mnc) + "-" + std::to_string(k.Lac) + "-" +
                       std::to_string(k.CellId)
                 : "-";
}

// One line per event, for the failure message.
std::string Listing(const std::vector<nlohmann::json>& truth, const std::vector<TDriveEvent>& found, TDays start) {
  std::ostringstream s;
  s << "truth:\n";
  for (const auto& t : truth) s << "  " << t.dump() << "\n";
  s << "found:\n";
  for (const auto& e : found)
    s << "  " << EventKindName(e.Kind) << " t=" << (e.Time - start) * 86400 << " " << CallDirectionName(e.Direction)
      << " " << Cell(e.Cell.Key) << " target " << e.TargetArfcn << " " << e.Cause << "\n";
  return s.str();
}

class GroundTruth : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Plugin = std::make_unique<TLoadedPlugin>(LoadPlugin(DefaultPluginPath())); }
  static void TearDownTestSuite() { Plugin.reset(); }
  static std::unique_ptr<TLoadedPlugin> Plugin;
};
std::unique_ptr<TLoadedPlugin> GroundTruth::Plugin;

}  // namespace

TEST_F(GroundTruth, AnalysisFindsWhatTheNetworkMade) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("orvik-truth-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  // The plug-in's pauses between report requests are real: a virtual
  // second costs about 60 ms here, so the sessions are kept short.
  for (uint64_t seed : {3u, 11u, 29u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TSimulatedCaptureOptions o;
    o.Seed = seed;
    o.Seconds = 360;
    o.DropAtS = -1;  // a lost line hides what the network did meanwhile
    o.CallSeconds = 60;
    o.IncomingCallEveryS = 40;
    o.Faults = {0.3, 1.5, 0.5, 0.4, 0.4};
    TEventCollector collector;
    TAnalysisStage stage({&collector});
    const TSimulatedCaptureResult r =
        MakeSimulatedCapture(*Plugin, (dir / "session.orvcap").string(), o, {&stage});

    // The truth as its file gives it back.
    const std::string truthPath = (dir / "truth.jsonl").string();
    WriteSimTruth(truthPath, r.Truth);
    std::vector<nlohmann::json> truth;
    std::ifstream in(truthPath);
    for (std::string line; std::getline(in, line);) truth.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(truth.size(), r.Truth.size());

    const std::vector<TDriveEvent>& found = collector.Events;
    const std::string listing = Listing(truth, found, r.Start);
    ASSERT_EQ(found.size(), truth.size()) << listing;
    std::map<std::string, int64_t> counts;
    size_t unknownCell = 0;
    for (size_t i = 0; i < truth.size(); ++i) {
      const nlohmann::json& t = truth[i];
      const TDriveEvent& e = found[i];
      SCOPED_TRACE("event " + std::to_string(i) + ": " + t.dump());
      ++counts[t["kind"].get<std::string>()];
      EXPECT_EQ(EventKindName(e.Kind), t["kind"].get<std::string>()) << listing;
      EXPECT_EQ(CallDirectionName(e.Direction), t.value("direction", std::string()));
      // A record is stamped when its chunk is read: at most one read later.
      const double late = (e.Time - r.Start) * 86400 - t["t"].get<double>();
      EXPECT_GE(late, -0.002);
      EXPECT_LE(late, o.ChunkMs / 1000 + 0.002);
      // The analysis may not know a cell yet (a handover's target before its
      // system information); what it knows must be right.
      if (e.Cell.Key.Valid) {
        EXPECT_EQ(Cell(e.Cell.Key), Cell(t));
      } else {
        ++unknownCell;
      }
      if (t.contains("target")) {
        // A move seen first in system information names no channel yet:
        // then the identity it names, or (type 4) a new area.
        if (e.TargetArfcn != 0) {
          EXPECT_EQ(e.TargetArfcn, t["target"]["arfcn"].get<int>());
        } else {
          EXPECT_TRUE(e.Target.Valid || t["target"]["lac"] != t["lac"]);
        }
        if (e.Target.Valid) {
          EXPECT_EQ(Cell(e.Target), Cell(t["target"]));
        }
      }
    }
    EXPECT_LE(unknownCell * 10, truth.size()) << listing;
    const TSessionKpis& k = collector.Result.Kpis;
    EXPECT_EQ(k.CallAttempts, counts["call_attempt"]);
    EXPECT_EQ(k.CallSetups, counts["call_setup"]);
    EXPECT_EQ(k.CallSetupFailures, counts["call_setup_failure"]);
    EXPECT_EQ(k.CallConnects, counts["call_connect"]);
    EXPECT_EQ(k.CallEnds, counts["call_end"]);
    EXPECT_EQ(k.CallDrops, counts["call_drop"]);
    EXPECT_EQ(k.HandoverAttempts, counts["handover_attempt"]);
    EXPECT_EQ(k.HandoverSuccesses, counts["handover_success"]);
    EXPECT_EQ(k.HandoverFailures, counts["handover_failure"]);
    EXPECT_EQ(k.LocationUpdates, counts["location_update_request"]);
    EXPECT_EQ(k.LocationUpdateAccepts, counts["location_update_accept"]);
    EXPECT_EQ(k.LocationUpdateRejects, counts["location_update_reject"]);
    EXPECT_EQ(k.Reselections, counts["reselection"]);
    EXPECT_EQ(k.LineGaps, 0);
    // Every fault happened, so the comparison covered each kind.
    for (const char* kind : {"call_drop", "call_setup_failure", "handover_failure"}) EXPECT_GT(counts[kind], 0) << kind;
  }
  std::filesystem::remove_all(dir);
}
