// The analysis as a person meets it: a simulated drive with every kind of
// fault, recorded with its network's cell plan and replayed with it in a
// zone that is not UTC, then every output that shows
// events, KPIs or sites read back by the program that consumes it, and
// compared with the session's own JSON Lines and `orvik-host kpi --json`.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "refhost/core/DriveEvents.h"
#include "refhost/output/EventsCsvWriter.h"
#include "refhost/output/OutputFile.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct TRun {
  int Status = -1;
  std::string Out;
};

// Runs a shell command: its standard output (stderr too when `merge`) and exit status.
TRun Shell(const std::string& command, bool merge = false) {
  TRun run;
  FILE* pipe = popen((command + (merge ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.Out.append(buffer, n);
  const int status = pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// "a.b": value for nested objects and "a.0.b" for lists of objects, as the
// page's KPI panel names them; a list of numbers stays one value.
void Flatten(const std::string& prefix, const json& v, std::map<std::string, json>& out) {
  if (v.is_object()) {
    for (const auto& [k, sub] : v.items()) Flatten(prefix.empty() ? k : prefix + "." + k, sub, out);
  } else if (v.is_array() && !v.empty() && v[0].is_object()) {
    for (size_t i = 0; i < v.size(); ++i) Flatten(prefix + "." + std::to_string(i), v[i], out);
  } else {
    out[prefix] = v;
  }
}

// The HTML entities the DOM dump uses in attribute values.
std::string Unescape(std::string s) {
  const std::pair<const char*, const char*> entities[] = {{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}};
  for (const auto& [from, to] : entities)
    for (size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, std::strlen(from), to);
  return s;
}

class AnalysisOutputs : public ::testing::Test {
 protected:
  // One drive for every test: it is what they all read.
  static void SetUpTestSuite() {
    Dir = fs::temp_directory_path() / ("orvik_report_" + std::to_string(::getpid()));
    fs::create_directories(Dir);
    Capture = ORVIK_DRIVE_CACHE ".orvcap";
    Cells = ORVIK_DRIVE_CACHE "-cells.csv";
    // Recording takes half a minute: each test case (a process of its own
    // under ctest) reuses the drive the current recorder made.
    std::error_code error;
    const auto maker = fs::last_write_time(ORVIK_MAKE_CAPTURE, error);
    if (!fs::exists(Capture) || !fs::exists(Cells) || fs::last_write_time(Capture, error) < maker) {
      // Seven minutes at high fault rates; this seed has a set-up failure, a
      // drop and failed handovers among its calls (checked below).
      const std::string capture = (Dir / "drive.orvcap").string(), cells = (Dir / "cells.csv").string();
      Made = Shell(ORVIK_MAKE_CAPTURE " --seed 8 --seconds 420 --dial-at 10 --drop-at 350 --setup-failure-rate 0.4 "
                   "--drops-per-minute 1 --handover-failure-rate 0.5 --lu-reject-rate 0.5 --out " +
                       capture + " --cells-out " + cells,
                   true);
      // Cases run side by side: each puts its own copy in place whole.
      fs::copy_file(capture, Capture + ".tmp-" + std::to_string(::getpid()), error);
      fs::copy_file(cells, Cells + ".tmp-" + std::to_string(::getpid()), error);
      fs::rename(Cells + ".tmp-" + std::to_string(::getpid()), Cells, error);
      fs::rename(Capture + ".tmp-" + std::to_string(::getpid()), Capture, error);
    } else {
      Made.Status = 0;
    }
    // Newfoundland: half-hour offset, behind UTC, so a time written as UTC or
    // with a whole-hour offset shows.
    const char* zone = std::getenv("ORVIK_TEST_ZONE");
    const std::string tz = std::string("TZ=") + (zone && *zone ? zone : "America/St_Johns") + " ";
    Replay = Shell(tz + ORVIK_HOST " replay " + Capture + " --cells " + Cells + " --out " + (Dir / "drive").string(), true);
    std::istringstream lines(ReadAll(Dir / "drive" / "session.jsonl"));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) continue;
      json entry = json::parse(line);
      const std::string type = entry.value("type", "");
      if (type == "record") ++Records;
      if (type == "event") Events.push_back(entry);
      if (type == "summary") Summary = entry;
    }
  }
  static void TearDownTestSuite() {
    if (!std::getenv("ORVIK_KEEP_OUTPUT")) fs::remove_all(Dir);
  }
  void SetUp() override {
    ASSERT_EQ(Made.Status, 0) << Made.Out;
    ASSERT_EQ(Replay.Status, 0) << Replay.Out;
    ASSERT_TRUE(Summary.contains("kpi")) << "the JSON Lines summary has no kpi";
    std::set<std::string> kinds;
    for (const json& e : Events) kinds.insert(e.value("kind", ""));
    for (const char* kind : {"call_setup", "call_end", "call_drop", "call_setup_failure", "handover_success",
                             "handover_failure"})
      ASSERT_TRUE(kinds.count(kind)) << "the drive was made to hold a " << kind;
  }
  static size_t PositionedEvents() {
    size_t n = 0;
    for (const json& e : Events) n += e.value("longitude", json()).is_number() ? 1 : 0;
    return n;
  }

  static inline fs::path Dir;
  static inline std::string Capture, Cells;
  static inline TRun Made, Replay;
  static inline int64_t Records = 0;
  static inline std::vector<json> Events;
  static inline json Summary;
};

TEST_F(AnalysisOutputs, ReportKpiPanelShowsTheNumbersOfKpiAndSummary) {
  const fs::path page = Dir / "drive" / "report.html";
  const TRun dom = Shell("chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
                         "--disable-component-update --disable-sync --user-data-dir=" +
                         (Dir / "profile").string() + " --dump-dom file://" + page.string());
  ASSERT_EQ(dom.Status, 0) << "chromium could not open " << page;
  ASSERT_NE(dom.Out.find("data-rendered=\"yes\""), std::string::npos) << "the page's script did not finish";
  EXPECT_EQ(dom.Out.find("data-errors="), std::string::npos) << dom.Out.substr(dom.Out.find("id=\"errors\""), 400);
  EXPECT_NE(dom.Out.find("data-records=\"" + std::to_string(Records) + "\""), std::string::npos);
  EXPECT_NE(dom.Out.find("data-events=\"" + std::to_string(Events.size()) + "\""), std::string::npos);
  // Calls and handovers are marked on the route, each where it happened.
  const std::set<std::string> marked{"call_setup",         "call_connect",     "call_end",        "call_drop",
                                     "call_setup_failure", "handover_success", "handover_failure"};
  size_t onMap = 0;
  for (const json& e : Events) onMap += marked.count(e["kind"]) && e["longitude"].is_number();
  EXPECT_NE(dom.Out.find("data-map-events=\"" + std::to_string(onMap) + "\""), std::string::npos);

  std::map<std::string, json> panel, kpi;
  // Names only: the page's own script holds the same attribute text.
  const std::regex cell("data-kpi=\"([a-z0-9_.]+)\" data-value=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(dom.Out.begin(), dom.Out.end(), cell); it != std::sregex_iterator(); ++it)
    panel[Unescape((*it)[1])] = json::parse(Unescape((*it)[2]));
  const TRun kpiRun = Shell(ORVIK_HOST " kpi --json " + (Dir / "drive").string());
  ASSERT_EQ(kpiRun.Status, 0);
  const json kpiObject = json::parse(kpiRun.Out);
  std::map<std::string, json> summary;
  Flatten("", kpiObject, kpi);
  Flatten("", Summary["kpi"], summary);
  EXPECT_EQ(kpi.size(), summary.size());
  for (const auto& [key, value] : summary)
    EXPECT_EQ(value, kpi[key]) << key << ": the JSON Lines summary and kpi --json disagree";
  for (const char* key : {"call_attempts", "call_setups", "call_setup_success_ratio", "call_connects", "call_drops",
                          "dropped_call_ratio", "handover_attempts", "handover_successes", "handover_success_ratio",
                          "location_updates", "location_update_success_ratio"})
    EXPECT_TRUE(panel.count(key)) << key << " is not in the KPI panel";
  for (const auto& [key, value] : panel) {
    ASSERT_TRUE(kpi.count(key)) << key << " is in the panel but not in kpi --json";
    EXPECT_EQ(value, summary[key]) << key << ": the panel and the summary disagree";
  }
  for (const auto& [key, value] : kpiObject.items()) {
    const auto shown = panel.lower_bound(key);
    EXPECT_TRUE(shown != panel.end() && shown->first.rfind(key, 0) == 0) << key << " is not in the panel";
  }
}

TEST_F(AnalysisOutputs, EventsCsvReadByPythonHoldsTheEventLines) {
  const TRun read = Shell("python3 -c 'import csv, json, sys\n"
                          "print(json.dumps(list(csv.DictReader(open(sys.argv[1], newline=\"\")))))' " +
                          (Dir / "drive" / "events.csv").string());
  ASSERT_EQ(read.Status, 0);
  const json rows = json::parse(read.Out);
  ASSERT_EQ(rows.size(), Events.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const json& row = rows[i];
    const json& e = Events[i];
    EXPECT_EQ(row["time"], e["time"]) << i;
    EXPECT_EQ(row["kind"], e["kind"]) << i;
    EXPECT_EQ(row["first_record"], std::to_string(e["first_record"].get<int64_t>())) << i;
    EXPECT_EQ(row["last_record"], std::to_string(e["last_record"].get<int64_t>())) << i;
    const json lon = e.value("longitude", json());
    if (lon.is_number()) {
      EXPECT_NEAR(std::stod(row["longitude"].get<std::string>()), lon.get<double>(), 1e-7) << i;
    } else {
      EXPECT_EQ(row["longitude"], "") << i;
    }
    if (e.contains("mcc") && e["mcc"].is_number()) {
      EXPECT_EQ(row["mcc"], std::to_string(e["mcc"].get<int>())) << i;
    }
  }
}

// GIS and globe viewers: events and sites where a person looks for them.
struct TReadBack {
  const char* What;
  std::string Command;  // prints the count
  size_t (*Expected)();
};

TEST_F(AnalysisOutputs, MapsHoldTheEventsAndSitesWhenReadBack) {
  const std::string geojson = (Dir / "drive" / "session.geojson").string();
  const std::string kml = (Dir / "drive" / "session.kml").string();
  auto folder = [&](const char* name) {
    return "xmllint --xpath \"count(//*[local-name()='Folder'][*[local-name()='name']='" + std::string(name) +
           "']/*[local-name()='Placemark'])\" " + kml;
  };
  auto layer = [&](const std::string& where) {
    return "ogrinfo -ro -al -q -where \"" + where + "\" " + geojson + " | grep -c '^OGRFeature('";
  };
  static size_t sites = 0;
  sites = 0;
  std::istringstream cells(ReadAll(Cells));
  for (std::string line; std::getline(cells, line);) sites += line.find_first_not_of(" \r") != std::string::npos;
  --sites;  // the header
  ASSERT_GT(sites, 0u);
  const std::vector<TReadBack> table{
      {"GeoJSON events", layer("layer = 'events'"), &PositionedEvents},
      {"GeoJSON sites", layer("layer = 'sites'"), [] { return sites; }},
      {"KML events", folder("Events"), &PositionedEvents},
      {"KML sites", folder("Sites"), [] { return sites; }},
  };
  for (const TReadBack& t : table) {
    const TRun run = Shell(t.Command);
    EXPECT_EQ(std::strtoul(run.Out.c_str(), nullptr, 10), t.Expected()) << t.What << ": " << t.Command;
  }
  // The served sites are told from the others.
  EXPECT_GT(std::strtoul(Shell(layer("layer = 'sites' AND served = 1")).Out.c_str(), nullptr, 10), 0u);
}

// A cell file that is not one, or one a run would write over: every command
// refuses it before it writes anything.
struct TRefusal {
  const char* Command;
  std::string Args;   // without --cells
  std::string Cells;  // the --cells given
  const char* Says;
};

TEST_F(AnalysisOutputs, BadCellFileIsRefusedBeforeAnythingIsWritten) {
  const fs::path bad = Dir / "bad-cells.csv";
  std::ofstream(bad) << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\r\n"
                        "GSM,262,1,1001,11,0,10.70,53.55,900,12,1,1700000000,1700000000,0\r\n"
                        "GSM,262,1,1001,eleven,0,10.71,53.56,900,12,1,1700000000,1700000000,0\r\n";
  const std::string out = (Dir / "refused").string();
  const std::string drive = (Dir / "drive").string();
  const std::vector<TRefusal> table{
      {"live", "live --simulate --duration 5 --out " + out, bad.string(), "line 3"},
      {"replay", "replay " + Capture + " --out " + out, bad.string(), "line 3"},
      {"export", "export --format geojson " + drive + " --out " + out + ".geojson", bad.string(), "line 3"},
      {"report", "report " + drive + " --out " + out + ".html", bad.string(), "line 3"},
      // The cell file where the run would write its events.
      {"replay", "replay " + Capture + " --force --out " + drive, drive + "/events.csv", "would overwrite --cells"},
  };
  for (const TRefusal& t : table) {
    const std::string events = ReadAll(Dir / "drive" / "events.csv");
    const TRun run = Shell(ORVIK_HOST " " + t.Args + " --cells " + t.Cells, true);
    EXPECT_EQ(run.Status, 2) << t.Command << ": " << run.Out;
    EXPECT_NE(run.Out.find(std::string("orvik-host ") + t.Command + ": "), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find(t.Says), std::string::npos) << t.Command << ": " << run.Out;
    EXPECT_FALSE(fs::exists(out) || fs::exists(out + ".geojson") || fs::exists(out + ".html")) << t.Command;
    EXPECT_EQ(ReadAll(Dir / "drive" / "events.csv"), events) << t.Command << " touched the session it may not";
  }
}

// A full disk: the row that cannot be written is an error, not a silent loss.
TEST(EventsCsv, FullDiskIsAnError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  TEventsCsvWriter writer("/dev/full", TFlushPolicy::EveryEntry);
  TDriveEvent drop;
  drop.Kind = TEventKind::CallDrop;
  drop.Cause = "radio link failure";
  EXPECT_THROW(
      {
        writer.OnStart({"simulate", "", -210, 1});
        writer.OnEvent(drop);
        writer.OnFinish({});
      },
      EOutputWrite);
}

}  // namespace
