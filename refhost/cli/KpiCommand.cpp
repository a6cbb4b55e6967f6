// orvik-host kpi: the drive's key performance indicators, as a table for a
// person or one JSON object for a program, from a session's output folder,
// its JSON Lines or a capture. The numbers are the analysis stage's, the same
// the summary, the report and the status line show.
#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "refhost/analysis/SessionAnalysis.h"
#include "refhost/cells/CellSites.h"
#include "refhost/cli/Commands.h"
#include "refhost/cli/SessionInput.h"

namespace {

struct TKpiArgs {
  std::string Input;
  std::string Plugin;
  std::string Cells;
  bool Json = false;
};

enum class TShow { Count, Ratio, Seconds, Dbm, Quality };

struct TRow {
  const char* Label;
  const char* Key;
  const char* Inner;  // a field of the object under Key, or null
  TShow Show;
};

constexpr TRow Rows[] = {
    {"Call attempts", "call_attempts", nullptr, TShow::Count},
    {"Call set-ups", "call_setups", nullptr, TShow::Count},
    {"Call set-up failures", "call_setup_failures", nullptr, TShow::Count},
    {"Call set-up success", "call_setup_success_ratio", nullptr, TShow::Ratio},
    {"Set-up time, mean", "setup_time_mean_s", nullptr, TShow::Seconds},
    {"Set-up time, 95th percentile", "setup_time_p95_s", nullptr, TShow::Seconds},
    {"Calls connected", "call_connects", nullptr, TShow::Count},
    {"Calls ended normally", "call_ends", nullptr, TShow::Count},
    {"Calls dropped", "call_drops", nullptr, TShow::Count},
    {"Dropped call ratio", "dropped_call_ratio", nullptr, TShow::Ratio},
    {"Handover attempts", "handover_attempts", nullptr, TShow::Count},
    {"Handover successes", "handover_successes", nullptr, TShow::Count},
    {"Handover success", "handover_success_ratio", nullptr, TShow::Ratio},
    {"Location updates", "location_updates", nullptr, TShow::Count},
    {"Location update success", "location_update_success_ratio", nullptr, TShow::Ratio},
    {"Reselections", "reselections", nullptr, TShow::Count},
    {"Line gaps", "line_gaps", nullptr, TShow::Count},
    {"Records", "records", nullptr, TShow::Count},
    {"Duration", "duration_s", nullptr, TShow::Seconds},
    {"Time without GPS", "seconds_without_gps", nullptr, TShow::Seconds},
    {"Time with the line down", "seconds_line_down", nullptr, TShow::Seconds},
    {"Level, mean", "level_dbm", "mean", TShow::Dbm},
    {"Level, 10th percentile", "level_dbm", "p10", TShow::Dbm},
    {"Level, median", "level_dbm", "p50", TShow::Dbm},
    {"Level, 90th percentile", "level_dbm", "p90", TShow::Dbm},
    {"Quality (RXQUAL), mean", "quality", "mean", TShow::Quality},
    {"Quality (RXQUAL), 90th percentile", "quality", "p90", TShow::Quality},
};

std::string Cell(const nlohmann::json& v, TShow show) {
  if (v.is_null()) return "-";
  char text[64];
  const double d = v.get<double>();
  switch (show) {
    case TShow::Count: std::snprintf(text, sizeof text, "%lld", v.get<long long>()); break;
    case TShow::Ratio: std::snprintf(text, sizeof text, "%.1f %%", d * 100); break;
    case TShow::Seconds: std::snprintf(text, sizeof text, "%.1f s", d); break;
    case TShow::Dbm: std::snprintf(text, sizeof text, "%.1f dBm", d); break;
    case TShow::Quality: std::snprintf(text, sizeof text, "%.1f", d); break;
  }
  return text;
}

void PrintTable(const nlohmann::json& kpi) {
  for (const TRow& row : Rows) {
    const nlohmann::json& at = row.Inner ? kpi.at(row.Key).at(row.Inner) : kpi.at(row.Key);
    std::printf("%-34s %s\n", row.Label, Cell(at, row.Show).c_str());
  }
  std::printf("%-34s", "Level bands (share of samples)");
  for (const nlohmann::json& b : kpi.at("level_bands"))
    std::printf(" %s %s", b.at("band").get<std::string>().c_str(), Cell(b.at("share"), TShow::Ratio).c_str());
  std::printf("\n");
}

// Nothing but the analysis needs the records: the stage with no writer.
int RunKpi(const TKpiArgs& args) {
  TCellSites sites;
  if (!args.Cells.empty()) {
    try {
      sites = TCellSites::Read(args.Cells);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orvik-host kpi: %s; give a cell file in the OpenCelliD layout\n", e.what());
      return ExitBadInput;
    }
  }
  TAnalysisStage stage({}, args.Cells.empty() ? nullptr : &sites);
  const int status = PlaySessionInput("kpi", args.Input, args.Plugin, stage);
  if (status == ExitBadInput) return status;
  const TSessionAnalysisResult& result = stage.Result();
  nlohmann::json kpi = KpiJson(result.Kpis);
  if (!args.Cells.empty()) {
    nlohmann::json missing = nlohmann::json::array();
    for (const TCellKey& k : result.CellsMissingFromSites)
      missing.push_back({{"mcc", k.Mcc}, {"mnc", k.Mnc}, {"lac", k.Lac}, {"ci", k.CellId}});
    kpi["cells_missing_from_sites"] = missing;
  }
  if (args.Json) {
    std::printf("%s\n", kpi.dump(2).c_str());
    return status;
  }
  PrintTable(kpi);
  if (!args.Cells.empty()) {
    std::printf("%-34s %zu", "Serving cells not in the cell file", result.CellsMissingFromSites.size());
    for (const TCellKey& k : result.CellsMissingFromSites) std::printf(" %u-%u-%u-%u", k.Mcc, k.Mnc, k.Lac, k.CellId);
    std::printf("\n");
  }
  return status;
}

}  // namespace

TCommand AddKpiCommand(CLI::App& app) {
  auto args = std::make_shared<TKpiArgs>();
  CLI::App* command = app.add_subcommand("kpi", "Print a drive's key performance indicators");
  command->footer(
      "INPUT is a session's output folder, its session.jsonl, or a capture (replayed through\n"
      "the plug-in). The figures are those of the summary and the report; their definitions\n"
      "are in docs/events-and-kpis.md. --json prints one object: counts, ratios as fractions\n"
      "0..1 (null when there is nothing to divide by), times in seconds, levels in dBm.\n"
      "\n"
      "Exit statuses: 0 done, 2 bad arguments or an input that cannot be read, 5 a capture\n"
      "corrupt in the middle (the figures are those of what came before).");
  command->add_option("INPUT", args->Input, "session folder, session.jsonl or capture")->required();
  command->add_flag("--json", args->Json, "print one JSON object instead of the table");
  command->add_option("--plugin", args->Plugin, "the plug-in for a capture (default: next to orvik-host)");
  command->add_option("--cells", args->Cells,
                      "a cell file (OpenCelliD layout): also list the serving cells it lacks");
  return {command, [args] { return RunKpi(*args); }};
}
