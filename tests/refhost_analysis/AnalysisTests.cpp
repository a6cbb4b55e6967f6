// The analysis stage fed scripted sessions: records built from real layer-3
// bytes, idle and dedicated reports and gaps, in the order a handset sends
// them. Each case names the events the stage must find, in order.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/cells/CellSites.h"
#include "refhost/gsm/GsmBuild.h"
#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/JsonLines.h"

namespace {

struct TStep {
  enum { Record, Gap } Type = Record;
  THostRecord Rec;
  double GapSeconds = 0;
};
using TScript = std::vector<TStep>;

constexpr uint16_t ArfcnA = 10, ArfcnB = 20;
constexpr uint8_t BsicA = 5, BsicB = 7;

const TGsmCellIdentity CellA{262, 2, 0x1234, 101, ArfcnA, BsicA}, CellB{262, 2, 0x1234, 202, ArfcnB, BsicB};

TStep L3(const TGsmBytes& bytes, bool dedicated = true) {
  TStep s;
  s.Rec.Layer3 = bytes;
  s.Rec.MessageId = GsmMessageId(bytes.data(), static_cast<int>(bytes.size()));
  s.Rec.Dedicated = dedicated;
  return s;
}
TStep IdleReport(uint16_t arfcn, uint8_t bsic, uint8_t rxlev) {
  TStep s;
  s.Rec.Idle = TIdleValues{arfcn, bsic, rxlev, 20, 20, {}};
  return s;
}
TStep DedReport(uint16_t arfcn, uint8_t bsic, uint8_t rxlev, uint8_t rxqual) {
  TStep s = L3({}, true);
  s.Rec.DedicatedReport = TDedicatedValues{arfcn, bsic, rxlev, rxlev, rxqual, rxqual, 3, 5, {}};
  return s;
}
TStep LineGap(double seconds) { return TStep{TStep::Gap, {}, seconds}; }

TScript operator+(TScript a, const TScript& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const gsm::TCcHeader MoUp{{0, true}, false, 0}, MoDown{{0, true}, true, 0};
const gsm::TCcHeader MtUp{{0, false}, false, 0}, MtDown{{0, false}, true, 0};
TGsmAssignedChannel Sdcch() { return TGsmAssignedChannel{false, 2, 1, BsicA & 7, ArfcnA}; }
TGsmAssignedChannel Tch(uint16_t arfcn) { return TGsmAssignedChannel{true, 0, 3, 5, arfcn}; }
TScript CampOnA() {
  return {IdleReport(ArfcnA, BsicA, 45), L3(gsm::SystemInformation3(CellA), false), IdleReport(ArfcnA, BsicA, 44)};
}
TScript MoUpToConnect() {
  return {L3(gsm::ImmediateAssignment(Sdcch(), 0xE0, 3, 100, 2), false), L3(gsm::CmServiceRequest(0x1234, 0), false),
          DedReport(ArfcnA, BsicA, 40, 0), L3(gsm::CcSetup(MoUp, "+4930123456")), L3(gsm::CcCallProceeding(MoDown)),
          L3(gsm::AssignmentCommand(Tch(ArfcnA), 5)), L3(gsm::SystemInformation6(CellA)), L3(gsm::CcAlerting(MoDown)),
          DedReport(ArfcnA, BsicA, 38, 1), L3(gsm::CcConnect(MoDown)), L3(gsm::CcConnectAcknowledge(MoUp))};
}
TScript MtUpToConnect() {
  return {L3(gsm::ImmediateAssignment(Sdcch(), 0x80, 3, 100, 2), false), L3(gsm::PagingResponse(0x99), false),
          DedReport(ArfcnA, BsicA, 40, 0), L3(gsm::CcSetup(MtDown, "030555")), L3(gsm::CcCallConfirmed(MtUp)),
          L3(gsm::CcAlerting(MtUp)), L3(gsm::CcConnect(MtUp)), L3(gsm::CcConnectAcknowledge(MtDown))};
}
// Back to idle on cell A unless told otherwise.
TScript NormalEnd(const gsm::TCcHeader& up, const gsm::TCcHeader& down, uint16_t arfcn = ArfcnA, uint8_t bsic = BsicA) {
  return {L3(gsm::CcDisconnect(up, 16)), L3(gsm::CcRelease(down)), L3(gsm::CcReleaseComplete(up)),
          L3(gsm::ChannelRelease()), IdleReport(arfcn, bsic, 44)};
}
TScript HandoverTo(uint16_t arfcn, uint8_t bsic) {
  return {L3(gsm::HandoverCommand(arfcn, bsic, Tch(arfcn), 9, 5))};
}

// Runs scripts through one stage each and keeps what reached the writer.
class AnalysisFixture : public ::testing::Test, public TRecordSink {
 protected:
  void OnRecord(const THostRecord& r) override { Records.push_back(r); }
  void OnEvent(const TDriveEvent& e) override { Events.push_back(e); }
  void OnFinish(const TSessionCounters& c) override { Finished = c; }

  // Half a second between steps from 2026-03-29 09:00 local time.
  const TSessionAnalysisResult& Play(const TScript& script, double startSeconds = 0,
                                     const TCellSites* sites = nullptr) {
    Stage = std::make_unique<TAnalysisStage>(std::vector<TRecordSink*>{this}, sites);
    Records.clear();
    Events.clear();
    TSessionSettings settings;
    settings.UtcOffsetMinutes = 120;
    Stage->OnStart(settings);
    double t = startSeconds;
    int64_t index = 0;
    for (TStep s : script) {
      const TDays at = Day + t / 86400;
      if (s.Type == TStep::Gap) {
        Stage->OnGap({at, at + s.GapSeconds / 86400, "port closed by the other end"});
        t += s.GapSeconds;
        continue;
      }
      s.Rec.Index = index++;
      s.Rec.TimeStamp1 = s.Rec.TimeStamp2 = at;
      s.Rec.Method = TPositionMethod::Interpolated;
      s.Rec.Longitude = 13.4 + t / 1000;
      s.Rec.Latitude = 52.5;
      Stage->OnRecord(s.Rec);
      t += 0.5;
    }
    TSessionCounters counters;
    counters.CallsSetUp = 99;  // what the driver counted: replaced by the analysis
    Stage->OnFinish(counters);
    return Stage->Result();
  }

  std::string Kinds() const {
    std::string out;
    for (const TDriveEvent& e : Events) {
      out += out.empty() ? "" : " ";
      out += EventKindName(e.Kind);
      if (e.Direction != TCallDirection::None) out += std::string(":") + CallDirectionName(e.Direction);
    }
    return out;
  }

  static constexpr TDays Day = 46110.375;
  std::unique_ptr<TAnalysisStage> Stage;
  std::vector<THostRecord> Records;
  std::vector<TDriveEvent> Events;
  TSessionCounters Finished;
};

struct TEventCase {
  const char* Name;
  std::function<TScript()> Script;
  const char* Events;
};

TEST_F(AnalysisFixture, EventTable) {
  const std::vector<TEventCase> cases{
      {"mo_call_normal_end", [] { return CampOnA() + MoUpToConnect() + NormalEnd(MoUp, MoDown); },
       "call_attempt:mo call_setup:mo call_connect:mo call_end:mo"},
      {"mt_call_normal_end", [] { return CampOnA() + MtUpToConnect() + NormalEnd(MtUp, MtDown); },
       "call_attempt:mt call_setup:mt call_connect:mt call_end:mt"},
      {"mo_cm_service_reject",
       [] {
         return CampOnA() + TScript{L3(gsm::ImmediateAssignment(Sdcch(), 0xE0, 1, 7, 1), false),
                                    L3(gsm::CmServiceRequest(0x1234, 0), false), DedReport(ArfcnA, BsicA, 40, 0),
                                    L3(gsm::CmServiceReject(22)), L3(gsm::ChannelRelease()),
                                    IdleReport(ArfcnA, BsicA, 40)};
       },
       "call_attempt:mo call_setup_failure:mo"},
      {"mt_released_before_alerting",
       [] {
         TScript s = CampOnA() + MtUpToConnect();
         s.resize(CampOnA().size() + 5);  // up to CALL CONFIRMED
         return s + TScript{L3(gsm::ChannelRelease(0x01)), IdleReport(ArfcnA, BsicA, 40)};
       },
       "call_attempt:mt call_setup_failure:mt"},
      {"mo_busy_cleared_before_alerting",
       [] {
         TScript s = CampOnA() + MoUpToConnect();
         s.resize(CampOnA().size() + 5);  // up to CALL PROCEEDING
         return s + NormalEnd(MoUp, MoDown);
       },
       "call_attempt:mo call_setup_failure:mo"},
      {"drop_by_abnormal_channel_release",
       [] { return CampOnA() + MoUpToConnect() + TScript{L3(gsm::ChannelRelease(0x01)), IdleReport(ArfcnA, BsicA, 9)}; },
       "call_attempt:mo call_setup:mo call_connect:mo call_drop:mo"},
      {"drop_by_line_gap", [] { return CampOnA() + MtUpToConnect() + TScript{LineGap(12), IdleReport(ArfcnB, BsicB, 30)}; },
       "call_attempt:mt call_setup:mt call_connect:mt line_gap call_drop:mt"},
      {"drop_by_idle_reports_resuming",
       [] { return CampOnA() + MoUpToConnect() + TScript{DedReport(ArfcnA, BsicA, 3, 7), IdleReport(ArfcnA, BsicA, 20)}; },
       "call_attempt:mo call_setup:mo call_connect:mo call_drop:mo"},
      {"attempt_lost_with_the_line",
       [] {
         TScript s = CampOnA() + MoUpToConnect();
         s.resize(CampOnA().size() + 4);
         return s + TScript{LineGap(5)};
       },
       "call_attempt:mo line_gap call_setup_failure:mo"},
      {"stale_idle_report_before_the_channel_is_no_failure",
       [] {
         return CampOnA() + TScript{L3(gsm::ImmediateAssignment(Sdcch(), 0xE0, 1, 7, 1), false),
                                    L3(gsm::CmServiceRequest(0x1234, 0), false), IdleReport(ArfcnA, BsicA, 44),
                                    DedReport(ArfcnA, BsicA, 40, 0), L3(gsm::CcSetup(MoUp, "112")),
                                    L3(gsm::CcAlerting(MoDown))};
       },
       "call_attempt:mo call_setup:mo"},
      {"uplink_setup_without_cm_service_request",
       [] { return CampOnA() + TScript{DedReport(ArfcnA, BsicA, 40, 0), L3(gsm::CcSetup(MoUp, "112")), L3(gsm::CcConnect(MoDown))}; },
       "call_attempt:mo call_setup:mo call_connect:mo"},
      {"mt_released_after_the_paging_response",
       [] {
         return CampOnA() + TScript{L3(gsm::PagingResponse(0x99), false), DedReport(ArfcnA, BsicA, 40, 0),
                                    L3(gsm::ChannelRelease()), IdleReport(ArfcnA, BsicA, 40)};
       },
       "call_attempt:mt call_setup_failure:mt"},
      {"handover_success",
       [] {
         return CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) +
                TScript{L3(gsm::HandoverComplete()), DedReport(ArfcnB, BsicB, 45, 0), L3(gsm::SystemInformation6(CellB))} +
                NormalEnd(MoUp, MoDown, ArfcnB, BsicB);
       },
       "call_attempt:mo call_setup:mo call_connect:mo handover_attempt handover_success call_end:mo"},
      {"handover_failure_back_on_the_old_channel",
       [] {
         return CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) +
                TScript{L3(gsm::HandoverFailure(0x03)), DedReport(ArfcnA, BsicA, 30, 2)};
       },
       "call_attempt:mo call_setup:mo call_connect:mo handover_attempt handover_failure"},
      {"handover_ended_by_a_drop",
       [] { return CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) + TScript{L3(gsm::ChannelRelease(0x04))}; },
       "call_attempt:mo call_setup:mo call_connect:mo handover_attempt handover_failure call_drop:mo"},
      {"reselection_report_first",
       [] {
         return CampOnA() + TScript{IdleReport(ArfcnB, BsicB, 50), L3(gsm::SystemInformation3(CellB), false),
                                    IdleReport(ArfcnB, BsicB, 50)};
       },
       "reselection"},
      {"reselection_system_information_first",
       [] {
         return CampOnA() + TScript{L3(gsm::SystemInformation3(CellB), false), IdleReport(ArfcnB, BsicB, 50),
                                    IdleReport(ArfcnB, BsicB, 50)};
       },
       "reselection"},
      {"no_reselection_across_a_call_or_a_gap",
       [] {
         return CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) + TScript{L3(gsm::HandoverComplete())} +
                TScript{L3(gsm::CcDisconnect(MoUp, 16)), L3(gsm::CcRelease(MoDown)), L3(gsm::CcReleaseComplete(MoUp)),
                        L3(gsm::ChannelRelease()), IdleReport(ArfcnB, BsicB, 44), LineGap(3), IdleReport(ArfcnA, BsicA, 44)};
       },
       "call_attempt:mo call_setup:mo call_connect:mo handover_attempt handover_success call_end:mo line_gap"},
      {"cell_change_on_leaving_the_channel",
       [] { return CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) + TScript{L3(gsm::HandoverComplete())} + NormalEnd(MoUp, MoDown); },
       "call_attempt:mo call_setup:mo call_connect:mo handover_attempt handover_success call_end:mo reselection"},
      {"handover_cut_short_by_a_normal_end_has_no_outcome",
       [] { return CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) + NormalEnd(MoUp, MoDown); },
       "call_attempt:mo call_setup:mo call_connect:mo handover_attempt call_end:mo"},
      {"location_update_accepted",
       [] {
         return CampOnA() + TScript{L3(gsm::LocationUpdatingRequest(CellB, 0x55, 0), false),
                                    L3(gsm::LocationUpdatingAccept(CellA))};
       },
       "location_update_request location_update_accept"},
      {"location_update_rejected",
       [] { return CampOnA() + TScript{L3(gsm::LocationUpdatingRequest(CellB, 0x55, 0), false), L3(gsm::LocationUpdatingReject(13))}; },
       "location_update_request location_update_reject"},
  };
  for (const TEventCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TSessionAnalysisResult& result = Play(c.Script());
    EXPECT_EQ(Kinds(), c.Events);
    // The counts are the events counted, and the summary's call counters agree.
    const TSessionKpis& k = result.Kpis;
    int64_t byKind[EventKindCount] = {};
    for (const TDriveEvent& e : Events) ++byKind[static_cast<int>(e.Kind)];
    EXPECT_EQ(k.CallAttempts, byKind[int(TEventKind::CallAttempt)]);
    EXPECT_EQ(k.CallSetups, byKind[int(TEventKind::CallSetup)]);
    EXPECT_EQ(k.CallDrops, byKind[int(TEventKind::CallDrop)]);
    EXPECT_EQ(k.CallSetupFailures, byKind[int(TEventKind::CallSetupFailure)]);
    EXPECT_EQ(k.HandoverFailures, byKind[int(TEventKind::HandoverFailure)]);
    EXPECT_EQ(k.Reselections, byKind[int(TEventKind::Reselection)]);
    EXPECT_EQ(Finished.CallsSetUp, k.CallSetups);
    EXPECT_EQ(Finished.CallsDropped, k.CallDrops);
    EXPECT_EQ(k.Records, static_cast<int64_t>(Records.size()));
    EXPECT_EQ(Stage->Snapshot().CallAttempts, k.CallAttempts);
    for (const TDriveEvent& e : Events) {
      EXPECT_LE(e.FirstRecord, e.LastRecord) << EventKindName(e.Kind);
      EXPECT_GE(e.FirstRecord, 0) << EventKindName(e.Kind);
    }
  }
}

// What the events and records carry beyond their kind: cells, targets,
// set-up time, causes, and the cell table.
TEST_F(AnalysisFixture, CellsAndDetails) {
  const TScript script = CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) +
                         TScript{L3(gsm::HandoverComplete()), DedReport(ArfcnB, BsicB, 45, 0),
                                 L3(gsm::SystemInformation6(CellB)), DedReport(ArfcnB, BsicB, 45, 0),
                                 L3(gsm::ChannelRelease(0x01))};
  const TSessionAnalysisResult& result = Play(script);
  ASSERT_EQ(Kinds(), "call_attempt:mo call_setup:mo call_connect:mo handover_attempt handover_success call_drop:mo");
  const TDriveEvent& setup = Events[1];
  EXPECT_NEAR(setup.SetupTimeS, 0.5 * 6, 1e-6);  // CM SERVICE REQUEST to ALERTING: six steps
  EXPECT_EQ(setup.Cell.Key.CellId, CellA.CellId);
  const TDriveEvent& handover = Events[4];
  EXPECT_EQ(handover.Cell.Key.CellId, CellA.CellId);
  EXPECT_EQ(handover.TargetArfcn, ArfcnB);
  EXPECT_EQ(handover.TargetBsic, BsicB);
  const TDriveEvent& drop = Events[5];
  EXPECT_EQ(drop.Cell.Key.CellId, CellB.CellId);
  EXPECT_NE(drop.Cause.find("abnormal release, unspecified"), std::string::npos) << drop.Cause;
  EXPECT_EQ(Records.back().Serving.Key.CellId, CellB.CellId);
  EXPECT_EQ(Records.front().Serving.Arfcn, ArfcnA);
  EXPECT_FALSE(Records.front().Serving.Key.Valid);  // before the first system information

  ASSERT_EQ(result.Cells.size(), 2u);  // the records before cell A's identity join its row
  const TCellStats& a = result.Cells[0];
  const TCellStats& b = result.Cells[1];
  EXPECT_EQ(a.Key.CellId, CellA.CellId);
  EXPECT_EQ(b.Key.CellId, CellB.CellId);
  EXPECT_EQ(a.Samples + b.Samples, static_cast<int64_t>(Records.size()));
  EXPECT_EQ(a.Calls, 1);
  EXPECT_EQ(a.HandoversOut, 1);
  EXPECT_EQ(b.HandoversIn, 1);
  EXPECT_EQ(b.Drops, 1);
  EXPECT_NEAR(a.SecondsServed + b.SecondsServed, 0.5 * double(Records.size() - 1), 1e-6);
  const nlohmann::json table = CellTableJson(result.Cells);
  EXPECT_EQ(table[1]["level_max_dbm"], 45 - 110);
}

// A cell file names cell A's site: records served by A get their distance
// to it, and B, which served too, is listed as missing.
TEST_F(AnalysisFixture, DistanceToSiteAndCellsMissingFromTheFile) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("orvik-sites-" + std::to_string(::getpid()) + ".csv");
  {
    std::ofstream out(file, std::ios::binary);
    out << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\r\n"
        << "GSM,262,2,4660,101,0,13.4,52.5,1200,31,1,1459692000,1712000000,\r\n"
        << "LTE,262,2,4660,202,0,13.5,52.6,900,4,1,1459692000,1712000000,-95\r\n";
  }
  const TCellSites sites = TCellSites::Read(file.string());
  std::filesystem::remove(file);
  const TSessionAnalysisResult& result =
      Play(CampOnA() + MoUpToConnect() + HandoverTo(ArfcnB, BsicB) +
               TScript{L3(gsm::HandoverComplete()), L3(gsm::SystemInformation6(CellB)), DedReport(ArfcnB, BsicB, 40, 0)},
           0, &sites);
  constexpr double MetresPerDegree = 6371008.8 * 3.14159265358979323846 / 180;
  int measured = 0;
  for (const THostRecord& r : Records) {
    SCOPED_TRACE(r.Index);
    if (r.Serving.Key.Valid && r.Serving.Key.CellId == CellA.CellId) {
      ++measured;
      // Along the parallel, a short step: the great circle is the straight line.
      EXPECT_NEAR(r.Serving.SiteDistanceM, (r.Longitude - 13.4) * MetresPerDegree * std::cos(52.5 * 3.14159265358979323846 / 180), 0.5);
    } else {
      EXPECT_TRUE(std::isnan(r.Serving.SiteDistanceM));
    }
  }
  EXPECT_GT(measured, 5);
  ASSERT_EQ(result.CellsMissingFromSites.size(), 1u);  // the LTE row has the same numbers but is no GSM cell
  EXPECT_EQ(result.CellsMissingFromSites[0].CellId, CellB.CellId);
}

// Two drives merged give the figures of one drive of both.
TEST_F(AnalysisFixture, MergedKpisEqualOneSessionOfBoth) {
  const TScript first = CampOnA() + MoUpToConnect() + NormalEnd(MoUp, MoDown);
  const TScript second = CampOnA() + MtUpToConnect() + HandoverTo(ArfcnB, BsicB) +
                         TScript{L3(gsm::HandoverFailure(0x03)), L3(gsm::ChannelRelease(0x01)), IdleReport(ArfcnA, BsicA, 9)} +
                         TScript{L3(gsm::LocationUpdatingRequest(CellB, 0x55, 0), false), L3(gsm::LocationUpdatingReject(13))};
  TSessionKpis merged = Play(first).Kpis;
  MergeKpis(merged, Play(second, 3600).Kpis);
  TSessionKpis both = Play(first + second).Kpis;
  nlohmann::json a = KpiJson(merged), b = KpiJson(both);
  // Time spans are summed per drive; one drive of both spans the pause too.
  for (const char* key : {"duration_s", "seconds_without_gps"}) {
    a.erase(key);
    b.erase(key);
  }
  EXPECT_EQ(a.dump(1), b.dump(1));
  EXPECT_EQ(a["call_attempts"], 2);
  EXPECT_EQ(a["dropped_call_ratio"], 0.5);
  EXPECT_EQ(a["handover_success_ratio"], 0.0);
  EXPECT_EQ(a["location_update_success_ratio"], 0.0);
}

// A full disk under the JSON Lines writer: the stage passes the writer's
// failure on, it does not swallow it.
TEST_F(AnalysisFixture, FullDiskBehindTheStageIsReported) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  TJsonLinesWriter writer("/dev/full", TFlushPolicy::WhenFull);
  TAnalysisStage stage({&writer});
  EXPECT_THROW(
      {
        stage.OnStart({});
        int64_t index = 0;
        for (TStep s : CampOnA() + MoUpToConnect()) {
          s.Rec.Index = index;
          s.Rec.TimeStamp1 = s.Rec.TimeStamp2 = Day + double(index++) / 86400;
          stage.OnRecord(s.Rec);
        }
        stage.OnFinish({});
      },
      EOutputWrite);
}

}  // namespace
