// orvik-host export: a session's maps or signalling in the format of the
// tool a person opens it with (QGIS, a GPS program, a globe viewer,
// Wireshark), from its output folder, its JSON Lines or a capture.
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "refhost/cli/Commands.h"
#include "refhost/cli/SessionInput.h"
#include "refhost/output/GeoJsonWriter.h"
#include "refhost/output/GpxWriter.h"
#include "refhost/output/KmlWriter.h"
#include "refhost/output/PcapWriter.h"

namespace fs = std::filesystem;

namespace {

struct TExportArgs {
  std::string Format;
  std::string Input;
  std::string Out;
  std::string Plugin;
  std::string Cells;
};

std::unique_ptr<TRecordSink> MakeWriter(const std::string& format, const std::string& path, const TCellSites* sites) {
  if (format == "geojson") return std::make_unique<TGeoJsonWriter>(path, sites);
  if (format == "gpx") return std::make_unique<TGpxWriter>(path);
  if (format == "kml") return std::make_unique<TKmlWriter>(path, sites);
  return std::make_unique<TPcapWriter>(path);
}

// Beside the input: FOLDER/session.FORMAT, or the input's name with the
// format's extension.
std::string DefaultOut(const TExportArgs& args) {
  if (SessionInputKind(args.Input) == TSessionInputKind::Folder)
    return (fs::path(args.Input) / ("session." + args.Format)).string();
  return fs::path(args.Input).replace_extension(args.Format).string();
}

int RunExport(const TExportArgs& args) {
  const std::string out = args.Out.empty() ? DefaultOut(args) : args.Out;
  return WriteSessionInput(
      "export", args.Input, args.Plugin, out,
      [&](const TCellSites* sites) { return MakeWriter(args.Format, out, sites); }, "", args.Cells);
}

}  // namespace

TCommand AddExportCommand(CLI::App& app) {
  auto args = std::make_shared<TExportArgs>();
  CLI::App* command = app.add_subcommand("export", "Write a session as GeoJSON, GPX, KML or a Wireshark pcap");
  command->footer(
      "INPUT is a session's output folder, its session.jsonl, or a capture (replayed through\n"
      "the plug-in). geojson: route and records for QGIS and web maps; gpx: the GPS track;\n"
      "kml: records coloured by received level; pcap: the signalling as GSMTAP for Wireshark.\n"
      "GeoJSON and KML also hold the drive's events, and the cell sites of --cells.\n"
      "\n"
      "The output is written whole beside its target and then put in its place, so an earlier\n"
      "file stays as it was until the new one is complete; it may not be INPUT or its session's\n"
      "session.jsonl or session.csv.\n"
      "\n"
      "Exit statuses: 0 done, 1 the output could not be written, 2 bad arguments or an input\n"
      "that cannot be read, 5 a capture corrupt in the middle (what came before is written).");
  command->add_option("--format", args->Format, "geojson, gpx, kml or pcap")
      ->required()
      ->check(CLI::IsMember({"geojson", "gpx", "kml", "pcap"}));
  command->add_option("INPUT", args->Input, "session folder, session.jsonl or capture")->required();
  command->add_option("--out", args->Out, "output file (default: beside INPUT, named after the format)");
  command->add_option("--plugin", args->Plugin, "the plug-in for a capture (default: next to orvik-host)");
  command->add_option("--cells", args->Cells, "cell sites (OpenCelliD CSV layout) for the maps");
  return {command, [args] { return RunExport(*args); }};
}
