// The subcommands of orvik-host. Each one adds itself to the command line
// and hands back what main runs when it was chosen.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

// Exit statuses shared by all subcommands.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;   // the work itself failed (e.g. writing the output)
constexpr int ExitBadInput = 2;  // bad arguments, or an input that cannot be read
constexpr int ExitNoAnswer = 3;  // the handset never answered the connect request
constexpr int ExitLineDropped = 4;    // the line dropped and was not regained
constexpr int ExitCaptureCorrupt = 5;  // a capture corrupt in the middle

struct TCommand {
  CLI::App* Parsed;          // the subcommand, to ask whether it was chosen
  std::function<int()> Run;  // returns the exit status
};

// orvik-host frames --mode N [--chunk K] [FILE]
TCommand AddFramesCommand(CLI::App& app);
// orvik-host live --port PATH | --simulate [--duration S] [--out DIR] ...
TCommand AddLiveCommand(CLI::App& app);
// orvik-host simulate-handset --pty | --port PATH [--seed N] [faults...]
TCommand AddSimulateHandsetCommand(CLI::App& app);
// orvik-host replay [FILE] [--out DIR] [--realtime] [--plugin PATH]
TCommand AddReplayCommand(CLI::App& app);
// orvik-host export --format geojson|gpx|kml|pcap INPUT [--out FILE]
TCommand AddExportCommand(CLI::App& app);
// orvik-host report INPUT [--out report.html]
TCommand AddReportCommand(CLI::App& app);
// orvik-host kpi INPUT [--json]
TCommand AddKpiCommand(CLI::App& app);
