// orvik-host live --simulate under time zones far from UTC, with half- and
// quarter-hour offsets: the session writes its zone's offset, and every time
// it writes (JSON Lines, CSV, GPX and KML, the pcap's packet times as tshark
// reads them) reads back to a UTC instant inside the run, as the UTC wall
// clock saw it.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "refhost/output/IsoTime.h"

namespace fs = std::filesystem;

namespace {

// "2026-12-08T17:48:29.553+05:45" or "...Z" to seconds since 1970 UTC.
double UtcSecondsOf(const std::string& text) {
  TDays t;
  int32_t offset;
  return ParseIsoTime(text, t, offset) ? (t - offset / 1440.0 - 25569.0) * 86400.0 : NAN;
}

// The zone's offset now, in minutes, as coreutils' date gives it ("+0545"
// reads 545, "-0330" reads -330).
int OffsetNow(const std::string& zone) {
  FILE* date = ::popen(("TZ=" + zone + " date +%z").c_str(), "r");
  int hhmm = 0;
  if (date != nullptr && std::fscanf(date, "%d", &hhmm) != 1) hhmm = 0;
  if (date != nullptr) ::pclose(date);
  return hhmm / 100 * 60 + hhmm % 100;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every time the session in `dir` wrote, as seconds since 1970 UTC, with
// the file it came from; `offset` gets the session's UTC offset.
std::vector<std::pair<std::string, double>> WrittenTimes(const fs::path& dir, int& offset) {
  std::vector<std::pair<std::string, double>> times;
  std::ifstream jsonl(dir / "out" / "session.jsonl");
  for (std::string line; std::getline(jsonl, line);) {
    const nlohmann::json j = nlohmann::json::parse(line);
    if (j["type"] == "session") offset = j["utc_offset_minutes"];
    for (const char* field : {"time", "time1", "time2"})
      if (j.contains(field)) times.emplace_back("jsonl", UtcSecondsOf(j[field]));
  }
  std::ifstream csv(dir / "out" / "session.csv");
  for (std::string line; std::getline(csv, line);)  // type,index,time1,...
    if (line.rfind("record,", 0) == 0)
      times.emplace_back("csv", UtcSecondsOf(line.substr(line.find(',', 7) + 1, 29)));
  const std::regex zulu("<(time|when)>([^<]+)</");
  for (const char* file : {"session.gpx", "session.kml"}) {
    const std::string text = ReadText(dir / "out" / file);
    for (std::sregex_iterator m(text.begin(), text.end(), zulu), end; m != end; ++m)
      times.emplace_back(file, UtcSecondsOf((*m)[2]));
  }
  const std::string read = "tshark -r " + (dir / "s.pcap").string() + " -T fields -e frame.time_epoch 2>/dev/null";
  FILE* tshark = ::popen(read.c_str(), "r");
  for (double t; tshark != nullptr && std::fscanf(tshark, "%lf", &t) == 1;) times.emplace_back("pcap", t);
  if (tshark != nullptr) ::pclose(tshark);
  return times;
}

TEST(ZoneSession, TimesReadBackToTheTrueUtcInEveryZone) {
  for (const std::string zone : {"Asia/Kathmandu", "America/St_Johns", "Pacific/Chatham"}) {
    SCOPED_TRACE(zone);
    if (!fs::exists("/usr/share/zoneinfo/" + zone))
      GTEST_SKIP() << "no time zone data for " << zone << ": install Debian's tzdata package";
    const fs::path dir = fs::temp_directory_path() / ("zone-session-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const int expected = OffsetNow(zone);
    ASSERT_NE(expected, 0);
    const std::string exe = (fs::read_symlink("/proc/self/exe").parent_path() / "orvik-host").string();
    const std::string command = "TZ=" + zone + " " + exe + " live --simulate --duration 2 --dial 0123456789" +
                                " --quiet --out " + (dir / "out").string() + " --pcap " + (dir / "s.pcap").string() +
                                " >" + (dir / "live.out").string() + " 2>&1";
    const auto wall = [] {
      return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const double before = wall();
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadText(dir / "live.out");
    const double after = wall();

    int offset = -99999;
    const auto times = WrittenTimes(dir, offset);
    EXPECT_EQ(offset, expected);
    std::set<std::string> kinds;
    for (const auto& [where, t] : times) {
      kinds.insert(where);
      // The clocks read milliseconds: a written time may round up by half of one.
      EXPECT_TRUE(t >= before - 0.001 && t <= after + 0.001)
          << where << " at " << std::fixed << t << ", the run from " << before << " to " << after;
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"csv", "jsonl", "pcap", "session.gpx", "session.kml"}));
    if (!HasFailure()) fs::remove_all(dir);
  }
}

}  // namespace
