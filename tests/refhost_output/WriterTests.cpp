// CSV and JSON Lines: a session written and read back field by field, rows
// on disk as soon as they are written, and the reader's answers to bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "refhost/output/CsvWriter.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/JsonLines.h"
#include "refhost/output/RecordValues.h"

namespace {

struct TCollector : TRecordSink {
  std::vector<TSessionSettings> Starts;
  std::vector<TGpsFix> Fixes;
  std::vector<THostRecord> Records;
  std::vector<TSessionGap> Gaps;
  std::vector<TSessionCounters> Finishes;
  void OnStart(const TSessionSettings& s) override { Starts.push_back(s); }
  void OnFix(const TGpsFix& f) override { Fixes.push_back(f); }
  void OnRecord(const THostRecord& r) override { Records.push_back(r); }
  void OnGap(const TSessionGap& g) override { Gaps.push_back(g); }
  void OnFinish(const TSessionCounters& c) override { Finishes.push_back(c); }
};

// A small session touching every field, times on whole milliseconds.
class RefhostWriters : public ::testing::Test {
 protected:
  static TDays At(double seconds) { return MakeDays(2026, 12, 8, 10, 15, seconds); }

  void SetUp() override {
    Settings = {"/dev/ttyUSB0", "gpsd:localhost:2947", -330, 18446744073709551615ull};
    Fixes = {{At(1), 13.4050001, 52.5200002, 34.5, 12.25, 2, 9},
             {At(2), -0.1275, -33.8688, NAN, NAN, 1, -1}};
    THostRecord idle;
    idle.Index = 0;
    idle.TimeStamp1 = At(0.125);
    idle.TimeStamp2 = At(0.126);
    idle.Idle = TIdleValues{62, 23, 41, -35, 999, {{60, 12, 30}, {71, 5, 22}}};
    THostRecord ded;
    ded.Index = 1;
    ded.TimeStamp1 = At(1.5);
    ded.TimeStamp2 = At(1.5);
    ded.Longitude = 13.40500006;
    ded.Latitude = 52.52000013;
    ded.Method = TPositionMethod::Interpolated;
    ded.CallState = TCallStateView::Connected;
    ded.Dedicated = true;
    ded.DedicatedReport = TDedicatedValues{1023, 63, 38, 36, 7, 1, 63, 31, {{1, 2, 3}}};
    THostRecord l3;
    l3.Index = 2;
    l3.TimeStamp1 = At(59.999);
    l3.TimeStamp2 = At(60);
    l3.Longitude = -0.1275;
    l3.Latitude = -33.8688;
    l3.Method = TPositionMethod::FirstFix;
    l3.CallState = TCallStateView::Unknown;
    l3.MessageId = 0x301;
    l3.Dedicated = true;
    l3.Layer3 = {0x83, 0x01};
    Records = {idle, ded, l3};
    Gap = {At(3), At(13.5), "port closed, by the \"other\" end"};
    Counters = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  }

  void Play(TRecordSink& sink) {
    sink.OnStart(Settings);
    sink.OnFix(Fixes[0]);
    sink.OnRecord(Records[0]);
    sink.OnFix(Fixes[1]);
    sink.OnRecord(Records[1]);
    sink.OnGap(Gap);
    sink.OnRecord(Records[2]);
    sink.OnFinish(Counters);
  }

  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  TSessionSettings Settings;
  std::vector<TGpsFix> Fixes;
  std::vector<THostRecord> Records;
  TSessionGap Gap;
  TSessionCounters Counters;
};

void ExpectSameTime(TDays a, TDays b) { EXPECT_NEAR(a, b, 0.0001 / 86400); }

void ExpectSameNeighbours(const std::vector<TNeighbourCell>& a, const std::vector<TNeighbourCell>& b) {
  EXPECT_EQ(FormatNeighbours(a), FormatNeighbours(b));
}

void ExpectSameRecord(const THostRecord& a, const THostRecord& b) {
  SCOPED_TRACE("record " + std::to_string(b.Index));
  EXPECT_EQ(a.Index, b.Index);
  ExpectSameTime(a.TimeStamp1, b.TimeStamp1);
  ExpectSameTime(a.TimeStamp2, b.TimeStamp2);
  EXPECT_EQ(a.Longitude, b.Longitude);
  EXPECT_EQ(a.Latitude, b.Latitude);
  EXPECT_EQ(a.Method, b.Method);
  EXPECT_EQ(a.CallState, b.CallState);
  EXPECT_EQ(a.MessageId, b.MessageId);
  EXPECT_EQ(a.Dedicated, b.Dedicated);
  ASSERT_EQ(a.Idle.has_value(), b.Idle.has_value());
  if (a.Idle) {
    EXPECT_EQ(a.Idle->Arfcn, b.Idle->Arfcn);
    EXPECT_EQ(a.Idle->Bsic, b.Idle->Bsic);
    EXPECT_EQ(a.Idle->RxLev, b.Idle->RxLev);
    EXPECT_EQ(a.Idle->C1, b.Idle->C1);
    EXPECT_EQ(a.Idle->C2, b.Idle->C2);
    ExpectSameNeighbours(a.Idle->Neighbours, b.Idle->Neighbours);
  }
  ASSERT_EQ(a.DedicatedReport.has_value(), b.DedicatedReport.has_value());
  if (a.DedicatedReport) {
    const TDedicatedValues &x = *a.DedicatedReport, &y = *b.DedicatedReport;
    EXPECT_EQ(x.Arfcn, y.Arfcn);
    EXPECT_EQ(x.Bsic, y.Bsic);
    EXPECT_EQ(x.RxLevFull, y.RxLevFull);
    EXPECT_EQ(x.RxLevSub, y.RxLevSub);
    EXPECT_EQ(x.RxQualFull, y.RxQualFull);
    EXPECT_EQ(x.RxQualSub, y.RxQualSub);
    EXPECT_EQ(x.TimingAdvance, y.TimingAdvance);
    EXPECT_EQ(x.TxPower, y.TxPower);
    ExpectSameNeighbours(x.Neighbours, y.Neighbours);
  }
  EXPECT_EQ(a.Layer3, b.Layer3);
}

TEST_F(RefhostWriters, JsonLinesReadBackEveryField) {
  std::stringstream text;
  TJsonLinesWriter writer(text);
  Play(writer);
  TCollector back;
  std::string error;
  ASSERT_TRUE(ReadJsonLines(text, back, error)) << error;

  ASSERT_EQ(back.Starts.size(), 1u);
  EXPECT_EQ(back.Starts[0].Source, Settings.Source);
  EXPECT_EQ(back.Starts[0].GpsSource, Settings.GpsSource);
  EXPECT_EQ(back.Starts[0].UtcOffsetMinutes, Settings.UtcOffsetMinutes);
  EXPECT_EQ(back.Starts[0].Seed, Settings.Seed);
  ASSERT_EQ(back.Fixes.size(), Fixes.size());
  for (size_t i = 0; i < Fixes.size(); ++i) {
    const TGpsFix &a = back.Fixes[i], &b = Fixes[i];
    ExpectSameTime(a.Time, b.Time);
    EXPECT_EQ(a.Longitude, b.Longitude);
    EXPECT_EQ(a.Latitude, b.Latitude);
    EXPECT_TRUE(a.AltitudeM == b.AltitudeM || (std::isnan(a.AltitudeM) && std::isnan(b.AltitudeM)));
    EXPECT_TRUE(a.SpeedMps == b.SpeedMps || (std::isnan(a.SpeedMps) && std::isnan(b.SpeedMps)));
    EXPECT_EQ(a.Quality, b.Quality);
    EXPECT_EQ(a.Satellites, b.Satellites);
  }
  ASSERT_EQ(back.Records.size(), Records.size());
  for (size_t i = 0; i < Records.size(); ++i) ExpectSameRecord(back.Records[i], Records[i]);
  ASSERT_EQ(back.Gaps.size(), 1u);
  ExpectSameTime(back.Gaps[0].From, Gap.From);
  ExpectSameTime(back.Gaps[0].To, Gap.To);
  EXPECT_EQ(back.Gaps[0].Why, Gap.Why);
  ASSERT_EQ(back.Finishes.size(), 1u);
  const TSessionCounters& c = back.Finishes[0];
  EXPECT_EQ(std::vector<int64_t>({c.BytesReceived, c.FramesDecoded, c.FramesRejected, c.Gaps,
                                  c.QueueFull, c.QueueHighWaterBytes, c.Fixes, c.CallsSetUp,
                                  c.CallsDropped}),
            std::vector<int64_t>({1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // What a later tool reads without our reader: the name and channel.
  EXPECT_NE(text.str().find(R"("message_id":"0x301","message_name":"ALERTING","channel":"dcch")"),
            std::string::npos);
  EXPECT_NE(text.str().find(R"("time1":"2026-12-08T10:15:59.999-05:30")"), std::string::npos);
}

// Splits a CSV line with RFC 4180 quoting.
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += line[++i];
    else if (c == '"') quoted = !quoted;
    else if (c == ',' && !quoted) fields.emplace_back();
    else fields.back() += c;
  }
  return fields;
}

TEST_F(RefhostWriters, CsvRowsCarryEveryValueInTheirColumns) {
  std::stringstream text;
  TCsvWriter writer(text);
  Play(writer);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(text, line);) {
    ASSERT_EQ(line.back(), '\r');
    line.pop_back();
    rows.push_back(CsvFields(line));
  }
  ASSERT_EQ(rows.size(), 5u);  // header, three records, one gap
  const std::vector<std::string>& header = rows[0];
  auto column = [&](size_t row, const char* name) {
    const size_t i = std::find(header.begin(), header.end(), name) - header.begin();
    EXPECT_LT(i, header.size()) << name;
    EXPECT_EQ(rows[row].size(), header.size());
    return i < rows[row].size() ? rows[row][i] : std::string();
  };
  EXPECT_EQ(column(1, "time1"), "2026-12-08T10:15:00.125-05:30");
  EXPECT_EQ(column(1, "longitude"), "");
  EXPECT_EQ(column(1, "position"), "none");
  EXPECT_EQ(column(1, "rxlev"), "41");
  EXPECT_EQ(column(1, "c1"), "-35");
  EXPECT_EQ(column(1, "c2"), "999");
  EXPECT_EQ(column(1, "neighbours"), "60:12:30;71:5:22");
  EXPECT_EQ(column(1, "dedicated"), "0");
  EXPECT_EQ(column(1, "message_id"), "");
  EXPECT_EQ(column(2, "longitude"), "13.4050001");
  EXPECT_EQ(column(2, "latitude"), "52.5200001");
  EXPECT_EQ(column(2, "position"), "interpolated");
  EXPECT_EQ(column(2, "call_state"), "connected");
  EXPECT_EQ(column(2, "arfcn"), "1023");
  EXPECT_EQ(column(2, "rxlev"), "");
  EXPECT_EQ(std::vector<std::string>({column(2, "rxlev_full"), column(2, "rxlev_sub"),
                                      column(2, "rxqual_full"), column(2, "rxqual_sub"),
                                      column(2, "timing_advance"), column(2, "tx_power")}),
            std::vector<std::string>({"38", "36", "7", "1", "63", "31"}));
  EXPECT_EQ(column(3, "type"), "gap");
  EXPECT_EQ(column(3, "time2"), "2026-12-08T10:15:13.500-05:30");
  EXPECT_EQ(column(3, "note"), Gap.Why);
  EXPECT_EQ(column(4, "index"), "2");
  EXPECT_EQ(column(4, "time2"), "2026-12-08T10:16:00.000-05:30");
  EXPECT_EQ(column(4, "message_id"), "0x301");
  EXPECT_EQ(column(4, "message_name"), "ALERTING");
  EXPECT_EQ(column(4, "call_state"), "unknown");
  EXPECT_EQ(column(4, "position"), "first-fix");
  EXPECT_EQ(column(4, "layer3"), "8301");
}

TEST_F(RefhostWriters, FilesHoldEachRowAsSoonAsItIsWritten) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("refhost_writers_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  {
    TCsvWriter csv((dir / "s.csv").string());
    TJsonLinesWriter jsonl((dir / "s.jsonl").string());
    csv.OnStart(Settings);
    jsonl.OnStart(Settings);
    csv.OnRecord(Records[2]);
    jsonl.OnRecord(Records[2]);
    EXPECT_NE(ReadFile(dir / "s.csv").find(",0x301,ALERTING,"), std::string::npos);
    EXPECT_NE(ReadFile(dir / "s.jsonl").find(R"("type":"record")"), std::string::npos);
  }
  {
    // A replay's writers hold rows back until the buffer fills or the end.
    TJsonLinesWriter jsonl((dir / "r.jsonl").string(), TFlushPolicy::WhenFull);
    jsonl.OnStart(Settings);
    jsonl.OnRecord(Records[2]);
    EXPECT_EQ(ReadFile(dir / "r.jsonl"), "");
    jsonl.OnFinish(Counters);
    EXPECT_NE(ReadFile(dir / "r.jsonl").find(R"("type":"summary")"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
  EXPECT_THROW(TCsvWriter((dir / "missing" / "s.csv").string()), EOutputWrite);
}

TEST(RefhostJsonLinesReader, BadInputNamesTheLineAndTheFault) {
  const std::string session = R"({"type":"session","format":1,"source":"s","gps_source":"","utc_offset_minutes":0,"seed":0})";
  const std::string record =
      R"({"type":"record","index":0,"time1":"2026-12-08T10:15:02.125+00:00","time2":"2026-12-08T10:15:02.125+00:00","position":"none","call_state":"idle","message_id":"0x000","dedicated":false)";
  struct TCase {
    std::string Input;
    const char* Error;
    size_t RecordsBefore;
  } cases[] = {
      {session + "\nnot json", "line 2: not valid JSON", 0},
      {record + "}\n\n" + record + ",\"idle\":{\"arfcn\":1,\"bsic\":2,\"rxlev\":64,\"c1\":0,\"c2\":0,\"neighbours\":[]}}",
       "line 3: 'rxlev' is 64, outside 0..63", 1},
      {R"({"type":"record"})", "line 1: 'index' is missing", 0},
      {R"({"index":3})", "line 1: 'type' is missing", 0},
      {R"({"type":"waypoint"})", "line 1: unknown type 'waypoint'", 0},
      {R"([1,2])", "line 1: not a JSON object", 0},
      {record + ",\"call_state\":\"ringing\"}", "'call_state' is not a known state", 0},
      {record + ",\"layer3\":\"830\"}", "'layer3' is not hex bytes", 0},
      {R"({"type":"gap","from":"2026-12-08T10:15:02","to":"2026-12-08T10:15:02Z","why":""})",
       "line 1: 'from' is not an ISO 8601 date-time", 0},
      {R"({"type":"fix","time":"2026-12-08T10:15:02Z","longitude":181,"latitude":0,"quality":1})",
       "'longitude' or 'latitude' is missing or out of range", 0},
      {R"({"type":"session","format":2,"source":"s","gps_source":"","utc_offset_minutes":0,"seed":0})",
       "format 2 is newer than this program reads (1)", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Input);
    std::istringstream in(c.Input);
    TCollector sink;
    std::string error;
    EXPECT_FALSE(ReadJsonLines(in, sink, error));
    EXPECT_NE(error.find(c.Error), std::string::npos) << error;
    EXPECT_EQ(sink.Records.size(), c.RecordsBefore);
  }
}

}  // namespace
