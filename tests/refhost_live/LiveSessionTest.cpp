// orvik-host live end to end, as real processes: the simulated handset
// serves a pseudo-terminal (simulate-handset --pty --link), the live session
// reads it with a simulated GPS, and the test checks what both left behind:
// the commands the handset recognised, the session's JSON Lines, the exit
// status and the messages.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "serial/Orvik7316Cmd.h"

extern char** environ;

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using nlohmann::json;

namespace {

struct TRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LiveSession : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("live-session-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Exe = (fs::read_symlink("/proc/self/exe").parent_path() / "orvik-host").string();
  }
  void TearDown() override {
    StopHandset();
    if (!HasFailure()) fs::remove_all(Dir);
  }

  pid_t Spawn(std::vector<std::string> args, const std::string& name) {
    args.insert(args.begin(), Exe);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (Dir / (name + ".out")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (Dir / (name + ".err")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, Exe.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  // Waits for the process; kills it (and fails) after `limitS`.
  TRun Wait(pid_t pid, const std::string& name, double limitS) {
    TRun run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitS);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << name << " still running after " << limitS << " s";
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = ReadText(Dir / (name + ".out"));
    run.Err = ReadText(Dir / (name + ".err"));
    return run;
  }

  // Starts the simulated handset on a pseudo-terminal reachable at Link().
  void StartHandset(std::vector<std::string> faults) {
    std::vector<std::string> args{"simulate-handset", "--pty",          "--link", Link(),
                                  "--commands-log",   Commands().string(), "--seed", "5"};
    args.insert(args.end(), faults.begin(), faults.end());
    Handset = Spawn(args, "handset");
    for (int i = 0; i < 200 && !fs::exists(Link()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_TRUE(fs::exists(Link())) << ReadText(Dir / "handset.err");
  }
  TRun StopHandset() {
    if (Handset < 0) return {};
    ::kill(Handset, SIGTERM);
    const TRun run = Wait(Handset, "handset", 10);
    Handset = -1;
    return run;
  }

  TRun Live(std::vector<std::string> args, double limitS = 30) {
    args.insert(args.begin(), {"live", "--quiet", "--out", Out().string()});
    return Wait(Spawn(args, "live"), "live", limitS);
  }

  // The session's JSON Lines by type.
  std::map<std::string, std::vector<json>> Session() {
    std::map<std::string, std::vector<json>> byType;
    std::ifstream in(Out() / "session.jsonl");
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) {
        const json j = json::parse(line);
        byType[j.at("type").get<std::string>()].push_back(j);
      }
    return byType;
  }

  std::string Link() const { return (Dir / "line").string(); }
  fs::path Commands() const { return Dir / "commands.txt"; }
  fs::path Out() const { return Dir / "out"; }

  fs::path Dir;
  std::string Exe;
  pid_t Handset = -1;
};

// Seconds of an ISO 8601 time stamp of the session (one UTC offset throughout).
double TimeOf(const json& entry, const char* field = "time1") {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double sec = 0;
  std::sscanf(entry.at(field).get<std::string>().c_str(), "%d-%d-%dT%d:%d:%lf", &y, &mo, &d, &h, &mi, &sec);
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  return static_cast<double>(::timegm(&t)) + h * 3600.0 + mi * 60.0 + sec;
}

// Every record once, in index order, with non-decreasing time stamps.
void ExpectEachRecordOnceInOrder(const std::vector<json>& records) {
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].at("index").get<int64_t>(), static_cast<int64_t>(i));
    if (i > 0) {
      EXPECT_GE(TimeOf(records[i]), TimeOf(records[i - 1]));
    }
  }
}

TEST_F(LiveSession, EndToEndWithACall) {
  StartHandset({});
  const TRun live = Live({"--port", Link(), "--simulate-gps", "--duration", "10", "--dial", "0123456789",
                          "--call-seconds", "8"});
  ASSERT_EQ(live.Status, 0) << live.Err;
  EXPECT_THAT(live.Out, HasSubstr("Shared memory live at exit: 0 blocks, 0 bytes."));
  StopHandset();

  // The connect request, then the start-up commands, first and in order.
  std::vector<int> expected{-1};
  expected.insert(expected.end(), StartupCommands.begin(), StartupCommands.end());
  std::istringstream log(ReadText(Commands()));
  std::vector<int> seen;
  for (std::string line; seen.size() < expected.size() && std::getline(log, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    double time = 0;
    int index = 0;
    fields >> time >> index;
    seen.push_back(index);
  }
  EXPECT_EQ(seen, expected);

  auto session = Session();
  const auto& records = session["record"];
  const auto& fixes = session["fix"];
  ASSERT_GT(records.size(), 10u);
  ASSERT_GT(fixes.size(), 3u);
  ExpectEachRecordOnceInOrder(records);
  EXPECT_EQ(session["summary"].at(0).at("frames_decoded").get<size_t>(), records.size());

  double minLon = 1e9, maxLon = -1e9, minLat = 1e9, maxLat = -1e9;
  for (const json& f : fixes) {
    minLon = std::min(minLon, f.at("longitude").get<double>());
    maxLon = std::max(maxLon, f.at("longitude").get<double>());
    minLat = std::min(minLat, f.at("latitude").get<double>());
    maxLat = std::max(maxLat, f.at("latitude").get<double>());
  }
  std::vector<std::string> callStates;
  for (const json& r : records) {
    if (r.at("position") != "none") {
      EXPECT_THAT(r.at("longitude").get<double>(), ::testing::AllOf(::testing::Ge(minLon), ::testing::Le(maxLon)));
      EXPECT_THAT(r.at("latitude").get<double>(), ::testing::AllOf(::testing::Ge(minLat), ::testing::Le(maxLat)));
    }
    const std::string state = r.at("call_state");
    if (callStates.empty() || callStates.back() != state) callStates.push_back(state);
  }
  const std::vector<std::string> call{"alerting", "connected", "released"};
  auto at = callStates.begin();
  for (const std::string& state : call) {
    at = std::find(at, callStates.end(), state);
    ASSERT_NE(at, callStates.end()) << "call state " << state << " missing or out of order";
  }
}

// What the handset says it sent: "served S s: B bytes written, L lines (R reports, M signalling)".
struct THandsetSent {
  int64_t Bytes = -1;
  int64_t Records = -1;  // reports and signalling messages: each should become a record
};
THandsetSent ParseServed(const std::string& err) {
  THandsetSent sent;
  const size_t at = err.find("served ");
  if (at == std::string::npos) return sent;
  double seconds = 0;
  long long bytes = 0, lines = 0, reports = 0, signalling = 0;
  if (std::sscanf(err.c_str() + at, "served %lf s: %lld bytes written, %lld lines (%lld reports, %lld signalling)",
                  &seconds, &bytes, &lines, &reports, &signalling) == 5) {
    sent.Bytes = bytes;
    sent.Records = reports + signalling;
  }
  return sent;
}

int64_t Summary(std::map<std::string, std::vector<json>>& session, const char* counter) {
  return session["summary"].empty() ? -1 : session["summary"][0].at(counter).get<int64_t>();
}

// Each fault ends the way it should, with every record written once. The
// handset's own --duration ends the first two: its end closes the line.
TEST_F(LiveSession, FaultsEndTheWayTheyShould) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Faults;
    std::vector<std::string> Options;
    int Status;
    const char* Says;  // in the output or the error
  };
  const std::vector<TCase> cases{
      {"garbage bursts", {"--garbage-every", "0.3", "--duration", "3"}, {"--duration", "10"}, 4, "the other end closed"},
      {"line noise", {"--noise", "0.002", "--duration", "3"}, {"--duration", "10"}, 4, "the other end closed"},
      {"silent while GPS runs", {"--silence-at", "1.5", "--silence-for", "2.5"}, {"--duration", "7", "--silence-limit", "4"}, 0, "duration reached"},
      {"nothing forever", {"--silence-at", "1.5", "--silence-for", "1000"}, {"--duration", "10", "--silence-limit", "1.5"}, 4, "no bytes from the handset for 1.5 s"},
      {"never answers", {"--no-answer"}, {"--duration", "10", "--connect-timeout", "1.5"}, 3, "did not answer the connect request"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Out());
    StartHandset(c.Faults);
    std::vector<std::string> options{"--port", Link(), "--simulate-gps"};
    options.insert(options.end(), c.Options.begin(), c.Options.end());
    const TRun live = Live(options);
    const THandsetSent sent = ParseServed(StopHandset().Err);
    EXPECT_EQ(live.Status, c.Status) << live.Err;
    EXPECT_THAT(live.Out + live.Err, HasSubstr(c.Says));
    auto session = Session();
    const auto& records = session["record"];
    ExpectEachRecordOnceInOrder(records);
    EXPECT_EQ(Summary(session, "frames_decoded"), static_cast<int64_t>(records.size()));
    if (c.Status == 3) {
      EXPECT_TRUE(records.empty());
      continue;
    }
    EXPECT_GT(records.size(), 0u);
    const std::string name = c.Name;
    if (name == "garbage bursts") {
      // Every byte arrived, and every report and message around the bursts
      // became a record.
      EXPECT_EQ(Summary(session, "bytes_received"), sent.Bytes);
      EXPECT_EQ(static_cast<int64_t>(records.size()), sent.Records);
      EXPECT_GT(Summary(session, "frames_rejected"), 0);
    }
    if (name == "line noise") {
      // A flipped bit spoils its own line, or two when it hits the line end;
      // never the good lines around them.
      EXPECT_EQ(Summary(session, "bytes_received"), sent.Bytes);
      const int64_t lost = sent.Records - static_cast<int64_t>(records.size());
      EXPECT_GE(lost, 0);
      EXPECT_LE(lost, 2 * Summary(session, "frames_rejected"));
    }
    if (name == "silent while GPS runs") {
      // A pause of seconds between two records, fixes recorded through it,
      // and no gap: the session stayed up.
      EXPECT_TRUE(session["gap"].empty());
      size_t widest = 1;
      for (size_t i = 2; i < records.size(); ++i)
        if (TimeOf(records[i]) - TimeOf(records[i - 1]) > TimeOf(records[widest]) - TimeOf(records[widest - 1]))
          widest = i;
      const double from = TimeOf(records[widest - 1]), to = TimeOf(records[widest]);
      EXPECT_GT(to - from, 2.0);
      const auto during = std::count_if(session["fix"].begin(), session["fix"].end(), [&](const json& f) {
        return TimeOf(f, "time") > from && TimeOf(f, "time") < to;
      });
      EXPECT_GE(during, 2);
    }
  }
}

TEST_F(LiveSession, ReconnectsWithoutLosingOrRepeatingARecord) {
  StartHandset({"--drop-at", "2", "--drop-for", "0.6", "--drop-at", "4.5", "--drop-for", "0.6", "--duration", "7"});
  const TRun live = Live({"--port", Link(), "--simulate-gps", "--duration", "9", "--reconnect",
                          "--reconnect-timeout", "1.5"});
  const THandsetSent sent = ParseServed(StopHandset().Err);
  // The handset's end is the last drop, never regained.
  EXPECT_EQ(live.Status, 4) << live.Err;
  auto session = Session();
  const auto& records = session["record"];
  ExpectEachRecordOnceInOrder(records);
  EXPECT_EQ(Summary(session, "frames_decoded"), static_cast<int64_t>(records.size()));
  EXPECT_EQ(Summary(session, "bytes_received"), sent.Bytes);
  ASSERT_GE(session["gap"].size(), 3u);
  // Records on both sides of each regained gap.
  for (size_t g = 0; g + 1 < session["gap"].size(); ++g) {
    const double from = TimeOf(session["gap"][g], "from"), to = TimeOf(session["gap"][g], "to");
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const json& r) { return TimeOf(r) < from; }));
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const json& r) { return TimeOf(r) > to; }));
  }
}

TEST_F(LiveSession, BadInputIsRefusedWithStatusTwo) {
  struct TCase {
    std::vector<std::string> Args;
    const char* Says;
  };
  const std::vector<TCase> cases{
      {{}, "--port"},
      {{"--port", "/dev/ttyNoSuchPort7316"}, "does not exist"},
      {{"--port", "/dev/null", "--simulate"}, "--port"},
      {{"--simulate", "--call-seconds", "5"}, "--dial"},
      {{"--simulate", "--duration", "-1"}, "--duration"},
      {{"--simulate", "--plugin", "/nonexistent/libOrvik7316.so"}, "libOrvik7316.so"},
      {{"--simulate", "--gpsd", ":"}, "--gpsd"},
  };
  for (const TCase& c : cases) {
    std::string joined;
    for (const std::string& a : c.Args) joined += a + " ";
    SCOPED_TRACE(joined);
    const TRun live = Live(c.Args, 10);
    EXPECT_EQ(live.Status, 2);
    EXPECT_THAT(live.Err, HasSubstr(c.Says));
  }
}

// Seconds since the epoch of an ISO 8601 time stamp, its UTC offset applied.
double UtcSecondsOf(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, oh = 0, om = 0;
  double sec = 0;
  char sign = '+';
  std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%lf%c%d:%d", &y, &mo, &d, &h, &mi, &sec, &sign, &oh, &om);
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  const double offset = (sign == '-' ? -1 : 1) * (oh * 3600.0 + om * 60.0);
  return static_cast<double>(::timegm(&t)) + h * 3600.0 + mi * 60.0 + sec - offset;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A GPS that ends or goes quiet is said on stderr and counted, and the
// records go on reaching the files, without a position.
TEST_F(LiveSession, GpsOutagesAreSaidAndRecordsStillWritten) {
  const fs::path empty = Dir / "empty.nmea", fifo = Dir / "quiet.nmea";
  std::ofstream(empty).close();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int fifoHeld = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // open, and never a byte
  ASSERT_GE(fifoHeld, 0);
  const struct {
    const char* Name;
    std::vector<std::string> Gps;
    const char* Says;
  } cases[] = {
      {"the NMEA file ends", {"--gps-nmea", empty.string()}, "the GPS source ended"},
      {"the receiver goes quiet", {"--gps-nmea", fifo.string(), "--gps-timeout", "1"}, "no GPS fix for"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Out());
    StartHandset({});
    std::vector<std::string> options{"--port", Link(), "--duration", "4"};
    options.insert(options.end(), c.Gps.begin(), c.Gps.end());
    const TRun live = Live(options);
    StopHandset();
    EXPECT_EQ(live.Status, 0) << live.Err;
    EXPECT_THAT(live.Err, HasSubstr(c.Says));
    EXPECT_THAT(live.Out, HasSubstr("1 GPS outages"));
    auto session = Session();
    ASSERT_GT(session["record"].size(), 3u);
    for (const json& r : session["record"]) EXPECT_EQ(r.at("position"), "none");
  }
  ::close(fifoHeld);
}

// Ctrl-C, SIGTERM and --duration end a session promptly however large the
// backlog: what was not decoded is counted and kept in the capture, where a
// replay decodes it.
TEST_F(LiveSession, AStopIsPromptWhateverTheBacklog) {
  const struct {
    const char* Name;
    std::vector<std::string> Options;
    int Signal;  // sent 2 s in; 0: none
  } cases[] = {
      {"--duration", {"--duration", "2"}, 0},
      {"SIGTERM", {}, SIGTERM},
      {"Ctrl-C", {}, SIGINT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Out());
    const fs::path capture = Dir / "flood.orvcap";
    fs::remove(capture);
    StartHandset({"--flood", "230400"});
    std::vector<std::string> args{"live", "--quiet", "--out", Out().string(), "--port", Link(),
                                  "--record", capture.string()};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    const pid_t pid = Spawn(args, "live");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto stopped = std::chrono::steady_clock::now();
    if (c.Signal != 0) ::kill(pid, c.Signal);
    const TRun live = Wait(pid, "live", 30);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    StopHandset();
    EXPECT_EQ(live.Status, 0) << live.Err;
    EXPECT_LT(took, 3.0) << "the stop waited for the backlog";
    auto session = Session();
    const int64_t undecoded = Summary(session, "bytes_undecoded");
    EXPECT_GT(undecoded, 0) << "a flood leaves a backlog";
    EXPECT_THAT(live.Out, HasSubstr(std::to_string(undecoded) + " bytes left undecoded"));
    const TRun replay = Wait(Spawn({"replay", capture.string(), "--out", (Dir / "again").string()}, "replay"), "replay", 60);
    ASSERT_EQ(replay.Status, 0) << replay.Err;
    EXPECT_GT(std::count(std::istreambuf_iterator<char>(std::ifstream(Dir / "again" / "session.csv").rdbuf()), {}, '\n'),
              static_cast<long>(session["record"].size()) + 1) << "the replay decodes the backlog";
    fs::remove_all(Dir / "again");
  }
}

TEST_F(LiveSession, ReplayStopsOnCtrlCWithCompleteFiles) {
  const pid_t pid = Spawn({"replay", "--realtime", "--out", Out().string()}, "replay");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ::kill(pid, SIGINT);
  const TRun replay = Wait(pid, "replay", 10);
  EXPECT_EQ(replay.Status, 0) << replay.Err;
  EXPECT_THAT(replay.Out, HasSubstr("stopped by user"));
  EXPECT_THAT(ReadText(Out() / "report.html"), ::testing::EndsWith("</html>\n"));
  EXPECT_NO_THROW(json::parse(ReadText(Out() / "session.geojson")));
  EXPECT_FALSE(Session()["summary"].empty());
}

// A SIGKILL at a random moment leaves files the program's own reader takes,
// holding every record stored up to a second before the kill: at once
// without a GPS, after the next fix (a second later) with one.
TEST_F(LiveSession, AKillAtARandomMomentLosesNothingStoredBeforeIt) {
  const unsigned seed = static_cast<unsigned>(std::random_device{}());
  std::mt19937 random(seed);
  SCOPED_TRACE("kill times from seed " + std::to_string(seed));
  for (const bool gps : {false, true}) {
    SCOPED_TRACE(gps ? "with GPS" : "without GPS");
    fs::remove_all(Out());
    StartHandset({});
    std::vector<std::string> args{"live", "--quiet", "--out", Out().string(), "--port", Link()};
    if (gps) args.push_back("--simulate-gps");
    const pid_t pid = Spawn(args, "live");
    std::this_thread::sleep_for(std::chrono::duration<double>(std::uniform_real_distribution<>(2.5, 4.5)(random)));
    const double killedAt = WallSeconds();
    ::kill(pid, SIGKILL);
    Wait(pid, "live", 10);
    StopHandset();
    const TRun read = Wait(Spawn({"export", "--format", "geojson", Out().string(), "--out",
                                  (Dir / "read-back.geojson").string()}, "export"), "export", 30);
    EXPECT_EQ(read.Status, 0) << read.Err;
    fs::remove(Dir / "read-back.geojson");
    const auto records = Session()["record"];
    ASSERT_FALSE(records.empty());
    // The handset reports about every half second: the last record stored a
    // second or more before the kill is at most that much older again, with
    // half a second for a loaded machine.
    EXPECT_GT(UtcSecondsOf(records.back().at("time1")), killedAt - 1.0 - 0.5 - 0.5);
    const std::string csv = ReadText(Out() / "session.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), static_cast<long>(records.size()) + 1);
  }
}

}  // namespace
