// orvik-host live --simulate under time zones far from UTC, with half- and
// quarter-hour offsets: the session writes its zone's offset, and every time
// it writes (JSON Lines, CSV, GPX and KML, the pcap's packet times) reads
// back to a UTC instant inside the run, as the UTC wall clock saw it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace fs = std::filesystem;

namespace {

double WallUtcSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// "2026-12-08T17:48:29.553+05:45" or "...Z" to seconds since 1970 UTC; NaN
// when the text is not such a time.
double UtcSecondsOf(const std::string& text) {
  int y, mo, d, h, mi, oh = 0, om = 0, n = 0;
  double sec;
  char sign = 'Z';
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &y, &mo, &d, &h, &mi, &sec, &n) != 6) return NAN;
  const std::string zone = text.substr(static_cast<size_t>(n));
  if (zone != "Z" && std::sscanf(zone.c_str(), "%c%2d:%2d", &sign, &oh, &om) != 3) return NAN;
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  const double offset = (sign == '-' ? -1 : 1) * (oh * 3600.0 + om * 60.0);
  return static_cast<double>(::timegm(&t)) + h * 3600.0 + mi * 60.0 + sec - (zone == "Z" ? 0 : offset);
}

// The zone's offset now, in minutes, by the C library's rules.
int OffsetNow(const char* zone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  ::setenv("TZ", zone, 1);
  ::tzset();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  old ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
  return static_cast<int>(local.tm_gmtoff / 60);
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the live session with TZ set to `zone`; its exit status.
int LiveIn(const std::string& zone, const fs::path& dir) {
  const std::string exe = (fs::read_symlink("/proc/self/exe").parent_path() / "orvik-host").string();
  std::vector<std::string> args{exe,     "live",  "--simulate", "--duration", "2",      "--quiet",
                                "--out", (dir / "out").string(), "--pcap", (dir / "s.pcap").string()};
  std::vector<std::string> env{"TZ=" + zone};
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "TZ=", 3) != 0) env.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  for (std::string& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir / "live.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir / "live.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every time the session wrote, as seconds since 1970 UTC, by where it came from.
std::vector<std::pair<std::string, double>> WrittenTimes(const fs::path& dir, int& offset) {
  std::vector<std::pair<std::string, double>> times;
  std::ifstream jsonl(dir / "out" / "session.jsonl");
  for (std::string line; std::getline(jsonl, line);) {
    const nlohmann::json j = nlohmann::json::parse(line);
    if (j["type"] == "session") offset = j["utc_offset_minutes"];
    for (const char* field : {"time", "time1", "time2"})
      if (j.contains(field)) times.emplace_back("jsonl " + j["type"].get<std::string>(), UtcSecondsOf(j[field]));
  }
  std::ifstream csv(dir / "out" / "session.csv");
  for (std::string line; std::getline(csv, line);)
    if (line.rfind("record,", 0) == 0) {
      std::vector<std::string> cells;
      std::stringstream row(line);
      for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
      times.emplace_back("csv time1", UtcSecondsOf(cells.at(2)));
    }
  const std::regex zulu("<(time|when)>([^<]+)</");
  for (const char* file : {"session.gpx", "session.kml"}) {
    const std::string text = ReadText(dir / "out" / file);
    for (std::sregex_iterator m(text.begin(), text.end(), zulu), end; m != end; ++m)
      times.emplace_back(file, UtcSecondsOf((*m)[2]));
  }
  // pcap: a 24-byte file header, then per packet seconds, microseconds and two lengths.
  const std::string pcap = ReadText(dir / "s.pcap");
  for (size_t at = 24; at + 16 <= pcap.size();) {
    uint32_t head[4];
    std::memcpy(head, pcap.data() + at, sizeof head);
    times.emplace_back("pcap", head[0] + head[1] / 1e6);
    at += 16 + head[2];
  }
  return times;
}

TEST(ZoneSession, TimesReadBackToTheTrueUtcInEveryZone) {
  const struct {
    const char* Zone;
    int Standard, Daylight;  // minutes east of UTC
  } zones[] = {{"Asia/Kathmandu", 345, 345}, {"America/St_Johns", -210, -150}, {"Pacific/Chatham", 765, 825}};
  for (const auto& z : zones) {
    SCOPED_TRACE(z.Zone);
    if (!fs::exists(fs::path("/usr/share/zoneinfo") / z.Zone))
      GTEST_SKIP() << "no time zone data for " << z.Zone << ": install Debian's tzdata package";
    const fs::path dir = fs::temp_directory_path() / ("zone-session-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const int expected = OffsetNow(z.Zone);
    ASSERT_TRUE(expected == z.Standard || expected == z.Daylight) << expected;
    const double before = WallUtcSeconds();
    ASSERT_EQ(LiveIn(z.Zone, dir), 0) << ReadText(dir / "live.err");
    const double after = WallUtcSeconds();

    int offset = -99999;
    const auto times = WrittenTimes(dir, offset);
    EXPECT_EQ(offset, expected);
    std::set<std::string> kinds;
    for (const auto& [where, t] : times) {
      kinds.insert(where.substr(0, where.find(' ')));
      // The clocks read milliseconds: a written time may round up by half of one.
      EXPECT_TRUE(t >= before - 0.001 && t <= after + 0.001)
          << where << " at " << std::fixed << t << ", the run from " << before << " to " << after;
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"csv", "jsonl", "pcap", "session.gpx", "session.kml"}));
    if (!HasFailure()) fs::remove_all(dir);
  }
}

}  // namespace
