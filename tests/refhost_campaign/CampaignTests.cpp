// The campaign command end to end, in a time zone 3.5 hours behind UTC:
// three simulated drives are binned, and what it writes is read back by the
// tools people use (ogrinfo for the GeoPackage, a CSV split, JSON) and
// compared with a computation of our own from the drives' JSON Lines.
#include <gtest/gtest.h>
#include <proj.h>
#include <sys/mount.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct TRun {
  int Status = -1;
  std::string Out;  // stdout and stderr
};

TRun Shell(const std::string& command) {
  TRun run;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.Out.append(buffer, n);
  const int status = pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Host() { return ORVIK_HOST; }

std::vector<std::string> Lines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream s(line);
  for (std::string cell; std::getline(s, cell, ',');) out.push_back(cell);
  if (!line.empty() && line.back() == ',') out.emplace_back();
  return out;
}

// The bins as our own computation sees them: levels per square.
struct TExpectedBin {
  int64_t Samples = 0;
  std::vector<int> Levels;  // dBm
};

int NearestRank(std::vector<int> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t rank = std::max<size_t>(1, size_t(std::ceil(p * double(v.size()) - 1e-9)));
  return v[rank - 1];
}

class CampaignTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "America/St_Johns", 1);
    Dir = fs::temp_directory_path() / ("orvik-campaign-test-" + std::to_string(getpid()));
    fs::create_directories(Dir);
    // The simulator runs on a virtual clock but waits on the plug-in's own
    // pauses: the three drives are made side by side.
    std::string make;
    for (int seed : {11, 12, 13}) {
      const fs::path jsonl = Dir / ("drive-" + std::to_string(seed) + ".jsonl");
      make += std::string(ORVIK_MAKE_CAPTURE) + " --seed " + std::to_string(seed) + " --seconds 150 --out " +
              (Dir / ("drive-" + std::to_string(seed) + ".orvcap")).string() + " --jsonl " + jsonl.string() + " & ";
      Drives.push_back(jsonl.string());
    }
    const TRun made = Shell(make + "wait");
    for (const std::string& drive : Drives) ASSERT_TRUE(fs::file_size(drive) > 0) << made.Out;
    Campaign = Shell(Host() + " campaign " + Drives[0] + " " + Drives[1] + " " + Drives[2] + " --out " +
                     (Dir / "c").string());
  }
  static void TearDownTestSuite() {
    std::error_code error;
    fs::remove_all(Dir, error);
  }

  static std::map<std::pair<int, int>, TExpectedBin> Expected(int& epsg, int64_t& positioned) {
    std::map<std::pair<int, int>, TExpectedBin> bins;
    PJ_CONTEXT* ctx = proj_context_create();
    PJ* pj = nullptr;
    positioned = 0;
    for (const std::string& drive : Drives) {
      for (const std::string& line : Lines(drive)) {
        const json o = json::parse(line);
        if (o["type"] != "record" || o["position"] == "none") continue;
        const double lon = o["longitude"], lat = o["latitude"];
        if (!pj) {
          epsg = (lat < 0 ? 32700 : 32600) + int(std::floor((lon + 180) / 6)) + 1;
          PJ* raw = proj_create_crs_to_crs(ctx, "EPSG:4326", ("EPSG:" + std::to_string(epsg)).c_str(), nullptr);
          pj = proj_normalize_for_visualization(ctx, raw);
          proj_destroy(raw);
        }
        const PJ_COORD c = proj_trans(pj, PJ_FWD, proj_coord(lon, lat, 0, 0));
        TExpectedBin& bin = bins[{int(std::floor(c.xy.x / 50)), int(std::floor(c.xy.y / 50))}];
        ++bin.Samples;
        ++positioned;
        if (o["dedicated_report"].is_object())
          bin.Levels.push_back(int(o["dedicated_report"]["rxlev_full"]) - 110);
        else if (o["idle"].is_object())
          bin.Levels.push_back(int(o["idle"]["rxlev"]) - 110);
      }
    }
    proj_destroy(pj);
    proj_context_destroy(ctx);
    return bins;
  }

  static inline fs::path Dir;
  static inline std::vector<std::string> Drives;
  static inline TRun Campaign;
};

TEST_F(CampaignTest, BinsEqualAnIndependentComputationFromTheJsonLines) {
  ASSERT_EQ(Campaign.Status, 0) << Campaign.Out;
  int epsg = 0;
  int64_t positioned = 0;
  const auto expected = Expected(epsg, positioned);
  ASSERT_GT(positioned, 100);
  const std::vector<std::string> rows = Lines(Dir / "c" / "campaign.csv");
  ASSERT_FALSE(rows.empty());
  const std::vector<std::string> header = Split(rows[0]);
  auto column = [&](const char* name) {
    return size_t(std::find(header.begin(), header.end(), name) - header.begin());
  };
  int64_t sum = 0;
  std::map<std::pair<int, int>, bool> seen;
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::vector<std::string> r = Split(rows[i]);
    const std::pair<int, int> key{std::stoi(r[column("bin_x")]), std::stoi(r[column("bin_y")])};
    const auto it = expected.find(key);
    ASSERT_NE(it, expected.end()) << "bin " << key.first << "," << key.second << " holds no record";
    seen[key] = true;
    const int64_t samples = std::stoll(r[column("samples")]);
    sum += samples;
    EXPECT_EQ(samples, it->second.Samples);
    if (it->second.Levels.empty()) continue;
    EXPECT_EQ(std::stoi(r[column("level_median_dbm")]), NearestRank(it->second.Levels, 0.5)) << rows[i];
    EXPECT_EQ(std::stoi(r[column("level_p10_dbm")]), NearestRank(it->second.Levels, 0.1)) << rows[i];
    EXPECT_EQ(std::stoi(r[column("level_p90_dbm")]), NearestRank(it->second.Levels, 0.9)) << rows[i];
  }
  EXPECT_EQ(seen.size(), expected.size());
  EXPECT_EQ(sum, positioned);
  EXPECT_NE(Campaign.Out.find("EPSG:" + std::to_string(epsg)), std::string::npos) << Campaign.Out;
}

TEST_F(CampaignTest, GeoPackageLayersCountsAndCrsAsOgrinfoReadsThem) {
  ASSERT_EQ(Campaign.Status, 0) << Campaign.Out;
  if (Shell("command -v ogrinfo").Status != 0) GTEST_SKIP() << "ogrinfo (gdal-bin) is not installed";
  int epsg = 0;
  int64_t positioned = 0;
  const size_t bins = Expected(epsg, positioned).size();
  const std::string gpkg = (Dir / "c" / "campaign.gpkg").string();
  struct TLayer {
    const char* Name;
    const char* Geometry;
    int64_t Features;  // -1: not checked
    int Epsg;          // 0: no CRS
  };
  const TLayer layers[] = {
      {"bins", "Polygon", int64_t(bins), epsg},
      {"samples", "Point", positioned, 4326},
      {"events", "Point", -1, 4326},
      {"routes", "Line String", 3, 4326},
      {"drive_kpis", "None", 4, 0},
      {"cell_kpis", "None", -1, 0},
  };
  for (const TLayer& layer : layers) {
    SCOPED_TRACE(layer.Name);
    const TRun info = Shell("ogrinfo -ro -so " + gpkg + " " + layer.Name);
    ASSERT_EQ(info.Status, 0) << info.Out;
    EXPECT_NE(info.Out.find(std::string("Geometry: ") + layer.Geometry), std::string::npos) << info.Out;
    if (layer.Features >= 0) {
      EXPECT_NE(info.Out.find("Feature Count: " + std::to_string(layer.Features)), std::string::npos) << info.Out;
    }
    if (layer.Epsg) {
      EXPECT_NE(info.Out.find("ID[\"EPSG\"," + std::to_string(layer.Epsg) + "]]"), std::string::npos) << info.Out;
    }
  }
  // It answers SQL as it is.
  const TRun sql = Shell("ogrinfo -ro -q " + gpkg + " -sql 'SELECT SUM(samples) AS s FROM bins'");
  EXPECT_TRUE(std::regex_search(sql.Out, std::regex("s \\(Integer(64)?\\) = " + std::to_string(positioned) + "\n")))
      << sql.Out;
}

// "2026-12-08T10:00:00.100+01:00" as the same moment in UTC,
// "2026-12-08T09:00:00.100Z".
std::string UtcTime(const std::string& local) {
  std::tm t{};
  int ms = 0, offsetH = 0, offsetM = 0;
  char sign = '+';
  if (std::sscanf(local.c_str(), "%d-%d-%dT%d:%d:%d.%d%c%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                  &t.tm_min, &t.tm_sec, &ms, &sign, &offsetH, &offsetM) != 10)
    return "unreadable " + local;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  const time_t utc = timegm(&t) - (sign == '-' ? -1 : 1) * (offsetH * 3600 + offsetM * 60);
  std::tm u{};
  gmtime_r(&utc, &u);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", u.tm_year + 1900, u.tm_mon + 1, u.tm_mday,
                u.tm_hour, u.tm_min, u.tm_sec, ms);
  return text;
}

// Every positioned record is a row of the samples layer, in input order and
// with its values, and the layer's spatial index holds them all. Twelve
// inputs (the drives again under other session seeds) give a few thousand
// rows, enough for an index three levels deep.
TEST_F(CampaignTest, SamplesLayerRowsAndSpatialIndexAsReadBack) {
  ASSERT_EQ(Campaign.Status, 0) << Campaign.Out;
  if (Shell("command -v ogr2ogr && command -v ogrinfo && command -v sqlite3").Status != 0)
    GTEST_SKIP() << "gdal-bin or sqlite3 is not installed";
  struct TSample {
    std::string Row;  // drive,time,level_dbm,quality,dedicated as the CSV has them
    double Lon, Lat;
  };
  std::vector<TSample> expected;
  std::string inputs;
  for (int copy = 0; copy < 4; ++copy)
    for (size_t d = 0; d < Drives.size(); ++d) {
      const std::string input = (Dir / ("seeded-" + std::to_string(copy) + "-" + std::to_string(d) + ".jsonl")).string();
      inputs += " " + input;
      std::ofstream out(input);
      for (const std::string& line : Lines(Drives[d])) {
        json o = json::parse(line);
        if (o["type"] == "session") o["seed"] = 7000 + 10 * copy + int(d);
        out << o.dump() << "\n";
        if (o["type"] != "record" || o["position"] == "none") continue;
        std::string level, quality;
        if (o["dedicated_report"].is_object()) {
          level = std::to_string(std::min(o["dedicated_report"]["rxlev_full"].get<int>(), 63) - 110);
          quality = std::to_string(std::min(o["dedicated_report"]["rxqual_full"].get<int>(), 7));
        } else if (o["idle"].is_object()) {
          level = std::to_string(std::min(o["idle"]["rxlev"].get<int>(), 63) - 110);
        }
        expected.push_back({input + "," + UtcTime(o["time1"]) + "," + level + "," + quality + "," +
                                (o["dedicated"].get<bool>() ? "1" : "0"),
                            o["longitude"], o["latitude"]});
      }
    }
  ASSERT_GT(expected.size(), 51u * 51u);
  const fs::path out = Dir / "seeded";
  const TRun run = Shell(Host() + " campaign" + inputs + " --out " + out.string());
  ASSERT_EQ(run.Status, 0) << run.Out;
  const std::string gpkg = (out / "campaign.gpkg").string();

  const TRun csv = Shell("ogr2ogr -f CSV /vsistdout/ " + gpkg +
                         " -sql 'SELECT drive, time || \"\" AS t, level_dbm, quality, dedicated,"
                         " ST_MinX(geom) AS x, ST_MinY(geom) AS y FROM samples ORDER BY fid'");
  ASSERT_EQ(csv.Status, 0) << csv.Out;
  std::vector<std::string> rows;
  std::stringstream lines(csv.Out);
  for (std::string line; std::getline(lines, line);) {
    std::erase(line, '"');  // the SQL result's columns may come as quoted text
    rows.push_back(line);
  }
  ASSERT_EQ(rows.size(), expected.size() + 1) << csv.Out.substr(0, 400);
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::vector<std::string> r = Split(rows[i + 1]);
    ASSERT_EQ(r.size(), 7u) << rows[i + 1];
    ASSERT_EQ(r[0] + "," + r[1] + "," + r[2] + "," + r[3] + "," + r[4], expected[i].Row) << "row " << i + 1;
    ASSERT_NEAR(std::stod(r[5]), expected[i].Lon, 1e-9) << rows[i + 1];
    ASSERT_NEAR(std::stod(r[6]), expected[i].Lat, 1e-9) << rows[i + 1];
  }

  // The index is whole as SQLite checks it, and finds the rows in a box
  // (its edges kept clear of every point: the index stores single floats).
  const TRun check = Shell("sqlite3 " + gpkg + " \"SELECT rtreecheck('rtree_samples_geom'), count(*) FROM rtree_samples_geom\"");
  EXPECT_EQ(check.Out, "ok|" + std::to_string(expected.size()) + "\n");
  auto [west, east] = std::minmax_element(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.Lon < b.Lon; });
  auto [south, north] = std::minmax_element(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.Lat < b.Lat; });
  auto clear = [&expected](double edge, double TSample::*axis) {
    for (bool near = true; near; edge += 3e-5) {
      near = false;
      for (const TSample& s : expected) near = near || std::fabs(s.*axis - edge) < 1e-5;
      if (!near) return edge;
    }
    return edge;
  };
  const double x0 = clear(west->Lon + 0.3 * (east->Lon - west->Lon), &TSample::Lon);
  const double x1 = clear(west->Lon + 0.7 * (east->Lon - west->Lon), &TSample::Lon);
  const double y0 = clear(south->Lat + 0.2 * (north->Lat - south->Lat), &TSample::Lat);
  const double y1 = clear(south->Lat + 0.9 * (north->Lat - south->Lat), &TSample::Lat);
  int64_t inside = 0;
  for (const TSample& s : expected) inside += s.Lon > x0 && s.Lon < x1 && s.Lat > y0 && s.Lat < y1;
  char box[128];
  std::snprintf(box, sizeof box, " -spat %.9f %.9f %.9f %.9f", x0, y0, x1, y1);
  const TRun found = Shell("ogrinfo -ro -so " + gpkg + " samples" + box);
  EXPECT_GT(inside, 0);
  EXPECT_NE(found.Out.find("Feature Count: " + std::to_string(inside) + "\n"), std::string::npos) << box << "\n" << found.Out;
}

// One session exported alone, and a campaign with a cell file: the layers
// each adds or leaves out, as ogrinfo reads them.
TEST_F(CampaignTest, ExportAndSitesGeoPackagesAsOgrinfoReadsThem) {
  ASSERT_EQ(Campaign.Status, 0) << Campaign.Out;
  if (Shell("command -v ogrinfo").Status != 0) GTEST_SKIP() << "ogrinfo (gdal-bin) is not installed";
  int64_t positioned = 0;
  for (const std::string& line : Lines(Drives[0])) {
    const json o = json::parse(line);
    positioned += o["type"] == "record" && o["position"] != "none";
  }
  // Two sites as an OpenCelliD download lists them, one of them a UMTS cell.
  const fs::path cells = Dir / "cells.csv";
  std::ofstream(cells) << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n"
                          "GSM,242,1,1001,3121,0,10.7522,59.9139,1200,35,1,1459692307,1700000000,0\n"
                          "UMTS,242,2,20,40123,0,10.7601,59.9212,900,8,1,1459692307,1700000000,-85\n";
  const fs::path one = Dir / "one.gpkg", sited = Dir / "sited";
  ASSERT_EQ(Shell(Host() + " export --format gpkg " + Drives[0] + " --out " + one.string()).Status, 0);
  const TRun run = Shell(Host() + " campaign " + Drives[0] + " --cells " + cells.string() + " --out " + sited.string());
  ASSERT_EQ(run.Status, 0) << run.Out;
  struct TLayer {
    fs::path File;
    const char* Name;
    int64_t Features;  // -1: the layer must not be there; -2: there, any count
  };
  const TLayer layers[] = {
      {one, "samples", positioned}, {one, "routes", 1}, {one, "drive_kpis", 1}, {one, "bins", -1},
      {one, "sites", -1},           {sited / "campaign.gpkg", "sites", 2},      {sited / "campaign.gpkg", "bins", -2},
  };
  for (const TLayer& layer : layers) {
    SCOPED_TRACE(layer.File.string() + " " + layer.Name);
    const TRun info = Shell("ogrinfo -ro -so " + layer.File.string() + " " + layer.Name);
    if (layer.Features == -1) {
      EXPECT_NE(info.Status, 0) << info.Out;
      continue;
    }
    ASSERT_EQ(info.Status, 0) << info.Out;
    if (layer.Features >= 0) {
      EXPECT_NE(info.Out.find("Feature Count: " + std::to_string(layer.Features) + "\n"), std::string::npos) << info.Out;
    }
  }
}

// The total KPIs equal those of one session made of all the drives, as the
// kpi command computes them.
TEST_F(CampaignTest, TotalKpisEqualOneSessionOfAllDrives) {
  ASSERT_EQ(Campaign.Status, 0) << Campaign.Out;
  if (Shell(Host() + " --help").Out.find("\n  kpi ") == std::string::npos)
    GTEST_SKIP() << "this build has no kpi command";
  const fs::path joined = Dir / "joined.jsonl";
  {
    std::ofstream out(joined);
    int64_t index = 0;
    bool first = true;
    for (const std::string& drive : Drives)
      for (const std::string& line : Lines(drive)) {
        json o = json::parse(line);
        if (o["type"] == "summary" || (o["type"] == "session" && !first)) continue;
        if (o["type"] == "record") o["index"] = index++;
        first = false;
        out << o.dump() << "\n";
      }
  }
  const TRun kpi = Shell(Host() + " kpi --json " + joined.string() + " 2>/dev/null");
  ASSERT_EQ(kpi.Status, 0) << kpi.Out;
  const json one = json::parse(kpi.Out);
  const TRun total = Shell("ogrinfo -ro -q " + (Dir / "c" / "campaign.gpkg").string() +
                           " -sql \"SELECT * FROM drive_kpis WHERE drive = '(total)'\"");
  ASSERT_EQ(total.Status, 0) << total.Out;
  for (const char* key : {"call_attempts", "call_setups", "call_connects", "call_drops", "handover_attempts",
                          "handover_successes", "location_updates"}) {
    ASSERT_TRUE(one.contains(key)) << key;
    const std::regex field(std::string(key) + " \\(Integer(64)?\\) = " + std::to_string(one[key].get<int64_t>()) + "\n");
    EXPECT_TRUE(std::regex_search(total.Out, field)) << key << "\n" << total.Out;
  }
}

// Inputs as people give them: the same drive twice, a cut-off file, a file
// that is no session, an earlier run's folder, a full disk.
TEST_F(CampaignTest, InputsAndOutputsAsGivenInTheField) {
  ASSERT_EQ(Campaign.Status, 0) << Campaign.Out;
  const std::string copy = (Dir / "same-drive-renamed.jsonl").string();
  fs::copy_file(Drives[0], copy, fs::copy_options::overwrite_existing);
  const std::string torn = (Dir / "torn.jsonl").string();
  {
    std::string text;
    for (const std::string& line : Lines(Drives[1])) text += line + "\n";
    text.resize(text.size() - text.size() / 3);
    text.resize(text.rfind('\n') + 40);  // ends inside a line, as a crash leaves it
    std::ofstream(torn) << text;
  }
  // The first drive with a line spoilt in the middle: the same first records,
  // but no session.
  const std::string broken = (Dir / "broken.jsonl").string();
  {
    std::ofstream out(broken);
    std::vector<std::string> lines = Lines(Drives[0]);
    lines[lines.size() / 2] = "{\"type\":\"record\",garbage";
    for (const std::string& line : lines) out << line << "\n";
  }
  // The second drive's capture cut off, and spoilt in the middle.
  const std::string capture = (Dir / "drive-12.orvcap").string();
  const std::string cut = (Dir / "cut.orvcap").string(), spoilt = (Dir / "spoilt.orvcap").string();
  fs::copy_file(capture, cut, fs::copy_options::overwrite_existing);
  fs::resize_file(cut, fs::file_size(capture) * 2 / 3);
  {
    std::ifstream in(capture, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) bytes[i] = char(bytes[i] ^ 0x5a);
    std::ofstream(spoilt, std::ios::binary) << bytes;
  }
  const std::string notSession = (Dir / "notes.jsonl").string();
  std::ofstream(notSession) << "{\"hello\": 1}\nnot json\n";
  const std::string full = (Dir / "full").string();
  fs::create_directories(full);
  const bool smallDisk = mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") == 0;

  int64_t records = 0;
  for (const std::string& line : Lines(Drives[0])) records += line.rfind("{\"type\":\"record\"", 0) == 0;
  const std::string whole = "1 drive(s), " + std::to_string(records) + " records";
  struct TCase {
    const char* Name;
    std::string Args;
    int Status;
    const char* Said;    // regex over stdout and stderr
    std::string Drives;  // "Wrote ...: N drive(s), N records" when the run writes
    bool NeedsSmallDisk = false;
  };
  const TCase cases[] = {
      {"same drive twice counts once", Drives[0] + " " + copy + " --out " + (Dir / "dup").string(), 0,
       "same-drive-renamed.jsonl is the same drive as .*drive-11.jsonl", whole},
      {"cut-off JSON Lines is used with a warning", torn + " --out " + (Dir / "torn").string(), 0,
       "warning: .*torn.jsonl", "1 drive"},
      {"cut-off capture is used with a warning", cut + " --out " + (Dir / "cut").string(), 0,
       "warning: .*cut-off end of .*cut.orvcap", "1 drive"},
      {"capture spoilt in the middle: used up to the damage, exit 5", spoilt + " --out " + (Dir / "spoilt").string(),
       5, "damage in the middle of .*spoilt.orvcap", "1 drive"},
      {"not a session: named, skipped, exit 2", Drives[0] + " " + notSession + " --out " + (Dir / "bad").string(),
       2, "notes.jsonl", whole},
      {"a broken copy given first does not hide the drive",
       broken + " " + Drives[0] + " --skip-bad --out " + (Dir / "broken").string(), 0, "broken.jsonl: line",
       whole},
      {"--skip-bad lets it pass", Drives[0] + " " + notSession + " --skip-bad --out " + (Dir / "skip").string(), 0,
       "notes.jsonl", whole},
      {"an earlier run is kept without --force", Drives[2] + " --out " + (Dir / "c").string(), 2, "--force", ""},
      {"a full disk fails with exit 1 and leaves nothing half", Drives[0] + " --out " + full, 1, "cannot write", "",
       true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.NeedsSmallDisk && !smallDisk) {
      std::printf("skipped '%s': no tmpfs can be mounted here\n", c.Name);
      continue;
    }
    const TRun run = Shell(Host() + " campaign " + c.Args);
    EXPECT_EQ(run.Status, c.Status) << run.Out;
    EXPECT_TRUE(std::regex_search(run.Out, std::regex(c.Said))) << run.Out;
    if (!c.Drives.empty()) {
      EXPECT_NE(run.Out.find(c.Drives), std::string::npos) << run.Out;
    }
  }
  if (smallDisk) {
    for (const auto& entry : fs::directory_iterator(full)) ADD_FAILURE() << "left behind: " << entry.path();
    umount(full.c_str());
  }
  // The earlier run's outputs are still whole.
  EXPECT_EQ(Shell("ogrinfo -ro -so " + (Dir / "c" / "campaign.gpkg").string()).Status, 0);
}

// A run killed at a random moment leaves each earlier output whole, and the
// next run clears what the killed one left behind.
TEST_F(CampaignTest, KilledRunLeavesEarlierOutputsWhole) {
  ASSERT_EQ(Campaign.Status, 0) << Campaign.Out;
  const fs::path out = Dir / "killed";
  const std::string base = Host() + " campaign " + Drives[0] + " " + Drives[1] + " --out " + out.string();
  ASSERT_EQ(Shell(base).Status, 0);
  std::srand(unsigned(getpid()));
  for (int round = 0; round < 4; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      execl("/bin/sh", "sh", "-c", ("exec " + base + " --force >/dev/null 2>&1").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    usleep(useconds_t(std::rand() % 400000));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(Shell("ogrinfo -ro -so " + (out / "campaign.gpkg").string()).Status, 0);
    json bins;
    EXPECT_NO_THROW(bins = json::parse(std::ifstream(out / "campaign.geojson")));
    EXPECT_EQ(Lines(out / "campaign.csv").size(), bins["features"].size() + 1);
  }
  ASSERT_EQ(Shell(base + " --force").Status, 0);
  for (const auto& entry : fs::directory_iterator(out))
    EXPECT_EQ(entry.path().filename().string().rfind("campaign.", 0), 0u) << "left behind: " << entry.path();
}

}  // namespace
