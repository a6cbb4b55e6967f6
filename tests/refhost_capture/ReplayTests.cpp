// orvik-host replay end to end: a recorded session replays to the records it
// wrote; a damaged capture replays up to the damage and ends with the right
// status; what is not a capture is refused.
#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "refhost/capture/CaptureFormat.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteText(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Record, fix and gap lines of a session's JSON Lines, in file order.
std::vector<json> Entries(const fs::path& jsonl) {
  std::vector<json> out;
  std::ifstream in(jsonl);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    json j = json::parse(line);
    const std::string type = j.value("type", "");
    if (type == "record" || type == "fix" || type == "gap") out.push_back(std::move(j));
  }
  return out;
}

// Field by field, naming the first difference.
void ExpectSameEntries(const std::vector<json>& expected, const std::vector<json>& actual, const std::string& what) {
  ASSERT_FALSE(expected.empty()) << what << ": nothing to compare";
  for (size_t i = 0; i < std::min(expected.size(), actual.size()); ++i) {
    for (const auto& [key, value] : expected[i].items())
      ASSERT_EQ(actual[i].value(key, json()), value) << what << ": entry " << i << ", field " << key;
    ASSERT_EQ(actual[i].size(), expected[i].size()) << what << ": entry " << i << " has other fields";
  }
  ASSERT_EQ(actual.size(), expected.size()) << what;
}

// File offsets at which each record of a capture starts, and its end.
std::vector<size_t> RecordStarts(const std::string& capture) {
  std::vector<size_t> starts;
  for (size_t at = TCaptureHeaderSize; at + TCaptureRecordHeaderSize <= capture.size();) {
    starts.push_back(at);
    at += TCaptureRecordHeaderSize + GetU32(reinterpret_cast<const uint8_t*>(capture.data()) + at);
  }
  starts.push_back(capture.size());
  return starts;
}

class ReplayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // One folder per process: ctest runs the cases of this suite side by side.
    Dir = fs::temp_directory_path() / ("orvik-replay-tests-" + std::to_string(::getpid()));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    // One recording with a call and a dropped line, made once for the suite.
    ASSERT_EQ(Run(ORVIK_MAKE_CAPTURE " --seed 11 --seconds 50 --dial-at 4 --drop-at 30 --out " + (Dir / "drive.orvcap").string() +
                  " --jsonl " + (Dir / "drive.jsonl").string()),
              0);
  }
  static void TearDownTestSuite() { fs::remove_all(Dir); }

  static int Run(const std::string& command) {
    const int status = std::system((command + " >" + (Dir / "stdout").string() + " 2>" +
                                    (Dir / "stderr").string()).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Replays `capture` into `out`; returns the exit status.
  static int Replay(const fs::path& capture, const std::string& out) {
    return Run(ORVIK_HOST " replay " + capture.string() + " --force --out " + (Dir / out).string());
  }
  static std::string Stderr() { return ReadText(Dir / "stderr"); }

  static fs::path Dir;
};
fs::path ReplayTest::Dir;

TEST_F(ReplayTest, ReplayWritesTheRecordsOfTheRecordingSession) {
  // Recorded on a virtual clock with a call, a dropped line and its return.
  ASSERT_EQ(Replay(Dir / "drive.orvcap", "drive"), 0) << Stderr();
  const std::vector<json> recorded = Entries(Dir / "drive.jsonl");
  ExpectSameEntries(recorded, Entries(Dir / "drive" / "session.jsonl"), "simulated recording");
  bool gap = false, connected = false;
  for (const json& e : recorded) {
    gap = gap || e["type"] == "gap";
    connected = connected || e.value("call_state", "") == "connected";
  }
  EXPECT_TRUE(gap && connected) << "the recording lacks its dropped line or its call";

  // A live session on a pseudo-terminal, recorded as it ran.
  ASSERT_EQ(Run(ORVIK_HOST " live --simulate --duration 6 --quiet --dial 0301234 --call-seconds 2 --record " +
                (Dir / "live.orvcap").string() + " --out " + (Dir / "live").string()),
            0) << Stderr();
  ASSERT_EQ(Replay(Dir / "live.orvcap", "live-replay"), 0) << Stderr();
  // Bytes still queued at the stop were not decoded live but are in the
  // capture: the replay decodes them into records after the live ones.
  const std::vector<json> live = Entries(Dir / "live" / "session.jsonl");
  const auto liveRecords = std::count_if(live.begin(), live.end(), [](const json& e) { return e["type"] == "record"; });
  std::vector<json> replayed = Entries(Dir / "live-replay" / "session.jsonl");
  std::erase_if(replayed, [&](const json& e) { return e["type"] == "record" && e["index"] >= liveRecords; });
  ExpectSameEntries(live, replayed, "live session");
  const std::string liveCsv = ReadText(Dir / "live" / "session.csv");
  EXPECT_EQ(liveCsv, ReadText(Dir / "live-replay" / "session.csv").substr(0, liveCsv.size()));
}

TEST_F(ReplayTest, DamageReplaysEverythingBeforeItAndSaysSo) {
  const std::string good = ReadText(Dir / "drive.orvcap");
  const std::vector<size_t> starts = RecordStarts(good);
  // A crash leaves no stop record: the last record is then the one before it.
  const size_t last = starts[starts.size() - 3], middle = starts[starts.size() / 2];
  // What replaying exactly the records before the damage writes.
  const auto before = [&](size_t end, const std::string& name) {
    WriteText(Dir / (name + ".orvcap"), good.substr(0, end));
    EXPECT_EQ(Replay(Dir / (name + ".orvcap"), name), 0) << Stderr();
    EXPECT_NE(Stderr().find("did not finish"), std::string::npos) << Stderr();
    return Entries(Dir / name / "session.jsonl");
  };
  const std::vector<json> beforeLast = before(last, "before-last");
  for (const size_t cut : {last + 1, last + TCaptureRecordHeaderSize - 1, last + TCaptureRecordHeaderSize + 3}) {
    WriteText(Dir / "cut.orvcap", good.substr(0, cut));
    ASSERT_EQ(Replay(Dir / "cut.orvcap", "cut"), 0) << "cut at " << cut << ": " << Stderr();
    EXPECT_NE(Stderr().find("cut-off end of " + (Dir / "cut.orvcap").string() + " at byte " + std::to_string(last)),
              std::string::npos) << Stderr();
    ExpectSameEntries(beforeLast, Entries(Dir / "cut" / "session.jsonl"), "cut at " + std::to_string(cut));
  }

  std::string flipped = good;
  flipped[middle + TCaptureRecordHeaderSize + 2] ^= 0x20;
  WriteText(Dir / "flipped.orvcap", flipped);
  ASSERT_EQ(Replay(Dir / "flipped.orvcap", "flipped"), 5) << Stderr();
  EXPECT_NE(Stderr().find("at byte " + std::to_string(middle)), std::string::npos) << Stderr();
  EXPECT_NE(Stderr().find("checksum"), std::string::npos) << Stderr();
  ExpectSameEntries(before(middle, "before-middle"), Entries(Dir / "flipped" / "session.jsonl"), "flipped byte");
}

TEST_F(ReplayTest, RefusesWhatItCannotRead) {
  std::string newer = ReadText(Dir / "drive.orvcap");
  newer[8] = static_cast<char>(TCaptureVersion + 1);
  WriteText(Dir / "newer.orvcap", newer);
  WriteText(Dir / "text.orvcap", "time,longitude,latitude\n");
  const std::map<std::string, std::string> cases{{"newer.orvcap", "newer than this program"},
                                                 {"text.orvcap", "not an Orvik capture"},
                                                 {"missing.orvcap", "cannot open"}};
  for (const auto& [file, says] : cases) {
    EXPECT_EQ(Replay(Dir / file, "refused"), 2) << file;
    EXPECT_NE(Stderr().find(says), std::string::npos) << file << ": " << Stderr();
  }
  EXPECT_FALSE(fs::exists(Dir / "refused")) << "a refused capture still made an output folder";
}

TEST_F(ReplayTest, ReplaysTheBundledSampleWithoutArguments) {
  ASSERT_EQ(Run("cd " + Dir.string() + " && " ORVIK_HOST " replay"), 0) << Stderr();
  EXPECT_NE(ReadText(Dir / "stdout").find("sample-session.orvcap"), std::string::npos);
}

}  // namespace
