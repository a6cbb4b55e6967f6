// The map, pcap and report writers, each output read back by the tool a
// person opens it with: tshark names every signalling message, xmllint
// validates the GPX against the GPX 1.1 schema, headless Chromium renders
// the report without errors and draws the route in the band colours.
#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "refhost/gsm/GsmBuild.h"
#include "refhost/gsm/GsmMessages.h"
#include "refhost/output/GeoJsonWriter.h"
#include "refhost/output/CsvWriter.h"
#include "refhost/output/GpxWriter.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/JsonLines.h"
#include "refhost/output/KmlWriter.h"
#include "refhost/output/MapValues.h"
#include "refhost/output/PcapWriter.h"
#include "refhost/output/ReportWriter.h"

namespace fs = std::filesystem;

// Records below name only their first fields; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

struct TRun {
  int Status = -1;
  std::string Out;
};

// Runs a shell command; its standard output, its exit status.
TRun Shell(const std::string& command) {
  TRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.Out.append(buffer, n);
  const int status = pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool Have(const std::string& tool) { return Shell("command -v " + tool + " >/dev/null 2>&1").Status == 0; }

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// An 8-bit RGB or RGBA PNG, not interlaced (what Chromium writes).
struct TImage {
  uint32_t Width = 0, Height = 0, Channels = 0;
  std::vector<uint8_t> Pixels;
  const uint8_t* At(uint32_t x, uint32_t y) const { return &Pixels[(size_t(y) * Width + x) * Channels]; }
};

uint32_t Be32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
         uint8_t(s[at + 3]);
}

bool ReadPng(const std::string& file, TImage& image) {
  if (file.size() < 8 || file.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return false;
  std::string idat;
  for (size_t at = 8; at + 8 <= file.size();) {
    const uint32_t length = Be32(file, at);
    const std::string type = file.substr(at + 4, 4);
    if (at + 12 + length > file.size()) return false;
    if (type == "IHDR") {
      image.Width = Be32(file, at + 8);
      image.Height = Be32(file, at + 12);
      const uint8_t depth = uint8_t(file[at + 16]), colour = uint8_t(file[at + 17]), interlace = uint8_t(file[at + 20]);
      if (depth != 8 || (colour != 2 && colour != 6) || interlace != 0) return false;
      image.Channels = colour == 6 ? 4 : 3;
    } else if (type == "IDAT") {
      idat += file.substr(at + 8, length);
    }
    at += 12 + length;
  }
  const size_t stride = size_t(image.Width) * image.Channels;
  std::vector<uint8_t> raw(image.Height * (stride + 1));
  uLongf rawSize = raw.size();
  if (image.Channels == 0 ||
      uncompress(raw.data(), &rawSize, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) != Z_OK ||
      rawSize != raw.size())
    return false;
  image.Pixels.assign(image.Height * stride, 0);
  const size_t bpp = image.Channels;
  for (size_t y = 0; y < image.Height; ++y) {
    const uint8_t filter = raw[y * (stride + 1)];
    const uint8_t* in = &raw[y * (stride + 1) + 1];
    uint8_t* out = &image.Pixels[y * stride];
    const uint8_t* up = y ? out - stride : nullptr;
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= bpp ? out[i - bpp] : 0, b = up ? up[i] : 0, c = (up && i >= bpp) ? up[i - bpp] : 0;
      int predictor = 0;
      switch (filter) {
        case 1: predictor = a; break;
        case 2: predictor = b; break;
        case 3: predictor = (a + b) / 2; break;
        case 4: {
          const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
          break;
        }
        default: break;
      }
      out[i] = uint8_t(in[i] + predictor);
    }
  }
  return true;
}

constexpr int32_t UtcOffset = 60;
// 2026-12-08 10:15 local time (a function: MakeDays needs its own statics ready).
TDays At(double seconds) { return MakeDays(2026, 12, 8, 10, 15, 0) + seconds / 86400.0; }
// The drive heads east-north-east; longitudes and latitudes never overlap,
// so a swapped pair shows.
double LonAt(double s) { return 10.70 + s * 0.00020; }
double LatAt(double s) { return 59.90 + s * 0.00005; }

// One signalling message of the drive and what Wireshark must make of it.
struct TMessageCase {
  double Second;
  TGsmBytes Layer3;
  TCallStateView State;
  int GsmtapChannel;  // GSMTAP sub_type
  bool Uplink;
};

std::vector<TMessageCase> Messages() {
  using namespace gsm;
  const TGsmCellIdentity cell{242, 1, 1234, 5678, 62, 0x21};
  const TGsmAssignedChannel sdcch{false, 2, 1, 1, 62}, tch{true, 0, 3, 1, 62};
  const TCcHeader mo{{0, true}, false, 0}, net{{0, true}, true, 0};
  using enum TCallStateView;
  // Channels: 1 BCCH, 4 AGCH, 5 PCH, 6 SDCCH, 9 TCH/F; 0x80 marks the SACCH.
  return {
      {1, SystemInformation3(cell), Idle, 1, false},
      {3, SystemInformation1({62, 70, 81}), Idle, 1, false},
      {5, SystemInformation2({70, 81}), Idle, 1, false},
      {7, SystemInformation4(cell), Idle, 1, false},
      {9, PagingRequestType1(0x1234abcd), Idle, 5, false},
      {20, ImmediateAssignment(sdcch, 0xE0, 7, 1000, 3), Idle, 4, false},
      {21, CmServiceRequest(0x1234abcd, 0), Idle, 6, true},
      {22, CipheringModeCommand(), Idle, 6, false},
      {23, CipheringModeComplete(), Idle, 6, true},
      {24, CcSetup(mo, "+4930123456p12"), Idle, 6, true},
      {25, CcCallProceeding(net), Idle, 6, false},
      {26, AssignmentCommand(tch, 5), Idle, 6, false},
      {27, AssignmentComplete(), Idle, 9, true},
      {28, CcAlerting(net), Alerting, 9, false},
      {32, CcConnect(net), Connected, 9, false},
      {33, CcConnectAcknowledge(mo), Connected, 9, true},
      {40, MeasurementReport(40, 41, 1, 2, {{0, 0x21, 20}}), Connected, 0x89, true},
      {41, SystemInformation5({70, 81}), Connected, 0x89, false},
      {42, SystemInformation6(cell), Connected, 0x89, false},
      {90, CcDisconnect(net, 16), Connected, 9, false},
      {91, CcRelease(mo), Released, 9, true},
      {92, CcReleaseComplete(net), Released, 9, false},
      {93, ChannelRelease(), Idle, 9, false},
  };
}

// RXLEV codes along the drive: good, fair and bad, never poor (-95..-86).
uint8_t RxLevAt(double s) { return s < 40 ? 50 : s < 80 ? 30 : 8; }

class MapOutputs : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("orvik_maps_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(Dir);
  }
  void TearDown() override {
    if (!HasFailure() && !getenv("ORVIK_KEEP_OUTPUT")) fs::remove_all(Dir);
  }

  // A two-minute drive: fixes each second but for a GPS outage from 60 to
  // 80 s, a report every two seconds (dedicated during the call from 28 to
  // 90 s), the call's signalling, a line gap from 100 to 105 s.
  static void Feed(TRecordSink& sink) {
    // Text from outside as hostile as it comes: every writer must stay well-formed and the page must render.
    sink.OnStart({"<!--<script> \xFF\xFE", "</script>\x01\x02=1", UtcOffset, 7});
    const std::vector<TMessageCase> messages = Messages();
    size_t next = 0;
    int64_t index = 0;
    auto record = [&](double s) {
      THostRecord r;
      r.Index = index++;
      r.TimeStamp1 = r.TimeStamp2 = At(s);
      r.Longitude = LonAt(s);
      r.Latitude = LatAt(s);
      r.Method = TPositionMethod::Interpolated;
      return r;
    };
    for (int s = 0; s < 120; ++s) {
      if (s < 60 || s >= 80) sink.OnFix({At(s), LonAt(s), LatAt(s), 50.0, 13.0, 1, 8});
      for (; next < messages.size() && messages[next].Second <= s; ++next) {
        THostRecord r = record(messages[next].Second);
        r.Layer3 = messages[next].Layer3;
        r.MessageId = GsmMessageId(r.Layer3.data(), int(r.Layer3.size()));
        r.CallState = messages[next].State;
        r.Dedicated = messages[next].Second > 20 && messages[next].Second < 94;
        sink.OnRecord(r);
      }
      if (s % 2 == 1) {
        THostRecord r = record(s + 0.5);
        const bool inCall = s > 28 && s < 90;
        r.CallState = inCall ? TCallStateView::Connected : TCallStateView::Idle;
        r.Dedicated = inCall;
        if (inCall)
          r.DedicatedReport = TDedicatedValues{62, 0x21, RxLevAt(s), RxLevAt(s), uint8_t(s % 8), 0, 3, 5, {}};
        else
          r.Idle = TIdleValues{62, 0x21, RxLevAt(s), 20, 18, {{70, 0x22, 25}}};
        sink.OnRecord(r);
      }
    }
    sink.OnGap({At(100), At(105), std::string("no bytes\0 \xE2\x80\xA8<!--", 17)});
    TSessionCounters counters;
    counters.FramesDecoded = index;
    counters.CallsSetUp = 1;
    sink.OnFinish(counters);
  }

  fs::path Dir;
};

TEST(MapValues, LevelBandsAtTheirEdges) {
  const std::vector<std::pair<int, TLevelBand>> table{
      {-40, TLevelBand::Good}, {-70, TLevelBand::Good}, {-71, TLevelBand::Fair}, {-85, TLevelBand::Fair},
      {-86, TLevelBand::Poor}, {-95, TLevelBand::Poor}, {-96, TLevelBand::Bad},  {-110, TLevelBand::Bad}};
  for (const auto& [dbm, band] : table) EXPECT_EQ(LevelBandOf(dbm), band) << dbm << " dBm";
  // 2026-12-08 10:15 at UTC+01:00 is 09:15 UTC.
  EXPECT_EQ(FormatUtcTime(At(0), UtcOffset), "2026-12-08T09:15:00.000Z");
  EXPECT_DOUBLE_EQ(UtcSeconds(At(0), UtcOffset), 1796721300.0);
}

TEST_F(MapOutputs, TsharkNamesEveryMessageOnItsChannel) {
  ASSERT_TRUE(Have("tshark")) << "tshark is missing: install Debian's tshark (scripts/install-deps.sh)";
  const fs::path pcap = Dir / "session.pcap";
  {
    TPcapWriter writer(pcap.string());
    Feed(writer);
    EXPECT_EQ(writer.Packets(), int64_t(Messages().size()));
  }
  const TRun run = Shell("tshark -n -r " + pcap.string() +
                       " -T fields -E separator=/t -E occurrence=f -e frame.time_epoch -e gsmtap.chan_type "
                       "-e gsmtap.uplink -e gsm_a.dtap.msg_rr_type -e gsm_a.dtap.msg_mm_type "
                       "-e gsm_a.dtap.msg_cc_type -e _ws.malformed 2>" + (Dir / "tshark.err").string());
  ASSERT_EQ(run.Status, 0) << ReadAll(Dir / "tshark.err");
  std::istringstream lines(run.Out);
  std::string line;
  size_t i = 0;
  const std::vector<TMessageCase> messages = Messages();
  for (; std::getline(lines, line); ++i) {
    ASSERT_LT(i, messages.size()) << "more packets than messages: " << line;
    const TMessageCase& want = messages[i];
    const uint16_t id = GsmMessageId(want.Layer3.data(), int(want.Layer3.size()));
    SCOPED_TRACE(std::string(LookupGsmMessage(id).Name) + " | " + line);
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string v; std::getline(fields, v, '\t');) f.push_back(v);
    f.resize(8);
    EXPECT_NEAR(std::stod(f[0]), UtcSeconds(At(want.Second), UtcOffset), 1e-5);
    EXPECT_EQ(std::stoi(f[1]), want.GsmtapChannel);
    EXPECT_EQ(f[2] == "1", want.Uplink);
    // The message type in the field of its protocol (tshark writes "0x1b"),
    // the others empty.
    auto type = [](const std::string& field) { return field.empty() ? -1 : std::stoi(field, nullptr, 0); };
    const int pd = id >> 8, mt = id & 0xFF;
    EXPECT_EQ(type(f[3]), pd == GsmPdRadioResource ? mt : -1);
    EXPECT_EQ(type(f[4]), pd == GsmPdMobility ? mt : -1);
    EXPECT_EQ(type(f[5]), pd == GsmPdCallControl ? mt : -1);
    EXPECT_EQ(f[6], "") << "malformed";
  }
  EXPECT_EQ(i, messages.size());
  // Nothing for tshark's expert to warn of: a dialled '+' once went out as a BCD digit.
  const TRun expert = Shell("tshark -n -r " + pcap.string() + " -q -z expert 2>/dev/null");
  for (const char* level : {"Errors", "Warns"}) EXPECT_EQ(expert.Out.find(level), std::string::npos) << expert.Out;
}

TEST_F(MapOutputs, GeoJsonPutsLongitudeFirst) {
  const fs::path path = Dir / "session.geojson";
  {
    TGeoJsonWriter writer(path.string());
    Feed(writer);
  }
  const auto doc = nlohmann::json::parse(ReadAll(path));
  ASSERT_EQ(doc.at("type"), "FeatureCollection");
  const auto& features = doc.at("features");
  ASSERT_FALSE(features.empty());
  const auto& route = features[0].at("geometry");
  EXPECT_EQ(route.at("type"), "LineString");
  ASSERT_EQ(route.at("coordinates").size(), 100u);  // one per fix
  EXPECT_DOUBLE_EQ(route["coordinates"][0][0].get<double>(), LonAt(0));
  EXPECT_DOUBLE_EQ(route["coordinates"][0][1].get<double>(), LatAt(0));
  EXPECT_DOUBLE_EQ(route["coordinates"][99][0].get<double>(), LonAt(119));
  size_t points = 0;
  for (const auto& f : features) {
    EXPECT_EQ(f.at("type"), "Feature");
    const auto& g = f.at("geometry");
    if (g.at("type") != "Point") continue;
    ++points;
    const auto& c = g.at("coordinates");
    ASSERT_EQ(c.size(), 2u);
    const auto& p = f.at("properties");
    TDays t = 0;
    int32_t offset = 0;
    ASSERT_TRUE(ParseIsoTime(p.at("time").get<std::string>(), t, offset));
    const double s = (t - At(0)) * 86400.0;
    EXPECT_NEAR(c[0].get<double>(), LonAt(s), 1e-7);
    EXPECT_NEAR(c[1].get<double>(), LatAt(s), 1e-7);
    if (p.contains("rxlev_dbm")) {
      EXPECT_EQ(p["rxlev_dbm"].get<int>(), RxLevAt(std::floor(s)) - 110);
    }
  }
  EXPECT_EQ(points, Messages().size() + 60);
}

TEST_F(MapOutputs, GpxValidatesAgainstTheSchema) {
  ASSERT_TRUE(Have("xmllint")) << "xmllint is missing: install Debian's libxml2-utils (scripts/install-deps.sh)";
  const fs::path path = Dir / "session.gpx";
  {
    TGpxWriter writer(path.string());
    Feed(writer);
  }
  const TRun run = Shell("xmllint --noout --nonet --schema " ORVIK_GPX_SCHEMA " " + path.string() + " 2>&1");
  EXPECT_EQ(run.Status, 0) << run.Out;
  const std::string gpx = ReadAll(path);
  EXPECT_EQ(Count(gpx, "<trkpt "), 100u);
  EXPECT_EQ(Count(gpx, "<trkseg>"), 2u) << "the GPS outage splits the track";
  EXPECT_NE(gpx.find("<time>2026-12-08T09:15:00.000Z</time>"), std::string::npos);
}

TEST_F(MapOutputs, KmlColoursEachReportByItsBand) {
  ASSERT_TRUE(Have("xmllint")) << "xmllint is missing: install Debian's libxml2-utils (scripts/install-deps.sh)";
  const fs::path path = Dir / "session.kml";
  {
    TKmlWriter writer(path.string());
    Feed(writer);
  }
  const TRun run = Shell("xmllint --noout " + path.string() + " 2>&1");
  EXPECT_EQ(run.Status, 0) << run.Out;
  const std::string kml = ReadAll(path);
  std::map<std::string, size_t> want;
  for (int s = 1; s < 120; s += 2) ++want[LevelBandStyle(LevelBandOf(RxLevAt(s) - 110)).Id];
  for (const char* band : {"good", "fair", "poor", "bad"})
    EXPECT_EQ(Count(kml, std::string("<styleUrl>#") + band + "</styleUrl>"), want[band]) << band;
  EXPECT_EQ(Count(kml, "<styleUrl>#message</styleUrl>"), Messages().size());
  EXPECT_NE(kml.find("&lt;table&gt;"), std::string::npos) << "legend in the description";
}

TEST_F(MapOutputs, ReportRendersTheRouteInChromium) {
  ASSERT_TRUE(Have("chromium")) << "chromium is missing: install Debian's chromium (scripts/install-deps.sh)";
  const fs::path page = Dir / "report.html";
  {
    TReportWriter writer(page.string());
    Feed(writer);
  }
  const std::string chromium = "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                               "--disable-background-networking --disable-component-update --disable-sync "
                               "--hide-scrollbars --force-device-scale-factor=1 --force-color-profile=srgb "
                               "--window-size=1220,1300 --user-data-dir=" +
                               (Dir / "profile").string() + " ";
  const TRun dom = Shell(chromium + "--dump-dom file://" + page.string() + " 2>/dev/null");
  ASSERT_EQ(dom.Status, 0);
  EXPECT_NE(dom.Out.find("data-rendered=\"yes\""), std::string::npos) << "the page's script did not finish";
  EXPECT_EQ(dom.Out.find("data-errors="), std::string::npos) << dom.Out.substr(dom.Out.find("id=\"errors\""), 400);
  EXPECT_NE(dom.Out.find("&lt;!--&lt;script&gt; \xEF\xBF\xBD"), std::string::npos) << "the handset's name, as text";
  int x = 0, y = 0, w = 0, h = 0;
  const size_t rect = dom.Out.find("data-map-rect=\"");
  ASSERT_NE(rect, std::string::npos);
  ASSERT_EQ(std::sscanf(dom.Out.c_str() + rect + 15, "%d,%d,%d,%d", &x, &y, &w, &h), 4);

  const fs::path shot = Dir / "report.png";
  const TRun screenshot = Shell(chromium + "--screenshot=" + shot.string() + " file://" + page.string() + " 2>&1");
  ASSERT_EQ(screenshot.Status, 0) << screenshot.Out;
  TImage image;
  ASSERT_TRUE(ReadPng(ReadAll(shot), image)) << "not an 8-bit PNG: " << shot;
  ASSERT_LE(uint32_t(x + w), image.Width);
  ASSERT_LE(uint32_t(y + h), image.Height);
  // Pixels of each band's colour and of the route inside the map.
  std::map<std::string, int> seen;
  const std::vector<std::pair<std::string, std::array<uint8_t, 3>>> colours{
      {"good", {0x1a, 0x9e, 0x3f}}, {"fair", {0xe6, 0xc8, 0x1e}}, {"poor", {0xf0, 0x7d, 0x14}},
      {"bad", {0xd7, 0x19, 0x1c}},  {"route", {0x6b, 0x7b, 0x8c}}};
  for (int py = y + 2; py < y + h - 2; ++py)
    for (int px = x + 2; px < x + w - 2; ++px) {
      const uint8_t* p = image.At(px, py);
      for (const auto& [name, c] : colours)
        if (p[0] == c[0] && p[1] == c[1] && p[2] == c[2]) ++seen[name];
    }
  EXPECT_GT(seen["route"], 300);
  EXPECT_GT(seen["good"], 50);
  EXPECT_GT(seen["fair"], 50);
  EXPECT_GT(seen["bad"], 50);
  EXPECT_EQ(seen["poor"], 0) << "no report of the drive is in the poor band";
}

// Hostile text (port path, GPS source, why the line was lost) and what JSON,
// CSV and XML must hold of it once read back.
struct THostileText {
  std::string In, Json, Csv, Xml;
};

std::vector<THostileText> HostileTexts() {
  const std::string nul("a\0b", 3), bad = "\xEF\xBF\xBD", mended = bad + bad + " " + bad + "x";  // U+FFFD
  return {{"<!--<script>", "<!--<script>", "<!--<script>", "<!--<script>"},
          {"=cmd|' /C calc'!A0", "=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0", "=cmd|' /C calc'!A0"},
          {"-2+3", "-2+3", "'-2+3", "-2+3"},
          {"\t@x", "\t@x", "'\t@x", "\t@x"},
          {"a\x01\x02" "b\x7f", "a\x01\x02" "b\x7f", "ab", "ab\x7f"},
          {nul, nul, "ab", "ab"},
          {"\xFF\xFE \xF0\x9F\x93x", mended, mended, mended},
          {"a,\"b\"\nc", "a,\"b\"\nc", "a,\"b\"\nc", "a,\"b\"\nc"}};
}

// Python's csv, json and xml.etree read each session folder (strict UTF-8).
constexpr const char* ReadBackScript = R"(
import csv, glob, json, os, sys, xml.etree.ElementTree as ET
out = {}
for d in sorted(glob.glob(os.path.join(sys.argv[1], 's*'))):
    f = lambda name: open(os.path.join(d, name), newline='', encoding='utf-8')
    rows, lines = list(csv.DictReader(f('session.csv'))), [json.loads(l) for l in f('session.jsonl')]
    out[os.path.basename(d)] = [
        [r['note'] for r in rows if r['type'] == 'gap'] + [r['longitude'] for r in rows if r['position'] == 'none'],
        [lines[0]['source'], lines[0]['gps_source']] + [l.get('why', l.get('longitude')) for l in lines[4:6]],
        ET.parse(f('session.gpx')).find('.//{http://www.topografix.com/GPX/1/1}src').text,
        len(ET.parse(f('session.kml')).findall('.//{http://www.opengis.net/kml/2.2}Point')),
        sum(x['geometry']['type'] == 'Point' for x in json.load(f('session.geojson'))['features'])]
print(json.dumps(out))
)";

// Each text through every file writer, read back by its consumer (the report
// renders Feed's hostile texts above); a record marked "none", though the
// store handed it coordinates, shows no position anywhere.
TEST_F(MapOutputs, HostileTextReadsBackSafeInEveryFormat) {
  for (const char* tool : {"python3", "xmllint"}) ASSERT_TRUE(Have(tool)) << tool << " is missing";
  const std::vector<THostileText> texts = HostileTexts();
  std::string gpxFiles;
  THostRecord positioned{0, At(0.5), At(0.5), LonAt(0.5), LatAt(0.5), TPositionMethod::Interpolated};
  positioned.Idle = TIdleValues{62, 1, 40, 10, 10, {}};
  THostRecord none = positioned;
  none.Method = TPositionMethod::None;
  for (size_t i = 0; i < texts.size(); ++i) {
    const fs::path dir = Dir / ("s" + std::to_string(i));
    fs::create_directories(dir);
    gpxFiles += " " + (dir / "session.gpx").string();
    TCsvWriter csv((dir / "session.csv").string());
    TJsonLinesWriter jsonl((dir / "session.jsonl").string());
    TGpxWriter gpx((dir / "session.gpx").string());
    TKmlWriter kml((dir / "session.kml").string());
    TGeoJsonWriter geojson((dir / "session.geojson").string());
    for (TRecordSink* sink : std::initializer_list<TRecordSink*>{&csv, &jsonl, &gpx, &kml, &geojson}) {
      sink->OnStart({texts[i].In, texts[i].In, UtcOffset, 0});
      sink->OnFix({At(0), LonAt(0), LatAt(0), 10, 1, 1, 5});
      sink->OnFix({At(1), LonAt(1), LatAt(1), 10, 1, 1, 5});
      sink->OnRecord(positioned);
      sink->OnRecord(none);
      sink->OnGap({At(2), At(3), texts[i].In});
      sink->OnFinish({});
    }
    std::ifstream in(dir / "session.jsonl", std::ios::binary);  // a run's own reader takes what it wrote
    std::ostringstream discard;
    TCsvWriter ignore(discard);
    std::string error, warning;
    EXPECT_TRUE(ReadJsonLines(in, ignore, error, warning)) << i << ": " << error;
  }

  const TRun schema = Shell("xmllint --noout --nonet --schema " ORVIK_GPX_SCHEMA + gpxFiles + " 2>&1");
  EXPECT_EQ(schema.Status, 0) << schema.Out;
  std::ofstream(Dir / "readback.py") << ReadBackScript;
  const TRun python = Shell("python3 " + (Dir / "readback.py").string() + " " + Dir.string() + " 2>&1");
  ASSERT_EQ(python.Status, 0) << python.Out;
  const nlohmann::json back = nlohmann::json::parse(python.Out);
  for (size_t i = 0; i < texts.size(); ++i) {
    const THostileText& t = texts[i];
    EXPECT_EQ(back.at("s" + std::to_string(i)), nlohmann::json::array({{t.Csv, ""}, {t.Json, t.Json, nullptr, t.Json},
                                                                        t.Xml, 1, 1})) << t.In;
  }
}

}  // namespace
