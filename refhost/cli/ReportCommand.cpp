// orvik-host report: the drive report, one HTML page that opens offline,
// from a session's output folder, its JSON Lines or a capture.
#include <filesystem>
#include <memory>
#include <string>

#include "refhost/cli/Commands.h"
#include "refhost/cli/SessionInput.h"
#include "refhost/output/ReportWriter.h"

namespace fs = std::filesystem;

namespace {

struct TReportArgs {
  std::string Input;
  std::string Out;
  std::string Plugin;
  std::string Cells;
};

int RunReport(const TReportArgs& args) {
  std::string out = args.Out;
  if (out.empty()) {
    const fs::path input(args.Input);
    out = ((SessionInputKind(args.Input) == TSessionInputKind::Folder ? input : input.parent_path()) / "report.html")
              .string();
  }
  return WriteSessionInput(
      "report", args.Input, args.Plugin, out,
      [&](const TCellSites* sites) { return std::make_unique<TReportWriter>(out, sites); },
      ": open it in a browser (it needs no network)", args.Cells);
}

}  // namespace

TCommand AddReportCommand(CLI::App& app) {
  auto args = std::make_shared<TReportArgs>();
  CLI::App* command = app.add_subcommand("report", "Write the drive report: one HTML page that opens offline");
  command->footer(
      "INPUT is a session's output folder, its session.jsonl, or a capture (replayed through\n"
      "the plug-in). The page shows the KPIs, the route coloured by level, quality or serving\n"
      "cell with the drive's events (and the cell sites of --cells), level and quality over\n"
      "time and as distributions, the cell table, the signalling messages by type and a summary.\n"
      "\n"
      "The page is written whole beside its target and then put in its place, so an earlier\n"
      "page stays as it was until the new one is complete; it may not be INPUT or its session's\n"
      "session.jsonl or session.csv.\n"
      "\n"
      "Exit statuses: 0 done, 1 the page could not be written, 2 bad arguments or an input\n"
      "that cannot be read, 5 a capture corrupt in the middle (the page shows what came before).");
  command->add_option("INPUT", args->Input, "session folder, session.jsonl or capture")->required();
  command->add_option("--out", args->Out, "the page (default: report.html beside INPUT)");
  command->add_option("--plugin", args->Plugin, "the plug-in for a capture (default: next to orvik-host)");
  command->add_option("--cells", args->Cells, "cell sites (OpenCelliD CSV layout) for the map");
  return {command, [args] { return RunReport(*args); }};
}
