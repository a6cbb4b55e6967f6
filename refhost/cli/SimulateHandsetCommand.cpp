// orvik-host simulate-handset: serves a simulated handset on a new
// pseudo-terminal (or an existing device) until Ctrl-C, SIGTERM or
// --duration, printing the path a host opens on standard output.
#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "refhost/cli/Commands.h"
#include "refhost/output/OutputFile.h"
#include "refhost/sim/PtyHandset.h"
#include "refhost/sim/SimFiles.h"
#include "serial/Orvik7316Cmd.h"

namespace {

struct TSimulateOptions {
  bool Pty = false;
  std::string Port;
  uint64_t Seed = 1;
  std::string Link;
  double Noise = 0;
  double GarbageEvery = 0;
  double SilenceAt = -1;
  double SilenceFor = 0;
  std::vector<double> DropAt;
  std::vector<double> DropFor;
  bool NoAnswer = false;
  double Flood = 0;
  double IncomingEvery = 90;
  std::string CommandsLog;
  std::string CellsOut;
  std::string TruthOut;
  // A one-hour drive with calls offered every 90 s has a few of each.
  TSimFaultRates Faults{0.08, 0.15, 0.5, 0.15, 0.25};
  double Duration = 0;  // 0: until stopped
};

int BadInput(const std::string& message) {
  std::fprintf(stderr, "orvik-host simulate-handset: %s\n", message.c_str());
  return ExitBadInput;
}

// Pairs the repeated drop options; an empty string when they are fine.
std::string CheckOptions(const TSimulateOptions& o) {
  if (o.Pty == !o.Port.empty()) return "give exactly one of --pty and --port PATH";
  if (o.DropAt.size() != o.DropFor.size())
    return "each --drop-at needs one --drop-for (and the other way round)";
  if ((o.SilenceAt >= 0) != (o.SilenceFor > 0)) return "--silence-at and --silence-for go together";
  if (!o.Link.empty() && !o.Port.empty()) return "--link applies to --pty only";
  // Two outputs on one file, or an output on the line, would overwrite each other.
  const std::vector<std::pair<std::string, std::string>> files{
      {"--commands-log", o.CommandsLog}, {"--cells-out", o.CellsOut}, {"--truth-out", o.TruthOut},
      {"--port", o.Port}, {"--link", o.Link}};
  for (size_t i = 0; i < files.size(); ++i)
    for (size_t j = i + 1; j < files.size(); ++j) {
      if (files[i].second.empty() || files[j].second.empty()) continue;
      std::error_code e1, e2;
      const auto a = std::filesystem::weakly_canonical(files[i].second, e1);
      const auto b = std::filesystem::weakly_canonical(files[j].second, e2);
      if (!e1 && !e2 && a == b)
        return files[i].first + " and " + files[j].first + " name the same file " +
               files[i].second + ": give each its own";
    }
  // The link is replaced and removed at the end: only an earlier link may be.
  std::error_code error;
  if (!o.Link.empty() && std::filesystem::exists(std::filesystem::symlink_status(o.Link, error)) &&
      !std::filesystem::is_symlink(std::filesystem::symlink_status(o.Link, error)))
    return "--link " + o.Link + " exists and is not a link: give a new name";
  return {};
}

std::string Describe(const TSimCommand& c) {
  if (c.Index == SimConnectRequest) return "connect request";
  if (c.Index == 0 && !c.Number().empty()) return "dial " + c.Number();
  return std::string(CommandNames[static_cast<size_t>(c.Index)]);
}

bool WriteCommandsLog(const std::string& path, const std::vector<TSimCommand>& commands) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(f, "# seconds index command\n");
  for (const TSimCommand& c : commands)
    std::fprintf(f, "%.3f %d %s\n", c.Time, c.Index, Describe(c).c_str());
  const bool ok = std::ferror(f) == 0;
  return std::fclose(f) == 0 && ok;
}

// Waits for SIGINT or SIGTERM (blocked by the caller) or the duration.
void WaitForStop(double duration) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  const double end = static_cast<double>(until.tv_sec) + until.tv_nsec * 1e-9 + duration;
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double left = end - (static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9);
    if (duration > 0 && left <= 0) return;
    // Without a duration, wake hourly only to wait again.
    const double wait = duration > 0 ? left : 3600.0;
    timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
    const int sig = sigtimedwait(&stops, nullptr, &timeout);
    if (sig == SIGINT || sig == SIGTERM) return;
  }
}

int RunSimulate(const TSimulateOptions& o) {
  if (const std::string problem = CheckOptions(o); !problem.empty()) return BadInput(problem);
  TPtyHandsetOptions options;
  options.Simulator.Seed = o.Seed;
  options.Simulator.NoiseRate = o.Noise;
  options.Simulator.GarbageEveryS = o.GarbageEvery;
  options.Simulator.SilenceAtS = o.SilenceAt;
  options.Simulator.SilenceForS = o.SilenceFor;
  options.Simulator.NoAnswer = o.NoAnswer;
  options.Simulator.FloodBaud = o.Flood;
  options.Simulator.IncomingCallEveryS = o.IncomingEvery;
  options.Simulator.Faults = o.Faults;
  options.DevicePath = o.Port;
  options.LinkPath = o.Link;
  for (size_t i = 0; i < o.DropAt.size(); ++i) options.Drops.push_back({o.DropAt[i], o.DropFor[i]});

  // The serving thread inherits the mask, so the signals come to the wait.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  if (!o.CellsOut.empty()) {
    try {
      WriteCellSites(o.CellsOut, SimulatedCellPlan(TSimulatedDrive(o.Seed), std::time(nullptr)));
    } catch (const EOutputWrite& e) {
      std::fprintf(stderr, "orvik-host simulate-handset: %s\n", e.what());
      return ExitFailure;
    }
  }

  std::unique_ptr<TPtyHandset> handset;
  try {
    handset = std::make_unique<TPtyHandset>(options);
  } catch (const EPtyHandset& e) {
    std::fprintf(stderr, "orvik-host simulate-handset: %s\n", e.what());
    return o.Port.empty() ? ExitFailure : ExitBadInput;
  }
  std::printf("%s\n", handset->StablePath().c_str());
  std::fflush(stdout);

  WaitForStop(o.Duration);
  handset->Stop();
  const TSimStats stats = handset->Stats();
  const std::vector<TSimCommand> commands = handset->Commands();
  std::fprintf(stderr,
               "orvik-host simulate-handset: served %.1f s: %lld bytes written, %lld lines "
               "(%lld reports, %lld signalling), %zu commands recognised\n",
               handset->Now(), static_cast<long long>(handset->BytesWritten()),
               static_cast<long long>(stats.LinesSent), static_cast<long long>(stats.ReportsSent),
               static_cast<long long>(stats.Layer3Sent), commands.size());
  if (!o.CommandsLog.empty() && !WriteCommandsLog(o.CommandsLog, commands)) {
    std::fprintf(stderr,
                 "orvik-host simulate-handset: cannot write the commands log %s: %s; check that "
                 "its folder exists and is writable\n",
                 o.CommandsLog.c_str(), std::strerror(errno));
    return ExitFailure;
  }
  if (!o.TruthOut.empty()) {
    try {
      WriteSimTruth(o.TruthOut, handset->Truth());
    } catch (const EOutputWrite& e) {
      std::fprintf(stderr, "orvik-host simulate-handset: %s\n", e.what());
      return ExitFailure;
    }
  }
  return ExitOk;
}

}  // namespace

TCommand AddSimulateHandsetCommand(CLI::App& app) {
  auto o = std::make_shared<TSimulateOptions>();
  CLI::App* cmd = app.add_subcommand(
      "simulate-handset",
      "Serve a simulated handset on a new pseudo-terminal (--pty) or a device (--port); the path "
      "to open is printed on standard output. Runs until Ctrl-C, SIGTERM or --duration.");
  cmd->add_flag("--pty", o->Pty, "Create a pseudo-terminal and serve it");
  cmd->add_option("--port", o->Port, "Serve an existing serial device instead");
  cmd->add_option("--seed", o->Seed, "Seed of the drive and of every value (default 1)");
  cmd->add_option("--link", o->Link,
                  "Keep a symbolic link at this path pointing at the current pseudo-terminal");
  cmd->add_option("--noise", o->Noise, "Flip one bit in this fraction of the bytes sent")
      ->check(CLI::Range(0.0, 1.0));
  cmd->add_option("--garbage-every", o->GarbageEvery,
                  "Send a burst of garbage bytes about every S seconds")
      ->check(CLI::PositiveNumber);
  cmd->add_option("--silence-at", o->SilenceAt, "Send nothing from T seconds on ...")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--silence-for", o->SilenceFor, "... for N seconds")->check(CLI::PositiveNumber);
  cmd->add_option("--drop-at", o->DropAt, "Close the line at T seconds (repeatable)")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--drop-for", o->DropFor, "... and open a new one N seconds later")
      ->check(CLI::PositiveNumber);
  cmd->add_flag("--no-answer", o->NoAnswer, "Never answer the connect request");
  cmd->add_option("--flood", o->Flood,
                  "Send idle reports back to back at this line rate (baud), ignoring polls")
      ->check(CLI::Range(300.0, 4000000.0));
  cmd->add_option("--incoming-every", o->IncomingEvery,
                  "The network offers a call about every S seconds; 0 never (default 90)")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--commands-log", o->CommandsLog,
                  "Write the commands recognised, in order, to this file at the end");
  cmd->add_option("--cells-out", o->CellsOut,
                  "Write the simulated network's cell plan to this file (OpenCelliD CSV layout)");
  cmd->add_option("--truth-out", o->TruthOut,
                  "At the end, write the events the network made (JSON Lines) to this file");
  cmd->add_option("--setup-failure-rate", o->Faults.SetupFailure,
                  "Chance that a call attempt never sets up (default 0.08)")
      ->check(CLI::Range(0.0, 1.0));
  cmd->add_option("--drops-per-minute", o->Faults.DropsPerMinute,
                  "Chance per minute of a set-up call that it drops (default 0.15)")
      ->check(CLI::Range(0.0, 60.0));
  cmd->add_option("--silent-drop-share", o->Faults.SilentDropShare,
                  "Share of the drops where the handset goes quiet instead of a release (default 0.5)")
      ->check(CLI::Range(0.0, 1.0));
  cmd->add_option("--handover-failure-rate", o->Faults.HandoverFailure,
                  "Chance that a handover fails (default 0.15)")
      ->check(CLI::Range(0.0, 1.0));
  cmd->add_option("--lu-reject-rate", o->Faults.LocationUpdateReject,
                  "Chance that the network rejects a location update (default 0.25)")
      ->check(CLI::Range(0.0, 1.0));
  cmd->add_option("--duration", o->Duration, "Stop after S seconds")->check(CLI::PositiveNumber);
  return {cmd, [o] { return RunSimulate(*o); }};
}
