#include "refhost/output/MapSinks.h"

#include <filesystem>

#include "refhost/output/GeoJsonWriter.h"
#include "refhost/output/GpxWriter.h"
#include "refhost/output/KmlWriter.h"
#include "refhost/output/PcapWriter.h"
#include "refhost/output/ReportWriter.h"

void AddMapSinks(const std::string& outDir, const std::string& pcapPath,
                 std::vector<std::unique_ptr<TRecordSink>>& writers, std::vector<std::string>& files) {
  const std::filesystem::path dir(outDir);
  auto add = [&]<class TWriter>(const char* name) {
    writers.push_back(std::make_unique<TWriter>((dir / name).string()));
    files.push_back(name);
  };
  add.operator()<TGeoJsonWriter>("session.geojson");
  add.operator()<TGpxWriter>("session.gpx");
  add.operator()<TKmlWriter>("session.kml");
  add.operator()<TReportWriter>("report.html");
  if (!pcapPath.empty()) {
    writers.push_back(std::make_unique<TPcapWriter>(pcapPath));
    files.push_back(pcapPath);
  }
}
