// What orvik-host may never do to the files a user has, and how it says that
// a file failed: one table of command lines run against the built program in
// a folder of their own. A row is a shell line that sets the scene, the
// command, the exit status and a piece of stderr it must give, the files
// that must come out byte for byte as they went in, and a shell check of
// what is left. $H is the program ($ORVIK_HOST when set, to run the table
// against another build), $BASE a finished session folder, $CAP a capture.
// Rows marked Full get ./full, a tmpfs filled to the last block; devices
// are made in the case's folder (mknod), never the system's own.
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct TCase {
  const char* Name;
  const char* Setup;  // shell, in the case's folder
  std::string Command;
  int Status;
  const char* Stderr;  // a piece of what stderr must say ("" for nothing asked)
  std::vector<std::string> Kept;  // files that must not change
  const char* Check = "";         // shell that must succeed afterwards
  bool Full = false;
};

const char* const Live = "$H live --simulate --duration 1 --quiet";

std::string L(const std::string& rest) { return std::string(Live) + " " + rest; }

const std::vector<TCase> Cases = {
    // 1: a bad input never costs the output.
    {"TypoKeepsOutput", "echo keep > f.txt", "$H report no-such-dir --out f.txt", 2, "does not exist", {"f.txt"}},
    // A device of the case's own stands for /dev/null: today's code removes it.
    {"TypoKeepsDevice", "mknod null c 1 3", "$H report typo --out null", 2, "does not exist", {}, "test -c null"},
    {"BadLineKeepsReport", "cp -r $BASE S && sed -i '3s/.*/not json/' S/session.jsonl", "$H report S", 2, "",
     {"S/report.html"}},
    {"BadLineKeepsGpx", "cp -r $BASE S && sed -i '3s/.*/not json/' S/session.jsonl", "$H export --format gpx S", 2,
     "", {"S/session.gpx"}, "test -z \"$(ls -A S | grep tmp)\""},
    // 2: the output is the input.
    {"GeojsonOntoJsonl", "cp -r $BASE S", "$H export --format geojson S --out S/session.jsonl", 2, "session.jsonl",
     {"S/session.jsonl"}},
    {"ReportOntoJsonl", "cp -r $BASE S", "$H report S --out S/session.jsonl", 2, "which this run reads",
     {"S/session.jsonl"}},
    {"ReportOntoCsvLink", "cp -r $BASE S && ln -s S/session.csv link.html", "$H report S --out link.html", 2,
     "session.csv", {"S/session.csv"}},
    {"PcapDefaultIsInput", "cp $CAP drive.pcap", "$H export --format pcap drive.pcap", 2, "drive.pcap",
     {"drive.pcap"}},
    // 3: one path for two outputs.
    {"RecordIsPcap", "", L("--out N --record S --pcap S"), 2, "same file", {}, "test ! -e S"},
    {"RecordIsSessionJsonl", "", L("--out N --record N/session.jsonl"), 2, "same file", {}},
    {"PcapIsSessionCsv", "", L("--out N --pcap N/../N/session.csv"), 2, "same file", {}},
    {"ReplayPcapIsInput", "cp $CAP c.orvcap", "$H replay c.orvcap --out R --pcap c.orvcap --force", 2, "this run reads",
     {"c.orvcap"}},
    // 4: an earlier session and capture are kept.
    {"OutOntoSession", "cp -r $BASE S", L("--out S"), 2, "--force",
     {"S/session.csv", "S/session.jsonl", "S/report.html", "S/session.gpx", "S/session.kml", "S/session.geojson"}},
    {"OutOntoEventsOnly", "mkdir S && echo keep > S/events.csv", L("--out S"), 2, "--force", {"S/events.csv"}},
    {"RecordDirKeepsSession", "cp -r $BASE S && mkdir rec", L("--out S --record rec"), 2, "",
     {"S/session.csv", "S/session.jsonl", "S/report.html"}},
    {"RecordOntoCapture", "cp $CAP c.orvcap", L("--out N --record c.orvcap"), 2, "--force", {"c.orvcap"},
     "test ! -e N"},
    {"ForceReplaces", "cp -r $BASE S", L("--out S --force"), 0, "", {},
     "! cmp -s S/session.jsonl $BASE/session.jsonl && ! ls -A S | grep -q tmp"},
    // 5 and the full disks: every kind of output says it failed, exit 1.
    {"CaptureOnDevFull", "mknod df c 1 7", L("--out N --record df"), 1, "capture", {}, "test -s N/session.jsonl"},
    {"LogOnDevFull", "mknod df c 1 7", L("--out N --log df"), 2, "regular file", {}, "test ! -e N"},
    {"PcapOnDevFull", "mknod df c 1 7", "$H replay $CAP --out R --pcap df", 1, "pcap", {}},
    {"ReportOnDevFull", "mknod df c 1 7", "$H report $BASE --out df", 1, "df", {}},
    {"SessionOnFullDisk", "", L("--out full/S"), 1, "cannot write", {}, "", true},
    {"CaptureOnFullDisk", "", L("--out N --record full/c.orvcap"), 1, "capture", {}, "", true},
    {"PcapOnFullDisk", "", L("--out N --pcap full/p.pcap"), 1, "p.pcap", {}, "! ls -A full | grep -q tmp", true},
    {"LogOnFullDisk", "", L("--out N --log full/raw.log"), 1, "raw.log", {}, "", true},
    {"ExportOnFullDisk", "echo old > full/x.kml", "$H export --format kml $BASE --out full/x.kml", 1, "x.kml",
     {"full/x.kml"}, "", true},
    {"ReportOnFullDisk", "echo old > full/r.html", "$H report $BASE --out full/r.html", 1, "r.html",
     {"full/r.html"}, "! ls -A full | grep -q tmp", true},
    // 10: usage errors say what to give instead.
    {"RecordIsFolder", "mkdir rec", L("--out N --record rec"), 2, "give a file name", {}, "test ! -e N"},
    {"OutIsFile", "echo keep > f.txt", L("--out f.txt"), 2, "not a folder", {"f.txt"}},
    {"SeedNegative", "", L("--out N --seed -1"), 2, "whole number", {}, "test ! -e N"},
    {"GpsNmeaEmpty", "", L("--out N --gps-nmea ''"), 2, "--gps-nmea", {}, "test ! -e N"},
    {"GpsdEmpty", "", L("--out N --gpsd ''"), 2, "--gpsd", {}, "test ! -e N"},
    {"SimLinkOntoFile", "echo keep > f.txt", "$H simulate-handset --pty --link f.txt --duration 1", 2, "--link",
     {"f.txt"}},
    {"DialEmpty", "", L("--out N --dial ''"), 2, "--dial", {}, "test ! -e N"},
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

int Shell(const fs::path& dir, const std::string& line) {
  const int status = std::system(("cd '" + dir.string() + "' && " + line).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SafeOutput : public ::testing::TestWithParam<TCase> {
 protected:
  static void SetUpTestSuite() {
    Root = fs::temp_directory_path() / ("safe-output-" + std::to_string(::getpid()));
    fs::create_directories(Root);
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    const char* other = std::getenv("ORVIK_HOST");
    ::setenv("H", other ? other : (bin / "orvik-host").c_str(), 1);
    ::setenv("CAP", (bin / "sample-session.orvcap").c_str(), 1);
    ::setenv("BASE", (Root / "base").c_str(), 1);
    ASSERT_EQ(Shell(Root, "$H replay --out base >/dev/null"), 0);
  }
  static void TearDownTestSuite() { fs::remove_all(Root); }
  void TearDown() override {
    if (Mounted) ::umount((Dir / "full").c_str());
    if (!HasFailure()) fs::remove_all(Dir);
  }

  static inline fs::path Root;
  fs::path Dir;
  bool Mounted = false;
};

TEST_P(SafeOutput, KeepsFilesAndSaysWhatFailed) {
  const TCase& c = GetParam();
  Dir = Root / c.Name;
  fs::create_directories(Dir / "full");
  if (c.Full) {
    if (::mount("tmpfs", (Dir / "full").c_str(), "tmpfs", 0, "size=256k") != 0)
      GTEST_SKIP() << "no small tmpfs to fill (mount needs root): " << std::strerror(errno);
    Mounted = true;
  }
  ASSERT_EQ(Shell(Dir, c.Setup[0] ? c.Setup : "true"), 0) << c.Setup;
  if (c.Full) Shell(Dir, "dd if=/dev/zero of=full/fill bs=4096 2>/dev/null");
  std::map<std::string, std::string> before;
  for (const std::string& f : c.Kept) before[f] = ReadBytes(Dir / f);

  const int status = Shell(Dir, c.Command + " >out.txt 2>err.txt");
  const std::string err = ReadBytes(Dir / "err.txt");
  EXPECT_EQ(status, c.Status) << c.Command << "\n" << err;
  EXPECT_NE(err.find(c.Stderr), std::string::npos) << c.Command << "\n" << err;
  if (c.Status != 0) {
    EXPECT_NE(err.find("orvik-host "), std::string::npos) << err;
  }
  for (const std::string& f : c.Kept) {
    EXPECT_TRUE(fs::exists(Dir / f)) << f;
    EXPECT_EQ(ReadBytes(Dir / f), before[f]) << f << " changed";
  }
  if (c.Check[0]) {
    EXPECT_EQ(Shell(Dir, c.Check), 0) << c.Check;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SafeOutput, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
