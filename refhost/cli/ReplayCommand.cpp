// orvik-host replay: plays a capture back through the plug-in, the way a host
// replays a recorded file, and writes the same outputs as the live session.
// With no file it replays the bundled sample session.
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "refhost/capture/ReplaySession.h"
#include "refhost/cli/CellsOption.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/OutputPlan.h"
#include "refhost/cli/SessionSinks.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/output/RecordValues.h"
#include "refhost/port/StatusLine.h"
#include "refhost/port/StopSignals.h"
#include "refhost/view/LiveViewServer.h"

namespace {

struct TReplayArgs {
  std::string File;
  std::string Out;
  std::string Plugin;
  bool Realtime = false;
  std::string Pcap;
  std::string Cells;
  bool Force = false;
  bool View = false;
  std::string ViewAddress;
};

constexpr const char* SampleName = "sample-session.orvcap";

// The bundled sample: beside the program (the build copies it there), else
// where the source tree keeps it.
std::string BundledSample() {
  const std::filesystem::path beside =
      std::filesystem::path(DefaultPluginPath()).parent_path() / SampleName;
  std::error_code error;
  if (std::filesystem::is_regular_file(beside, error)) return beside.string();
  return ORVIK_SAMPLE_CAPTURE;
}

std::string DefaultOutDir() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof name, "replay-%Y%m%d-%H%M%S", &local);
  return name;
}

// The status line's values as a replay knows them: no queue, no fix age
// (the fixes' clock is the recording's).
TStatusValues ReplayStatus(double elapsed, const TSessionStatus& s) {
  TStatusValues v;
  v.ElapsedSeconds = elapsed;
  v.Records = s.RecordsWritten;
  v.FramesPerSecond = s.FrameBytesPerSecond;
  v.CallState = CallStateName(s.CallState);
  v.LineUp = s.LineUp;
  v.Counters = s.Counters;
  return v;
}

int RunReplay(const TReplayArgs& args) {
  // Ctrl-C ends the replay as the end of the capture would: complete files.
  TStopSignals signals;
  const std::string file = args.File.empty() ? BundledSample() : args.File;
  const std::string outDir = args.Out.empty() ? DefaultOutDir() : args.Out;
  TOutputPlan plan("replay");
  plan.Input(file, "the capture");
  plan.Folder(outDir, SessionFileNames());
  if (!args.Pcap.empty()) plan.Output(args.Pcap, "--pcap", true);
  if (!args.Cells.empty()) plan.Input(args.Cells, "--cells");
  if (!plan.Check(args.Force)) return ExitBadInput;
  std::optional<TCellSites> sites;
  if (!LoadCellSites("replay", args.Cells, sites)) return ExitBadInput;
  std::unique_ptr<TLiveView> view;
  if (args.View && !(view = OpenLiveView("replay", args.ViewAddress))) return ExitBadInput;
  std::unique_ptr<TReplaySession> session;
  std::unique_ptr<TLoadedPlugin> plugin;
  try {
    session = std::make_unique<TReplaySession>(file, args.Realtime);
    plugin = std::make_unique<TLoadedPlugin>(
        LoadPlugin(args.Plugin.empty() ? DefaultPluginPath() : args.Plugin));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvik-host replay: %s\n", e.what());
    return ExitBadInput;
  }

  TSessionSinks sinks;
  try {
    sinks = MakeSessionSinks(outDir, session->Settings(),
                             args.Realtime ? TFlushPolicy::EveryEntry : TFlushPolicy::WhenFull, args.Pcap,
                             SitesOrNull(sites), view ? &view->Sink() : nullptr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvik-host replay: %s\n", e.what());
    return ExitFailure;
  }
  const std::vector<TRecordSink*> borrowed = sinks.Front();
  std::printf("Replaying %s into %s\n", file.c_str(), outDir.c_str());
  std::fflush(stdout);

  signals.Start([&session] { session->RequestStop(); });
  std::function<void(double, const TSessionStatus&)> onStatus;
  if (view) {
    view->Start();
    onStatus = [&view, &sinks](double elapsed, const TSessionStatus& s) {
      TStatusValues values = ReplayStatus(elapsed, s);
      values.Kpis = sinks.Stage->Snapshot();
      view->Status(values);
    };
  }
  TReplayOutcome outcome;
  try {
    outcome = session->Run(*plugin, borrowed, onStatus);
  } catch (const std::exception& e) {
    signals.Stop();
    if (view) view->Stop();
    std::fprintf(stderr, "orvik-host replay: the replay failed: %s\n", e.what());
    return ExitFailure;
  }
  signals.Stop();  // before the session goes
  if (view) view->Stop();
  const TSessionKpis kpis = sinks.Stage->Snapshot();
  sinks.Stage.reset();
  sinks.Writers.clear();  // closes the files before the summary says they are there
  std::string files;
  for (const std::string& f : sinks.Files) files += (files.empty() ? "" : ", ") + f;
  const TSessionCounters& c = outcome.Counters;
  std::printf("Replay ended (%s): %lld records written to %s (%s). %lld bytes replayed, "
              "%lld frames decoded, %lld rejected, %lld gaps, %lld fixes%s. %s.\n",
              SessionEndName(outcome.End), static_cast<long long>(outcome.RecordsWritten),
              outDir.c_str(), files.c_str(), static_cast<long long>(c.BytesReceived),
              static_cast<long long>(c.FramesDecoded), static_cast<long long>(c.FramesRejected),
              static_cast<long long>(c.Gaps), static_cast<long long>(c.Fixes),
              outcome.End == TSessionEnd::StoppedByUser ? "; the rest of the capture was not replayed" : "",
              KpiSentence(kpis).c_str());
  if (!outcome.Warning.empty()) std::fprintf(stderr, "orvik-host replay: %s\n", outcome.Warning.c_str());
  if (outcome.PortBytesWritten != 0)
    std::fprintf(stderr, "orvik-host replay: warning: the plug-in sent %lld bytes to the port during "
                         "a replay; it should send none\n",
                 static_cast<long long>(outcome.PortBytesWritten));
  if (view)
    std::printf("Live view: %lld clients dropped for falling behind.\n",
                static_cast<long long>(view->ClientsDropped()));
  return ReplayExitStatus(outcome) == 5 ? ExitCaptureCorrupt : ExitOk;
}

}  // namespace

TCommand AddReplayCommand(CLI::App& app) {
  auto args = std::make_shared<TReplayArgs>();
  CLI::App* replay = app.add_subcommand("replay", "Play a capture back through the plug-in");
  replay->footer(
      "Without FILE, replays the bundled sample session (a simulated drive with a call and a\n"
      "dropped line).\n"
      "\n"
      "A --out folder that holds a session and an existing --pcap file are kept unless --force.\n"
      "\n"
      "Exit statuses: 0 done (also when the capture is cut off at its end: a warning says\n"
      "where), 1 the replay failed (e.g. writing the outputs), 2 bad input (not a capture, a\n"
      "newer capture version, a plug-in that does not load), 5 the capture is corrupt in the\n"
      "middle (everything before the damage is written).");
  replay->add_option("FILE", args->File, "the capture (default: the bundled sample session)");
  replay->add_option("--out", args->Out, "output folder (default: a new replay-DATE-TIME folder)");
  auto* realtime =
      replay->add_flag("--realtime", args->Realtime, "replay at the recorded pace (default: as fast as possible)");
  replay->add_option("--plugin", args->Plugin, "the plug-in library (default: next to orvik-host)");
  replay->add_option("--pcap", args->Pcap, "write the signalling as a pcap for Wireshark to this file");
  replay->add_option("--cells", args->Cells,
                     "cell sites (OpenCelliD CSV layout): on the maps, with each record's distance to its site");
  replay->add_flag("--force", args->Force,
                   "replace what an earlier run left: the session in --out, an existing --pcap");
  replay->add_option("--view", args->ViewAddress,
                     "serve the live view to a browser at HOST:PORT as the replay goes (default 127.0.0.1:" +
                         std::to_string(DefaultViewPort) + "; :0 picks a free port); after FILE")
      ->expected(0, 1)
      ->needs(realtime);
  return {replay, [args, replay] {
            args->View = replay->count("--view") > 0;
            // "--view FILE": the option takes the word that was meant as the capture.
            std::error_code error;
            if (args->View && args->File.empty() && std::filesystem::is_regular_file(args->ViewAddress, error))
              args->File = std::exchange(args->ViewAddress, std::string());
            return RunReplay(*args);
          }};
}
