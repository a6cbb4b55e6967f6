// The session as GeoJSON (RFC 7946: WGS 84, longitude first) for QGIS and
// web maps: one LineString feature for the route (the GPS fixes, or the
// positioned records when there were no fixes) and one Point feature per
// record with a position, carrying the record's values as properties.
//
// The file is written whole when the session finishes (a FeatureCollection
// cannot be appended to); until then the writer keeps the features.
// Threads: one writer is used from one thread at a time.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "refhost/core/SessionTypes.h"

class TGeoJsonWriter : public TRecordSink {
 public:
  // Checks that `path` can be created (and leaves it empty); throws
  // EOutputWrite when it cannot.
  explicit TGeoJsonWriter(std::string path);

  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  // Writes the file; throws EOutputWrite when it cannot.
  void OnFinish(const TSessionCounters& counters) override;

 private:
  std::string Path;
  int32_t UtcOffsetMinutes = 0;
  std::vector<std::pair<double, double>> Fixes;    // lon, lat
  std::vector<std::pair<double, double>> Located;  // positioned records, lon, lat
  nlohmann::json Points = nlohmann::json::array();
};
