#include "refhost/cli/SessionSinks.h"

#include <filesystem>

#include "refhost/output/CsvWriter.h"
#include "refhost/output/EventsCsvWriter.h"
#include "refhost/output/JsonLines.h"
#include "refhost/output/MapSinks.h"

namespace {

template <class TWriter>
void Add(TSessionSinks& sinks, const std::filesystem::path& dir, const char* name, TFlushPolicy policy) {
  const std::string path = (dir / name).string();
  sinks.Writers.push_back(std::make_unique<TWriter>(path, policy));
  sinks.Files.push_back(name);
}

}  // namespace

const std::vector<std::string>& SessionFileNames() {
  static const std::vector<std::string> names{"session.csv", "session.jsonl", "events.csv",     "session.geojson",
                                              "session.gpx", "session.kml",   "report.html"};
  return names;
}

TSessionSinks MakeSessionSinks(const std::string& outDir, const TSessionSettings&, TFlushPolicy policy,
                               const std::string& pcapPath, const TCellSites* sites, TRecordSink* watcher) {
  const std::filesystem::path dir(outDir);
  std::filesystem::create_directories(dir);
  TSessionSinks sinks;
  Add<TCsvWriter>(sinks, dir, "session.csv", policy);
  Add<TJsonLinesWriter>(sinks, dir, "session.jsonl", policy);
  Add<TEventsCsvWriter>(sinks, dir, "events.csv", policy);
  AddMapSinks(outDir, pcapPath, sinks.Writers, sinks.Files, sites);
  std::vector<TRecordSink*> writers;
  for (auto& w : sinks.Writers) writers.push_back(w.get());
  if (watcher != nullptr) writers.push_back(watcher);
  sinks.Stage = std::make_unique<TAnalysisStage>(std::move(writers), sites);
  return sinks;
}
