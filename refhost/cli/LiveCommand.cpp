// orvik-host live: a session against a handset on a serial port, or against
// the simulated handset on a pseudo-terminal (--simulate). Turns the options
// into the runner's plan (plug-in, port and reader thread, GPS source,
// writers, capture), opening and checking each; the session runner runs it
// and the status line shows it; ends with a one-paragraph summary and an
// exit status that says how the session ended.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/SharedMM.h"
#include "refhost/capture/CaptureWriter.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/OutputPlan.h"
#include "refhost/cli/CellsOption.h"
#include "refhost/cli/SessionSinks.h"
#include "refhost/core/FieldRanges.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/gps/GpsdReader.h"
#include "refhost/gps/NmeaReader.h"
#include "refhost/gps/SimulatedGps.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/RecordValues.h"
#include "refhost/port/PortReader.h"
#include "refhost/port/StatusLine.h"
#include "refhost/port/StopSignals.h"
#include "refhost/run/SessionRunner.h"
#include "refhost/sim/PtyHandset.h"
#include "refhost/sim/SimFiles.h"
#include "refhost/sim/SimulatedDrive.h"
#include "refhost/view/LiveViewServer.h"

namespace {

struct TLiveArgs {
  std::string Port;
  bool Simulate = false;
  bool SimulateGps = false;
  double Duration = 0;
  std::string Out;
  std::string Plugin;
  std::string GpsNmea;
  std::string Gpsd;
  std::string Dial;
  double CallSeconds = 0;
  bool Answer = false;
  std::string Log;
  bool Quiet = false;
  double ConnectTimeout = 50;
  double SilenceLimit = 30;
  uint64_t Seed = 1;
  bool Reconnect = false;
  double ReconnectTimeout = 60;
  double GpsTimeout = 60;
  std::string Record;
  std::string TruthOut;  // --simulate: the simulated network's events
  std::string Pcap;
  std::string Cells;
  bool Force = false;
  bool View = false;
  std::string ViewAddress;
};

// Large enough that ten seconds of a 921,600 baud flood never fill it.
constexpr size_t QueueCapacityBytes = 64u << 20;

std::string DefaultOutDir() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof name, "session-%Y%m%d-%H%M%S", &local);
  return name;
}

// The GPS source the options chose, running on a thread of its own.
class TGpsSource : public TEventSource {
 public:
  std::optional<TSimulatedGps> Simulated;
  std::unique_ptr<TNmeaReader> Nmea;
  std::unique_ptr<TGpsdReader> Gpsd;

  bool Configured() const { return Simulated || Nmea || Gpsd; }
  void Start() override {
    if (Simulated) Simulated->Start();
    if (Nmea) Nmea->Start();
    if (Gpsd) Gpsd->Start();
  }
  void Stop() override {
    if (Simulated) Simulated->Stop();
    if (Nmea) Nmea->Stop();
    if (Gpsd) Gpsd->Stop();
  }
  int64_t RefusedFixes() const { return (Nmea ? Nmea->RefusedFixes() : 0) + (Gpsd ? Gpsd->RefusedFixes() : 0); }
};

// The port's reader thread as one of the runner's sources.
class TReaderSource : public TEventSource {
 public:
  explicit TReaderSource(TPortReader& reader) : Reader(reader) {}
  void Start() override { Reader.Start(); }
  void Stop() override { Reader.Stop(); }

 private:
  TPortReader& Reader;
};

// A number of seconds above zero, with a message that says so.
const CLI::Validator PositiveSeconds(
    [](std::string& text) {
      try {
        if (std::stod(text) > 0) return std::string();
      } catch (const std::exception&) {
      }
      return "needs a number of seconds above 0, not '" + text + "'";
    },
    "SECONDS");

// Text that may not be empty: an empty --gpsd or --dial is a slip, not a
// wish for the default.
CLI::Validator NonEmpty(const std::string& give) {
  return CLI::Validator(
      [give](std::string& text) { return text.empty() ? "is empty: give " + give : std::string(); }, "TEXT");
}

// A whole number from 0 up: "-1" would wrap to the largest seed.
const CLI::Validator WholeNumber(
    [](std::string& text) {
      if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) return std::string();
      return "needs a whole number from 0 up, not '" + text + "'";
    },
    "N");

int ExitStatusOf(TSessionEnd end, bool readerGaveUp) {
  if (readerGaveUp || end == TSessionEnd::LineDropped) return ExitLineDropped;
  if (end == TSessionEnd::NoAnswer) return ExitNoAnswer;
  return ExitOk;
}

class TLiveSession {
 public:
  explicit TLiveSession(const TLiveArgs& args) : Args(args) {}
  int Run();

 private:
  int Prepare();
  // Call once the plug-in is unloaded: its live shared blocks are counted.
  std::string Summary(const TRunOutcome& outcome) const;
  TStatusValues StatusNow(double elapsed, const TSessionStatus& s) const;

  const TLiveArgs& Args;
  TStopSignals Signals;
  std::optional<TLoadedPlugin> Plugin;
  std::optional<TSimulatedDrive> Drive;
  std::unique_ptr<TPtyHandset> Handset;
  std::unique_ptr<TSerialDevicePort> Port;
  TSessionEventQueue Queue{QueueCapacityBytes};
  std::optional<TCellSites> Sites;  // before the writers that borrow it
  TSessionSinks Sinks;
  std::unique_ptr<TCaptureWriter> Capture;
  std::unique_ptr<TPortReader> Reader;
  std::unique_ptr<TReaderSource> ReaderAsSource;
  TGpsSource Gps;
  std::string OutDir;
  TSessionSettings Settings;
  TSessionOptions Options;
  std::unique_ptr<TLiveView> View;
};

int TLiveSession::Prepare() {
  OutDir = Args.Out.empty() ? DefaultOutDir() : Args.Out;
  TOutputPlan plan("live");
  plan.Folder(OutDir, SessionFileNames());
  if (!Args.Record.empty()) plan.Output(Args.Record, "--record", true);
  if (!Args.Pcap.empty()) plan.Output(Args.Pcap, "--pcap", true);
  if (!Args.Log.empty()) plan.Output(Args.Log, "--log", true);
  if (!Args.TruthOut.empty()) plan.Output(Args.TruthOut, "--truth-out", true);
  if (!Args.GpsNmea.empty()) plan.Input(Args.GpsNmea, "--gps-nmea");
  if (!Args.Port.empty()) plan.Input(Args.Port, "--port");
  if (!Args.Cells.empty()) plan.Input(Args.Cells, "--cells");
  if (!plan.Check(Args.Force)) return ExitBadInput;
  if (!LoadCellSites("live", Args.Cells, Sites)) return ExitBadInput;
  // Bound before anything is opened: a port in use leaves nothing behind.
  if (Args.View && !(View = OpenLiveView("live", Args.ViewAddress))) return ExitBadInput;
  if (!Args.Log.empty()) {
    if (const std::string problem = LogPathProblem(Args.Log); !problem.empty()) {
      std::fprintf(stderr, "orvik-host live: %s\n", problem.c_str());
      return ExitBadInput;
    }
  }

  const std::string pluginPath = Args.Plugin.empty() ? DefaultPluginPath() : Args.Plugin;
  try {
    Plugin.emplace(LoadPlugin(pluginPath));
  } catch (const EPluginLoad& e) {
    std::fprintf(stderr, "orvik-host live: %s\n", e.what());
    return ExitBadInput;
  }

  std::string portPath = Args.Port;
  if (Args.Simulate || Args.SimulateGps) Drive.emplace(Args.Seed);
  if (Args.Simulate) {
    TPtyHandsetOptions options;
    options.Simulator.Seed = Args.Seed;
    try {
      Handset = std::make_unique<TPtyHandset>(options);
    } catch (const EPtyHandset& e) {
      std::fprintf(stderr, "orvik-host live: %s\n", e.what());
      return ExitFailure;
    }
    portPath = Handset->Path();
    Settings.Source = "simulate";
    Settings.Seed = Args.Seed;
  } else {
    Settings.Source = portPath;
  }

  Port = std::make_unique<TSerialDevicePort>(portPath);
  try {
    Port->OpenNow();
  } catch (const EPortError& e) {
    std::fprintf(stderr, "orvik-host live: %s\n", e.what());
    return ExitBadInput;
  }

  // One UTC offset for the whole session, even across a daylight-saving
  // change (docs/session-output.md): the host clock and the fixes keep it.
  Settings.UtcOffsetMinutes = UtcOffsetMinutesAt(UtcDaysNow());
  if (!FieldRanges::IsUtcOffset(Settings.UtcOffsetMinutes)) {
    std::fprintf(stderr, "orvik-host live: the system's time zone is %+d minutes from UTC, outside UTC-12:00 to "
                 "UTC+14:00; set TZ to a real zone (e.g. TZ=Europe/Berlin)\n", Settings.UtcOffsetMinutes);
    return ExitBadInput;
  }
  HoldHostClockOffset(Settings.UtcOffsetMinutes);
  const TUtcToHost toHost = FixedUtcOffset(Settings.UtcOffsetMinutes);
  auto onFix = [this](const TGpsFix& fix) { Queue.Push(TSessionEvent::OfFix(fix)); };
  auto onGpsEnd = [this](const std::string& why) { Queue.Push(TSessionEvent::GpsEnded(why)); };
  try {
    if (!Args.GpsNmea.empty()) {
      Gps.Nmea = std::make_unique<TNmeaReader>(Args.GpsNmea, onFix, onGpsEnd, 0, toHost);
      Settings.GpsSource = "nmea:" + Args.GpsNmea;
    } else if (!Args.Gpsd.empty()) {
      std::string host, port;
      if (!TGpsdReader::SplitAddress(Args.Gpsd, host, port)) {
        std::fprintf(stderr, "orvik-host live: --gpsd takes HOST:PORT, e.g. localhost:2947\n");
        return ExitBadInput;
      }
      Gps.Gpsd = std::make_unique<TGpsdReader>(host, port, onFix, onGpsEnd, toHost);
      Settings.GpsSource = "gpsd:" + Args.Gpsd;
    } else if (Drive) {
      Gps.Simulated.emplace(*Drive, onFix, HostClockNow);
      Settings.GpsSource = "simulate";
    }
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "orvik-host live: %s\n", e.what());
    return ExitBadInput;
  }

  // The capture before the session's folder: a capture that cannot be
  // created leaves no empty session behind.
  try {
    if (!Args.Record.empty())
      Capture = std::make_unique<TCaptureWriter>(Args.Record, NewCaptureSalt(), std::chrono::milliseconds(1000),
                                                 [](const std::string& why) { NoteOutputFailure(why); });
    Sinks = MakeSessionSinks(OutDir, Settings, TFlushPolicy::EveryEntry, Args.Pcap, SitesOrNull(Sites),
                             View ? &View->Sink() : nullptr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvik-host live: %s\n", e.what());
    return ExitFailure;
  }
  TSessionOptions& options = Options;
  options.ConnectLimitSeconds = Args.ConnectTimeout;
  options.Reconnect = Args.Reconnect;
  options.LogFile = Args.Log;
  options.DialNumber = Args.Dial;
  options.CallSeconds = Args.CallSeconds;
  options.Answer = Args.Answer;
  options.GpsConfigured = Gps.Configured();
  options.GpsQuietSeconds = Args.GpsTimeout;
  options.Settings = Settings;

  TReaderOptions reading;
  reading.SilenceLimitSeconds = Args.SilenceLimit;
  reading.Reconnect = Args.Reconnect;
  reading.ReconnectTimeoutSeconds = Args.ReconnectTimeout;
  Reader = std::make_unique<TPortReader>(*Port, Queue, reading);
  ReaderAsSource = std::make_unique<TReaderSource>(*Reader);
  return ExitOk;
}

TStatusValues TLiveSession::StatusNow(double elapsed, const TSessionStatus& s) const {
  TStatusValues v;
  v.ElapsedSeconds = elapsed;
  v.Records = s.RecordsWritten;
  v.FramesPerSecond = s.FrameBytesPerSecond;
  v.CallState = CallStateName(s.CallState);
  v.LastFixAgeSeconds = s.LastFixTime > 0 ? (HostClockNow() - s.LastFixTime) * 86400.0 : -1;
  v.QueueFillBytes = Queue.FillBytes();
  v.QueueCapacityBytes = static_cast<int64_t>(Queue.CapacityBytes());
  v.LineUp = s.LineUp && Reader->LineUp();
  if (s.Gps != TGpsState::Fixing && s.Gps != TGpsState::Waiting) v.GpsProblem = GpsStateName(s.Gps);
  v.Counters = s.Counters;
  v.Counters.BytesReceived = Reader->BytesRead();
  v.Kpis = Sinks.Stage->Snapshot();
  return v;
}

std::string TLiveSession::Summary(const TRunOutcome& outcome) const {
  std::string files;
  for (const std::string& f : Sinks.Files) files += (files.empty() ? "" : ", ") + f;
  const TSessionCounters& c = outcome.Counters;
  char text[1024];
  std::snprintf(text, sizeof text,
                "%s: %lld records written to %s (%s). %lld bytes received, "
                "%lld frames decoded, %lld rejected, %lld bytes left undecoded at the stop, %lld gaps, "
                "%lld fixes (%lld refused), %lld GPS outages. %s. Queue high-water %lld bytes, full %lld times. "
                "Shared memory live at exit: %lld blocks, %lld bytes.",
                EndingText("Session", outcome).c_str(), static_cast<long long>(outcome.RecordsWritten),
                OutDir.c_str(), files.c_str(), static_cast<long long>(Reader->BytesRead()),
                static_cast<long long>(c.FramesDecoded), static_cast<long long>(c.FramesRejected),
                static_cast<long long>(c.BytesUndecoded), static_cast<long long>(c.Gaps),
                static_cast<long long>(c.Fixes), static_cast<long long>(Gps.RefusedFixes()),
                static_cast<long long>(c.GpsOutages),
                KpiSentence(Sinks.Stage->Snapshot()).c_str(),
                static_cast<long long>(Queue.HighWaterBytes()), static_cast<long long>(Queue.QueueFull()),
                static_cast<long long>(SharedLiveBlocks()), static_cast<long long>(SharedLiveBytes()));
  return text;
}

int TLiveSession::Run() {
  if (const int status = Prepare(); status != ExitOk) return status;
  std::printf("Writing the session to %s\n", OutDir.c_str());
  if (Handset) std::printf("Simulated handset on %s (seed %llu)\n", Handset->Path().c_str(),
                           static_cast<unsigned long long>(Args.Seed));
  std::fflush(stdout);

  TStatusLine status = TStatusLine::ForStream(stdout);
  TRunPlan plan;
  plan.Plugin = &*Plugin;
  plan.Port = Port.get();
  plan.Queue = &Queue;
  plan.Sources = {ReaderAsSource.get(), &Gps};
  plan.Sinks = Sinks.Front();
  plan.Tap = Capture.get();
  plan.Describe = DescribeRecord;
  plan.Options = Options;
  plan.DurationSeconds = Args.Duration;
  plan.StatusPeriodSeconds = status.RefreshSeconds();
  if (!Args.Quiet || View) {
    plan.OnStatus = [&](double elapsed, const TSessionStatus& s) {
      const TStatusValues values = StatusNow(elapsed, s);
      if (View) View->Status(values);
      if (Args.Quiet) return;
      std::string text = FormatStatus(values);
      if (View && View->ClientsDropped() > 0) text += " | view dropped " + std::to_string(View->ClientsDropped());
      status.Update(elapsed, values.CallState + (values.LineUp ? "" : ", line down"), text);
    };
  }
  plan.OnNotice = [](const std::string& notice) { std::fprintf(stderr, "orvik-host live: %s\n", notice.c_str()); };
  TSessionRunner runner(std::move(plan));
  if (View) View->Start();
  Signals.Start([&runner] { runner.RequestStop(); });
  const TRunOutcome outcome = runner.Run();
  Signals.Stop();  // before the runner goes
  status.Finish();
  if (View) View->Stop();

  if (Handset) Handset->Stop();
  if (Handset && !Args.TruthOut.empty()) {
    try {
      WriteSimTruth(Args.TruthOut, Handset->Truth());
    } catch (const EOutputWrite& e) {
      NoteOutputFailure(e.what());
    }
  }
  if (outcome.Failure) {
    try {
      std::rethrow_exception(outcome.Failure);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orvik-host live: the session failed: %s\n", e.what());
    }
    return ExitFailure;
  }
  const int exitStatus = ExitStatusOf(outcome.End, Reader->GaveUp());
  // The runner has released every record; the plug-in goes last (its own
  // static strings live until it is unloaded): what is left leaked.
  Plugin.reset();
  // Files the session could not see fail: said now, and the exit status is 1
  // (main counts what NoteOutputFailure noted).
  if (Capture) Capture->Close();
  if (!Args.Log.empty())
    if (const std::string problem = LogWriteProblem(Args.Log); !problem.empty()) NoteOutputFailure(problem);
  std::printf("%s\n", Summary(outcome).c_str());
  if (View) {
    const long long dropped = View->ClientsDropped();
    std::printf("Live view: %lld clients dropped for falling behind.\n", dropped);
    if (dropped > 0)
      std::fprintf(stderr, "orvik-host live: the live view dropped %lld clients that fell behind; their pages "
                   "miss the end of the session: open report.html\n", dropped);
  }
  if (exitStatus != ExitOk) std::fprintf(stderr, "orvik-host live: %s\n", outcome.EndMessage.c_str());
  return exitStatus;
}

}  // namespace

TCommand AddLiveCommand(CLI::App& app) {
  auto args = std::make_shared<TLiveArgs>();
  CLI::App* live = app.add_subcommand("live", "Run a session against a handset (or the simulated one)");
  live->footer(
      "A dropped line: a read fails (device removed, the other end closed), or the handset,\n"
      "having spoken, sends nothing for --silence-limit seconds. A handset silent for less\n"
      "keeps the session running, and GPS fixes go on being recorded meanwhile.\n"
      "\n"
      "Nothing an earlier run left is overwritten without --force: a --out folder that holds a\n"
      "session, an existing --record, --pcap or --log file. No two paths may be the same file.\n"
      "\n"
      "--view serves the live page and its stream, nothing else, on the loopback address unless\n"
      "another is given; at most 4 browsers at once; a page that falls behind is dropped.\n"
      "\n"
      "Exit statuses: 0 done (duration reached or Ctrl-C), 1 the session failed (e.g. writing\n"
      "the outputs), 2 bad input or usage (options, port, plug-in, --view address), 3 the\n"
      "handset never answered the connect request, 4 the line dropped and was not regained.\n");
  auto* source = live->add_option_group("source", "where the handset is");
  source->add_option("--port", args->Port, "serial port of the handset, e.g. /dev/ttyUSB0");
  source->add_flag("--simulate", args->Simulate,
                   "run the simulated handset on a pseudo-terminal, with a simulated GPS along its drive");
  source->require_option(1);
  live->add_option("--duration", args->Duration, "stop after this many seconds (default: until Ctrl-C)")
      ->check(PositiveSeconds);
  live->add_option("--out", args->Out, "output folder (default: a new session-DATE-TIME folder)");
  live->add_option("--plugin", args->Plugin, "the plug-in library (default: next to orvik-host)");
  auto* gps = live->add_option_group("gps", "where the fixes come from");
  gps->add_option("--gps-nmea", args->GpsNmea, "NMEA 0183 from a file or a serial GPS")
      ->check(NonEmpty("the NMEA file or serial GPS, or leave out --gps-nmea"));
  gps->add_option("--gpsd", args->Gpsd, "the gpsd daemon at HOST:PORT, e.g. localhost:2947")
      ->check(NonEmpty("HOST:PORT, e.g. localhost:2947, or leave out --gpsd"));
  gps->add_flag("--simulate-gps", args->SimulateGps, "a simulated GPS along the seeded drive");
  gps->require_option(0, 1);
  live->add_option("--gps-timeout", args->GpsTimeout,
                   "seconds without a fix after which records are written without a position (default 60)")
      ->check(PositiveSeconds);
  auto* dial = live->add_option("--dial", args->Dial, "dial this number once the test runs")
                   ->check(NonEmpty("the number to dial, or leave out --dial"));
  live->add_option("--call-seconds", args->CallSeconds, "hang up this many seconds after dialling")
      ->needs(dial)
      ->check(PositiveSeconds);
  live->add_flag("--answer", args->Answer, "answer incoming calls");
  live->add_option("--log", args->Log, "write the plug-in's raw log to this file");
  live->add_flag("--quiet", args->Quiet, "no status line");
  live->add_option("--connect-timeout", args->ConnectTimeout,
                   "seconds the handset has to answer the connect request (default 50)")
      ->check(PositiveSeconds);
  live->add_option("--silence-limit", args->SilenceLimit,
                   "seconds without a byte, once the handset has spoken, that count as a dropped line (default 30)")
      ->check(PositiveSeconds);
  live->add_option("--seed", args->Seed, "seed of the simulated handset and drive (default 1)")->check(WholeNumber);
  auto* reconnect = live->add_flag("--reconnect", args->Reconnect,
                                   "when the line drops, keep reopening the port (back-off 0.25 s doubling to 5 s)");
  live->add_option("--reconnect-timeout", args->ReconnectTimeout,
                   "give up reconnecting after this many seconds (default 60)")
      ->needs(reconnect)
      ->check(PositiveSeconds);
  live->add_option("--record", args->Record, "write a capture of the session to this file");
  live->add_option("--truth-out", args->TruthOut,
                   "with --simulate: write the events the simulated network made (JSON Lines) to this file")
      ->needs(source->get_option("--simulate"));
  live->add_option("--pcap", args->Pcap, "write the signalling as a pcap for Wireshark to this file");
  live->add_option("--cells", args->Cells,
                   "cell sites (OpenCelliD CSV layout): on the maps, with each record's distance to its site");
  live->add_flag("--force", args->Force,
                 "replace what an earlier run left: the session in --out, and an existing --record, --pcap "
                 "or --log file");
  live->add_option("--view", args->ViewAddress,
                   "serve the live view to a browser at HOST:PORT while the session runs (default 127.0.0.1:" +
                       std::to_string(DefaultViewPort) + "; :0 picks a free port)")
      ->expected(0, 1);
  return {live, [args, live] {
            args->View = live->count("--view") > 0;
            TLiveSession session(*args);
            return session.Run();
          }};
}
