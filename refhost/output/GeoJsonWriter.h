// The session as GeoJSON (RFC 7946: WGS 84, longitude first) for QGIS and
// web maps, one FeatureCollection whose features say what they are in the
// property "layer" (GeoJSON has no layers; QGIS splits a file by geometry
// and filters by a property, ogrinfo reads it as one layer):
//   "route"   one LineString: the GPS fixes, or the positioned records when
//             there were no fixes;
//   "records" one Point per record with a position, carrying the record's
//             values and its serving cell as properties;
//   "events"  one Point per event with a position (the event's own fields);
//   "sites"   one Point per cell site of the cell file given, with "served"
//             true when the cell served a record of the drive.
//
// The file is written whole when the session finishes (a FeatureCollection
// cannot be appended to); until then the writer keeps the features.
// Threads: one writer is used from one thread at a time.
#pragma once

#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "refhost/core/SessionTypes.h"

class TCellSites;

class TGeoJsonWriter : public TRecordSink {
 public:
  // Checks that `path` can be created (and leaves it empty); throws
  // EOutputWrite when it cannot. `sites` (borrowed, may be null) are added
  // as the "sites" features.
  explicit TGeoJsonWriter(std::string path, const TCellSites* sites = nullptr);

  void OnStart(const TSessionSettings& settings) override;
  void OnFix(const TGpsFix& fix) override;
  void OnRecord(const THostRecord& record) override;
  void OnEvent(const TDriveEvent& event) override;
  // Writes the file; throws EOutputWrite when it cannot.
  void OnFinish(const TSessionCounters& counters) override;

 private:
  std::string Path;
  int32_t UtcOffsetMinutes = 0;
  std::vector<std::pair<double, double>> Fixes;    // lon, lat
  std::vector<std::pair<double, double>> Located;  // positioned records, lon, lat
  nlohmann::json Points = nlohmann::json::array();
  nlohmann::json Events = nlohmann::json::array();
  const TCellSites* Sites;
  std::set<TCellKey> Served;
};
