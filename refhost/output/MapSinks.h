// The map, pcap and report writers of a session's output folder, for the
// place where live sessions and replays assemble their writers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "refhost/core/SessionTypes.h"

class TCellSites;

// Appends to `writers` the GeoJSON, GPX and KML writers and the report for
// the folder `outDir` (session.geojson, session.gpx, session.kml,
// report.html; the folder must exist) and, when `pcapPath` is not empty, the
// pcap writer for that file; appends each file's name to `files`. `sites`
// (borrowed, may be null; it must outlive the writers) go on the maps and
// the report. The caller owns the writers. Throws EOutputWrite naming the file that cannot
// be created; writers added before it stay in `writers`.
void AddMapSinks(const std::string& outDir, const std::string& pcapPath,
                 std::vector<std::unique_ptr<TRecordSink>>& writers, std::vector<std::string>& files,
                 const TCellSites* sites = nullptr);
