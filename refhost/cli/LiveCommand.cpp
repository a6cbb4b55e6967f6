// orvik-host live: a session against a handset on a serial port, or against
// the simulated handset on a pseudo-terminal (--simulate). Parses options and
// wires the units: plug-in, port and reader thread, GPS source, session
// driver, record store and writers; shows the status line; ends with a
// one-paragraph summary and an exit status that says how the session ended.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/SharedMM.h"
#include "refhost/capture/CaptureWriter.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/SessionSinks.h"
#include "refhost/core/FieldRanges.h"
#include "refhost/core/PluginLoader.h"
#include "refhost/core/RecordStore.h"
#include "refhost/core/SessionDriver.h"
#include "refhost/gps/GpsdReader.h"
#include "refhost/gps/NmeaReader.h"
#include "refhost/gps/SimulatedGps.h"
#include "refhost/output/IsoTime.h"
#include "refhost/output/OutputFile.h"
#include "refhost/output/RecordValues.h"
#include "refhost/port/PortReader.h"
#include "refhost/port/StatusLine.h"
#include "refhost/sim/PtyHandset.h"
#include "refhost/sim/SimulatedDrive.h"

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
  std::string Record;
  std::string Pcap;
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

// Ctrl-C and SIGTERM are taken by one thread of their own (sigwait), which
// asks the session to stop; no other thread ever sees them.
class TStopSignals {
 public:
  TStopSignals() {
    sigemptyset(&Set);
    sigaddset(&Set, SIGINT);
    sigaddset(&Set, SIGTERM);
    sigaddset(&Set, SIGUSR1);  // our own "quit waiting" at the end
    pthread_sigmask(SIG_BLOCK, &Set, &Old);
  }
  ~TStopSignals() {
    if (Waiter.joinable()) {
      pthread_kill(Waiter.native_handle(), SIGUSR1);
      Waiter.join();
    }
    pthread_sigmask(SIG_SETMASK, &Old, nullptr);
  }
  // Starts the waiting thread; onStop runs on it at the first Ctrl-C.
  void Start(std::function<void()> onStop) {
    Waiter = std::thread([this, onStop = std::move(onStop)] {
      int signal = 0;
      while (sigwait(&Set, &signal) == 0 && signal != SIGUSR1) onStop();
    });
  }

 private:
  sigset_t Set{};
  sigset_t Old{};
  std::thread Waiter;
};

// The GPS source the options chose, running on a thread of its own.
class TGpsSource {
 public:
  std::optional<TSimulatedGps> Simulated;
  std::unique_ptr<TNmeaReader> Nmea;
  std::unique_ptr<TGpsdReader> Gpsd;

  void Start() {
    if (Simulated) Simulated->Start();
    if (Nmea) Nmea->Start();
    if (Gpsd) Gpsd->Start();
  }
  void Stop() {
    if (Simulated) Simulated->Stop();
    if (Nmea) Nmea->Stop();
    if (Gpsd) Gpsd->Stop();
  }
  int64_t RefusedFixes() const { return (Nmea ? Nmea->RefusedFixes() : 0) + (Gpsd ? Gpsd->RefusedFixes() : 0); }
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

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

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
  void StartSources();
  void Watch();
  void StopSources();
  // Call once the plug-in is unloaded: its live shared blocks are counted.
  std::string Summary(TSessionEnd end, double elapsed, const TSessionCounters& counters, int64_t written) const;
  TStatusValues StatusNow(double elapsed) const;

  const TLiveArgs& Args;
  TStopSignals Signals;
  std::optional<TLoadedPlugin> Plugin;
  std::optional<TSimulatedDrive> Drive;
  std::unique_ptr<TPtyHandset> Handset;
  std::unique_ptr<TSerialDevicePort> Port;
  TSessionEventQueue Queue{QueueCapacityBytes};
  std::unique_ptr<TRecordStore> Store;
  TSessionSinks Sinks;
  std::unique_ptr<TCaptureWriter> Capture;
  std::unique_ptr<TSessionDriver> Driver;
  std::unique_ptr<TPortReader> Reader;
  TGpsSource Gps;
  std::string OutDir;
  TSessionSettings Settings;

  std::mutex Lock;
  std::condition_variable Wake;
  bool DriverDone = false;
  bool StopAsked = false;
  bool DurationReached = false;  // the stop came from --duration, not Ctrl-C
};

int TLiveSession::Prepare() {
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
  auto onGpsEnd = [](const std::string&) {};
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

  OutDir = Args.Out.empty() ? DefaultOutDir() : Args.Out;
  Store = std::make_unique<TRecordStore>(DescribeRecord);
  try {
    Sinks = MakeSessionSinks(OutDir, Settings, TFlushPolicy::EveryEntry, Args.Pcap);
    if (!Args.Record.empty()) Capture = std::make_unique<TCaptureWriter>(Args.Record, NewCaptureSalt());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvik-host live: %s\n", e.what());
    return ExitFailure;
  }
  for (auto& writer : Sinks.Writers) Store->AddSink(writer.get());

  TSessionOptions options;
  options.ConnectLimitSeconds = Args.ConnectTimeout;
  options.Reconnect = Args.Reconnect;
  options.LogFile = Args.Log;
  options.DialNumber = Args.Dial;
  options.CallSeconds = Args.CallSeconds;
  options.Answer = Args.Answer;
  options.Settings = Settings;
  Driver = std::make_unique<TSessionDriver>(*Plugin, *Port, Queue, *Store, options);
  if (Capture) Driver->SetCaptureTap(Capture.get());

  TReaderOptions reading;
  reading.SilenceLimitSeconds = Args.SilenceLimit;
  reading.Reconnect = Args.Reconnect;
  reading.ReconnectTimeoutSeconds = Args.ReconnectTimeout;
  Reader = std::make_unique<TPortReader>(*Port, Queue, reading);
  return ExitOk;
}

void TLiveSession::StopSources() {
  Gps.Stop();
  Reader->Stop();
}

TStatusValues TLiveSession::StatusNow(double elapsed) const {
  const TSessionStatus s = Driver->Status();
  TStatusValues v;
  v.ElapsedSeconds = elapsed;
  v.Records = s.RecordsWritten;
  v.FramesPerSecond = s.FrameBytesPerSecond;
  v.CallState = CallStateName(s.CallState);
  v.LastFixAgeSeconds = s.LastFixTime > 0 ? (HostClockNow() - s.LastFixTime) * 86400.0 : -1;
  v.QueueFillBytes = Queue.FillBytes();
  v.QueueCapacityBytes = static_cast<int64_t>(Queue.CapacityBytes());
  v.LineUp = s.LineUp && Reader->LineUp();
  v.Counters = s.Counters;
  v.Counters.BytesReceived = Reader->BytesRead();
  return v;
}

std::string TLiveSession::Summary(TSessionEnd end, double elapsed, const TSessionCounters& c,
                                  int64_t written) const {
  std::string files;
  for (const std::string& f : Sinks.Files) files += (files.empty() ? "" : ", ") + f;
  char text[1024];
  std::snprintf(text, sizeof text,
                "Session ended (%s) after %s: %lld records written to %s (%s). %lld bytes received, "
                "%lld frames decoded, %lld rejected, %lld gaps, %lld fixes (%lld refused), %lld calls set up, "
                "%lld dropped. Queue high-water %lld bytes, full %lld times. "
                "Shared memory live at exit: %lld blocks, %lld bytes.",
                end == TSessionEnd::StoppedByUser && DurationReached ? "duration reached" : SessionEndName(end),
                Seconds(elapsed).c_str(), static_cast<long long>(written),
                OutDir.c_str(), files.c_str(), static_cast<long long>(Reader->BytesRead()),
                static_cast<long long>(c.FramesDecoded), static_cast<long long>(c.FramesRejected),
                static_cast<long long>(c.Gaps), static_cast<long long>(c.Fixes),
                static_cast<long long>(Gps.RefusedFixes()),
                static_cast<long long>(c.CallsSetUp), static_cast<long long>(c.CallsDropped),
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

  Signals.Start([this] {
    {
      std::lock_guard lock(Lock);
      StopAsked = true;
    }
    Queue.RequestStop();
    Wake.notify_all();
  });

  TSessionEnd end = TSessionEnd::Done;
  std::exception_ptr failure;
  const auto started = std::chrono::steady_clock::now();
  Reader->Start();
  Gps.Start();
  std::thread driving([&] {
    try {
      end = Driver->Run();
    } catch (...) {
      failure = std::current_exception();
    }
    {
      std::lock_guard lock(Lock);
      DriverDone = true;
    }
    Wake.notify_all();
  });

  TStatusLine status = TStatusLine::ForStream(stdout);
  const auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  // A terminal is refreshed four times a second; a log gets a line on every
  // change of call or line state and every ten seconds.
  const auto refresh = std::chrono::milliseconds(status.InPlace() ? 250 : 1000);
  std::string lastState;
  double lastPlain = 0;
  std::unique_lock lock(Lock);
  while (!DriverDone) {
    Wake.wait_for(lock, refresh, [this] { return DriverDone; });
    if (DriverDone) break;
    const double now = elapsed();
    if (Args.Duration > 0 && now >= Args.Duration && !StopAsked) {
      StopAsked = true;
      DurationReached = true;
      Queue.RequestStop();
    }
    if (Args.Quiet) continue;
    const TStatusValues values = StatusNow(now);
    const std::string state = values.CallState + (values.LineUp ? "" : ", line down");
    const std::string text = FormatStatus(values);
    if (status.InPlace()) {
      if (state != lastState && !lastState.empty()) status.Event(Seconds(now) + ": " + state);
      status.Show(text);
    } else if (state != lastState || now - lastPlain >= 10) {
      status.Event(text);
      lastPlain = now;
    }
    lastState = state;
  }
  lock.unlock();
  driving.join();
  StopSources();
  Queue.Close();
  status.Finish();

  if (Handset) Handset->Stop();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orvik-host live: the session failed: %s\n", e.what());
    }
    return ExitFailure;
  }
  const int exitStatus = ExitStatusOf(end, Reader->GaveUp());
  const TSessionCounters counters = Driver->Counters();
  const std::string endMessage = Driver->EndMessage();
  const int64_t written = Store->Written();
  // Everything that holds the plug-in's memory goes, then the plug-in itself
  // (its own static strings live until it is unloaded): what is left leaked.
  Driver.reset();
  Store.reset();
  Plugin.reset();
  std::printf("%s\n", Summary(end, elapsed(), counters, written).c_str());
  if (exitStatus != ExitOk) std::fprintf(stderr, "orvik-host live: %s\n", endMessage.c_str());
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
      "Exit statuses: 0 done (duration reached or Ctrl-C), 1 the session failed (e.g. writing\n"
      "the outputs), 2 bad input or usage (options, port, plug-in), 3 the handset never\n"
      "answered the connect request, 4 the line dropped and was not regained.\n");
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
  gps->add_option("--gps-nmea", args->GpsNmea, "NMEA 0183 from a file or a serial GPS");
  gps->add_option("--gpsd", args->Gpsd, "the gpsd daemon at HOST:PORT, e.g. localhost:2947");
  gps->add_flag("--simulate-gps", args->SimulateGps, "a simulated GPS along the seeded drive");
  gps->require_option(0, 1);
  auto* dial = live->add_option("--dial", args->Dial, "dial this number once the test runs");
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
  live->add_option("--seed", args->Seed, "seed of the simulated handset and drive (default 1)");
  auto* reconnect = live->add_flag("--reconnect", args->Reconnect,
                                   "when the line drops, keep reopening the port (back-off 0.25 s doubling to 5 s)");
  live->add_option("--reconnect-timeout", args->ReconnectTimeout,
                   "give up reconnecting after this many seconds (default 60)")
      ->needs(reconnect)
      ->check(PositiveSeconds);
  live->add_option("--record", args->Record, "write a capture of the session to this file");
  live->add_option("--pcap", args->Pcap, "write the signalling as a pcap for Wireshark to this file");
  return {live, [args] {
            TLiveSession session(*args);
            return session.Run();
          }};
}
