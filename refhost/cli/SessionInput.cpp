#include "refhost/cli/SessionInput.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/capture/ReplaySession.h"
#include "refhost/cli/CellsOption.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/OutputPlan.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/output/JsonLines.h"
#include "refhost/output/OutputFile.h"

namespace fs = std::filesystem;

namespace {

// Forwards to the writer, and remembers whether the input had a summary.
class TFinishOnce : public TRecordSink {
 public:
  explicit TFinishOnce(TRecordSink& to) : To(to) {}
  void OnStart(const TSessionSettings& s) override { To.OnStart(s); }
  void OnFix(const TGpsFix& f) override { To.OnFix(f); }
  void OnRecord(const THostRecord& r) override { To.OnRecord(r); }
  void OnGap(const TSessionGap& g) override { To.OnGap(g); }
  void OnFinish(const TSessionCounters& c) override {
    if (!Finished) To.OnFinish(c);
    Finished = true;
  }
  bool Finished = false;

 private:
  TRecordSink& To;
};

int Refuse(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "orvik-host %s: %s\n", command.c_str(), message.c_str());
  return ExitBadInput;
}

int PlayJsonLines(const std::string& command, const std::string& path, TFinishOnce& sink) {
  // Read in large pieces: a campaign reads gigabytes this way.
  std::vector<char> buffer(1 << 20);
  std::ifstream in;
  in.rdbuf()->pubsetbuf(buffer.data(), std::streamsize(buffer.size()));
  in.open(path, std::ios::binary);
  if (!in) return Refuse(command, "cannot open " + path + ": check the path and that it is readable");
  std::string error, warning;
  if (!ReadJsonLines(in, sink, error, warning))
    return Refuse(command, path + ": " + error + "; give the session.jsonl a session wrote");
  if (!warning.empty())
    std::fprintf(stderr, "orvik-host %s: warning: %s: %s\n", command.c_str(), path.c_str(), warning.c_str());
  return ExitOk;
}

int PlayCapture(const std::string& command, const std::string& path, const std::string& plugin, TFinishOnce& sink) {
  std::unique_ptr<TReplaySession> session;
  std::unique_ptr<TLoadedPlugin> loaded;
  try {
    session = std::make_unique<TReplaySession>(path, false);
    loaded = std::make_unique<TLoadedPlugin>(LoadPlugin(plugin.empty() ? DefaultPluginPath() : plugin));
  } catch (const std::exception& e) {
    return Refuse(command, std::string(e.what()) +
                               " (INPUT is a session folder, its session.jsonl, or a capture)");
  }
  const TReplayOutcome outcome = session->Run(*loaded, {&sink});
  if (!outcome.Warning.empty()) std::fprintf(stderr, "orvik-host %s: %s\n", command.c_str(), outcome.Warning.c_str());
  return ReplayExitStatus(outcome) == 5 ? ExitCaptureCorrupt : ExitOk;
}

}  // namespace

TSessionInputKind SessionInputKind(const std::string& input) {
  std::error_code error;
  if (fs::is_directory(input, error)) return TSessionInputKind::Folder;
  std::ifstream in(input, std::ios::binary);
  char first = 0;
  return in.get(first) && first == '{' ? TSessionInputKind::JsonLines : TSessionInputKind::Capture;
}

int PlaySessionInput(const std::string& command, const std::string& input, const std::string& plugin,
                     TRecordSink& sink) {
  std::error_code error;
  if (!fs::exists(input, error))
    return Refuse(command, input + " does not exist: give a session folder, its session.jsonl, or a capture");
  TFinishOnce once(sink);
  int status = ExitOk;
  switch (SessionInputKind(input)) {
    case TSessionInputKind::Folder: {
      const fs::path jsonl = fs::path(input) / "session.jsonl";
      if (!fs::is_regular_file(jsonl, error))
        return Refuse(command, input + " holds no session.jsonl: give the folder a live session or replay wrote");
      status = PlayJsonLines(command, jsonl.string(), once);
      break;
    }
    case TSessionInputKind::JsonLines:
      status = PlayJsonLines(command, input, once);
      break;
    case TSessionInputKind::Capture:
      status = PlayCapture(command, input, plugin, once);
      break;
  }
  if (status == ExitBadInput) return status;
  once.OnFinish({});
  return status;
}

int WriteSessionInput(const std::string& command, const std::string& input, const std::string& plugin,
                      const std::string& out,
                      const std::function<std::unique_ptr<TRecordSink>(const TCellSites*)>& open,
                      const char* wroteTail, const std::string& cells) {
  std::error_code error;
  if (!fs::exists(input, error))
    return Refuse(command, input + " does not exist: give a session folder, its session.jsonl, or a capture");
  // The session's own records may not be overwritten by what is made of them.
  TOutputPlan plan(command);
  plan.Input(input, "INPUT");
  const bool isFolder = SessionInputKind(input) == TSessionInputKind::Folder;
  if (isFolder || fs::path(input).filename() == "session.jsonl") {
    const fs::path folder = isFolder ? fs::path(input) : fs::path(input).parent_path();
    for (const char* name : {"session.jsonl", "session.csv"})
      plan.Input((folder / name).string(), "the session's file");
  }
  if (!cells.empty()) plan.Input(cells, "--cells");
  plan.Output(out, "the output", false);
  if (!plan.Check(false)) return ExitBadInput;
  std::optional<TCellSites> sites;
  if (!LoadCellSites(command, cells, sites)) return ExitBadInput;

  int status = ExitOk;
  try {
    const std::unique_ptr<TRecordSink> writer = open(SitesOrNull(sites));
    TAnalysisStage stage({writer.get()}, SitesOrNull(sites));
    status = PlaySessionInput(command, input, plugin, stage);
  } catch (const EOutputWrite& e) {
    std::fprintf(stderr, "orvik-host %s: %s\n", command.c_str(), e.what());
    return ExitFailure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvik-host %s: the %s failed: %s\n", command.c_str(), command.c_str(), e.what());
    return ExitFailure;
  }
  if (status == ExitBadInput) return status;
  std::printf("Wrote %s%s\n", out.c_str(), wroteTail);
  return status;
}
