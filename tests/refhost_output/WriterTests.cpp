// CSV and JSON Lines: a session written and read back field by field, rows
// on disk as soon as they are written, and the reader's answers to bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>
#include <unistd.h>

#include "refhost/output/CsvWriter.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/JsonLines.h"
#include "refhost/output/RecordValues.h"
#include "tests/refhost_output/RecordText.h"

// Records below name only the fields they set; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using output_test::RecordText;

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
    Records = {
        {.Index = 0, .TimeStamp1 = At(0.125), .TimeStamp2 = At(0.126),
         .Idle = TIdleValues{62, 23, 41, -35, 999, {{60, 12, 30}, {71, 5, 22}}}},
        {.Index = 1, .TimeStamp1 = At(1.5), .TimeStamp2 = At(1.5), .Longitude = 13.40500006,
         .Latitude = 52.52000013, .Method = TPositionMethod::Interpolated,
         .CallState = TCallStateView::Connected, .Dedicated = true,
         .DedicatedReport = TDedicatedValues{1023, 63, 38, 36, 7, 1, 63, 31, {{1, 2, 3}}}},
        {.Index = 2, .TimeStamp1 = At(59.999), .TimeStamp2 = At(60), .Longitude = -0.1275,
         .Latitude = -33.8688, .Method = TPositionMethod::FirstFix, .CallState = TCallStateView::Unknown,
         .MessageId = 0x301, .Dedicated = true, .Layer3 = {0x83, 0x01}}};
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

std::string FixText(const TGpsFix& f) {
  char text[160];
  std::snprintf(text, sizeof text, "%.12g,%.12g alt %g v %g q%d s%d", f.Longitude, f.Latitude,
                f.AltitudeM, f.SpeedMps, f.Quality, f.Satellites);
  return FormatIsoTime(f.Time, 0) + " " + text;
}

TEST_F(RefhostWriters, JsonLinesReadBackEveryField) {
  std::stringstream text;
  TJsonLinesWriter writer(text);
  Play(writer);
  TCollector back;
  std::string error, warning;
  ASSERT_TRUE(ReadJsonLines(text, back, error, warning)) << error;
  EXPECT_EQ(warning, "");

  ASSERT_EQ(back.Starts.size(), 1u);
  const TSessionSettings& st = back.Starts[0];
  EXPECT_EQ(std::tie(st.Source, st.GpsSource, st.UtcOffsetMinutes, st.Seed),
            std::tie(Settings.Source, Settings.GpsSource, Settings.UtcOffsetMinutes, Settings.Seed));
  ASSERT_EQ(back.Fixes.size(), Fixes.size());
  for (size_t i = 0; i < Fixes.size(); ++i) EXPECT_EQ(FixText(back.Fixes[i]), FixText(Fixes[i]));
  ASSERT_EQ(back.Records.size(), Records.size());
  for (size_t i = 0; i < Records.size(); ++i) EXPECT_EQ(RecordText(back.Records[i]), RecordText(Records[i]));
  ASSERT_EQ(back.Gaps.size(), 1u);
  EXPECT_EQ(FormatIsoTime(back.Gaps[0].From, 0) + FormatIsoTime(back.Gaps[0].To, 0) + back.Gaps[0].Why,
            FormatIsoTime(Gap.From, 0) + FormatIsoTime(Gap.To, 0) + Gap.Why);
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
  const struct {
    size_t Row;
    const char* Column;
    std::string Value;
  } cells[] = {
      {1, "time1", "2026-12-08T10:15:00.125-05:30"}, {1, "longitude", ""}, {1, "position", "none"},
      {1, "rxlev", "41"}, {1, "c1", "-35"}, {1, "c2", "999"}, {1, "neighbours", "60:12:30;71:5:22"},
      {1, "dedicated", "0"}, {1, "message_id", ""}, {2, "longitude", "13.4050001"},
      {2, "latitude", "52.5200001"}, {2, "position", "interpolated"}, {2, "call_state", "connected"},
      {2, "arfcn", "1023"}, {2, "rxlev", ""}, {2, "rxlev_full", "38"}, {2, "rxlev_sub", "36"},
      {2, "rxqual_full", "7"}, {2, "rxqual_sub", "1"}, {2, "timing_advance", "63"}, {2, "tx_power", "31"},
      {2, "neighbours", "1:2:3"}, {3, "type", "gap"}, {3, "time2", "2026-12-08T10:15:13.500-05:30"},
      {3, "note", Gap.Why}, {4, "index", "2"}, {4, "time2", "2026-12-08T10:16:00.000-05:30"},
      {4, "message_id", "0x301"}, {4, "message_name", "ALERTING"}, {4, "call_state", "unknown"},
      {4, "position", "first-fix"}, {4, "layer3", "8301"}};
  for (const auto& cell : cells) EXPECT_EQ(column(cell.Row, cell.Column), cell.Value) << cell.Row << " " << cell.Column;
}

TEST_F(RefhostWriters, FilesHoldEachRowAsSoonAsItIsWritten) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("refhost_writers_" + std::to_string(getpid()));
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
  std::string seven;
  for (int i = 0; i < 7; ++i) seven += R"({"arfcn":1,"bsic":2,"rxlev":3},)";
  struct TCase {
    std::string Input;
    const char* Error;  // or the warning, when the file reads
    size_t RecordsBefore;
    bool Reads = false;
  } cases[] = {
      {session + "\nnot json\n" + session, "line 2: not valid JSON", 0},
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
      // Values outside FieldRanges.h.
      {record + R"(,"longitude":500,"latitude":0})", "line 1: 'longitude' or 'latitude' is out of range", 0},
      {record + "}\n" + record + R"(,"longitude":1e308,"latitude":1})" "\n", "line 2: 'longitude' or", 1},
      {record + ",\"idle\":{\"arfcn\":1,\"bsic\":2,\"rxlev\":3,\"c1\":0,\"c2\":0,\"neighbours\":[" +
           seven.substr(0, seven.size() - 1) + "]}}",
       "'neighbours' lists 7 cells, more than a report holds (6)", 0},
      {R"({"type":"session","format":1,"source":"s","gps_source":"","utc_offset_minutes":99999,"seed":0})",
       "'utc_offset_minutes' is 99999, outside -720..840", 0},
      {R"({"type":"gap","from":"1970-01-01T00:00:00Z","to":"2026-12-08T10:15:02Z","why":""})",
       "line 1: 'from' is 1970-01-01T00:00:00Z, outside 1980..2099", 0},
      {R"({"type":"fix","time":"2026-12-08T10:15:02Z","longitude":1,"latitude":0,"speed_mps":-1,"quality":1})",
       "line 1: the fix is impossible: speed negative", 0},
      {record + "}\n" + std::string(JsonLinesMaxLineBytes + 1, ' ') + "\n",
       "line 2 is longer than 4194304 bytes", 1},
      // A last line cut off by a crash is left out with a warning; a file of
      // an earlier version, with coordinates on a "none" record, still reads.
      {record + "}\n" + record + "}\n" + record.substr(0, 70), "line 3 is cut off (70 bytes", 2, true},
      {record + "}\n" + record.substr(0, 70) + "\n" + record + "}\n", "line 2: not valid JSON", 1},
      {record + R"(,"longitude":13.4,"latitude":52.5})", "", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Input);
    std::istringstream in(c.Input);
    TCollector sink;
    std::string error, warning;
    EXPECT_EQ(ReadJsonLines(in, sink, error, warning), c.Reads) << error;
    EXPECT_NE((c.Reads ? warning : error).find(c.Error), std::string::npos) << error << warning;
    EXPECT_EQ(sink.Records.size(), c.RecordsBefore);
  }
}

// Keys a later version may add, keys given twice, and whole numbers at the
// edges of 64 bits read alike on every build, whichever parser it has.
TEST(RefhostJsonLinesReader, ExtraRepeatedKeysAndWideNumbers) {
  const std::string body =
      R"("time1":"2026-12-08T10:15:02.125+00:00","time2":"2026-12-08T10:15:02.125+00:00","position":"none","call_state":"idle","message_id":"0x000","dedicated":false)";
  std::string extra;
  for (int i = 0; i < 20; ++i) extra += "\"x" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  const std::string session = R"({"type":"session","format":1,"source":"s","gps_source":"","utc_offset_minutes":0,)";
  struct TCase {
    std::string Line;
    int64_t Index = -1;  // the record's index; -1: the line is refused
    uint64_t Seed = 0;   // for a session line
  } cases[] = {
      {"{\"type\":\"record\"," + extra + "\"index\":7," + body + "}", 7},
      {"{\"type\":\"record\",\"index\":1," + extra + "\"index\":8," + body + "}", 8},
      {"{\"type\":\"record\",\"index\":1," + body + "," + extra + "\"index\":9}", 9},
      {"{\"type\":\"record\",\"\":1,\"index\":2," + body + "}", 2},
      {"{\"type\":\"record\",\"index\":9223372036854775807," + body + "}", INT64_MAX},
      {"{\"type\":\"record\",\"index\":18446744073709551615," + body + "}", INT64_MAX},
      {"{\"type\":\"record\",\"index\":18446744073709551616," + body + "}", -1},
      {"{\"type\":\"record\",\"index\":-1," + body + "}", -1},
      {"{\"type\":\"record\",\"index\":1.5," + body + "}", -1},
      {session + R"("seed":18446744073709551615})", -1, UINT64_MAX},
      {session + R"("seed":-1})", -1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Line);
    std::istringstream in(c.Line + "\n");
    TCollector sink;
    std::string error, warning;
    const bool read = ReadJsonLines(in, sink, error, warning);
    if (c.Seed) {
      ASSERT_TRUE(read) << error;
      ASSERT_EQ(sink.Starts.size(), 1u);
      EXPECT_EQ(sink.Starts[0].Seed, c.Seed);
    } else if (c.Index < 0) {
      EXPECT_FALSE(read);
      EXPECT_EQ(error.rfind("line 1: ", 0), 0u) << error;
    } else {
      ASSERT_TRUE(read) << error;
      ASSERT_EQ(sink.Records.size(), 1u);
      EXPECT_EQ(sink.Records[0].Index, c.Index);
    }
  }
}

}  // namespace
