// orvik-host kpi end to end: the figures of a capture, of the session folder
// its replay wrote and of that folder's JSON Lines (read back, derived again)
// are the same, and equal the summary's "kpi"; Python's json reads them all.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

struct TRun {
  int Status = -1;
  std::string Out;
};

TRun Shell(const std::string& command) {
  TRun run;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) run.Out.append(buffer, n);
    const int raw = ::pclose(p);
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  return run;
}

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

class KpiCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    Bin = fs::read_symlink("/proc/self/exe").parent_path();
    Host = Bin / "orvik-host";
    // A folder name with a space, as a user's "Drive tests" folder has.
    Dir = fs::temp_directory_path() / ("orvik kpi " + std::to_string(::getpid()));
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  fs::path Bin, Host, Dir;
};

TEST_F(KpiCommand, CaptureFolderAndJsonLinesGiveTheSameFigures) {
  const fs::path sample = Bin / "sample-session.orvcap";
  if (!fs::exists(Host) || !fs::exists(sample)) GTEST_SKIP() << "orvik-host and the sample are built beside the tests";
  if (Shell("command -v python3").Out.empty()) GTEST_SKIP() << "python3 is not installed";
  const fs::path out = Dir / "replay";
  ASSERT_EQ(Shell(Quoted(Host) + " replay " + Quoted(sample) + " --out " + Quoted(out) + " >/dev/null").Status, 0);
  struct TInput {
    const char* Name;
    fs::path Path;
  };
  const TInput inputs[] = {{"capture", sample}, {"folder", out}, {"jsonl", out / "session.jsonl"}};
  for (const TInput& in : inputs) {
    const TRun kpi = Shell(Quoted(Host) + " kpi --json " + Quoted(in.Path) + " > " + Quoted(Dir / (std::string(in.Name) + ".json")));
    ASSERT_EQ(kpi.Status, 0) << in.Name;
  }
  const std::string check =
      "python3 -c \"\n"
      "import json, sys\n"
      "d = sys.argv[1]\n"
      "figures = [json.load(open(d + '/' + n + '.json')) for n in ('capture', 'folder', 'jsonl')]\n"
      "summary = [json.loads(l) for l in open(d + '/replay/session.jsonl')][-1]\n"
      "events = [json.loads(l) for l in open(d + '/replay/session.jsonl') if json.loads(l)['type'] == 'event']\n"
      "assert all(f == summary['kpi'] for f in figures), 'figures differ'\n"
      "assert summary['calls_set_up'] == summary['kpi']['call_setups'], 'calls_set_up'\n"
      "assert summary['calls_dropped'] == summary['kpi']['call_drops'], 'calls_dropped'\n"
      "kinds = [e['kind'] for e in events]\n"
      "assert kinds.count('call_attempt') == summary['kpi']['call_attempts'], 'attempt lines'\n"
      "assert kinds.count('line_gap') == summary['kpi']['line_gaps'], 'gap lines'\n"
      "r = summary['kpi']['call_setup_success_ratio']\n"
      "assert r is None or 0 <= r <= 1\n"
      "print('same')\n"
      "\" " + Quoted(Dir);
  const TRun same = Shell(check + " 2>&1");
  EXPECT_EQ(same.Out, "same\n");
}

}  // namespace
