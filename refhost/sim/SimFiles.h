// The simulated network's own files: the ground truth of a session (JSON
// Lines, one object per event the network made) and its cell plan in the
// cell file layout (refhost/cells/CellSites.h), so the analysis and the
// maps can be tried, and checked, with no download.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "refhost/cells/CellSites.h"
#include "refhost/sim/HandsetSimulator.h"

// The cells of the drive as an operator's plan lists them: GSM, the
// network's MCC and MNC, each site's range the distance to its nearest
// neighbour site. `createdUnix` stamps every row.
std::vector<TCellSite> SimulatedCellPlan(const TSimulatedDrive& drive, int64_t createdUnix);

// One event: {"kind", "t" (simulator seconds), "direction" ("mo", "mt" or
// absent), "mcc", "mnc", "lac", "ci", "target": {"arfcn", "bsic", "mcc",
// "mnc", "lac", "ci"} for handovers and reselections, "cause" when known}.
nlohmann::json SimTruthJson(const TSimTruthEvent& event);

// Writes the events, one JSON object a line, replacing `path` only once
// complete; throws EOutputWrite.
void WriteSimTruth(const std::string& path, const std::vector<TSimTruthEvent>& events);
