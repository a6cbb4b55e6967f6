#include "refhost/output/MapSinks.h"

#include <filesystem>

#include "refhost/output/GeoJsonWriter.h"
#include "refhost/output/GpxWriter.h"
#include "refhost/output/KmlWriter.h"
#include "refhost/output/PcapWriter.h"
#include "refhost/output/ReportWriter.h"

void AddMapSinks(const std::string& outDir, const std::string& pcapPath,
                 std::vector<std::unique_ptr<TRecordSink>>& writers, std::vector<std::string>& files,
                 const TCellSites* sites) {
  const std::filesystem::path dir(outDir);
  auto add = [&]<class TWriter>(const char* name, auto... more) {
    writers.push_back(std::make_unique<TWriter>((dir / name).string(), more...));
    files.push_back(name);
  };
  add.operator()<TGeoJsonWriter>("session.geojson", sites);
  add.operator()<TGpxWriter>("session.gpx");
  add.operator()<TKmlWriter>("session.kml", sites);
  add.operator()<TReportWriter>("report.html", sites);
  if (!pcapPath.empty()) {
    writers.push_back(std::make_unique<TPcapWriter>(pcapPath));
    files.push_back(pcapPath);
  }
}
