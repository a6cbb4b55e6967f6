// `--cells FILE` of live, replay, export and report: the cell file read once,
// before the session starts, and kept for the analysis and the writers.
#pragma once

#include <optional>
#include <string>

#include "refhost/cells/CellSites.h"

// Reads `path` into `sites` ("" leaves it empty and succeeds). A file that
// cannot be read or is not a cell file is said on stderr as "orvik-host
// COMMAND: --cells: what is wrong (naming the file and line); what to give" and
// false is returned: the command then ends with exit status 2.
bool LoadCellSites(const std::string& command, const std::string& path, std::optional<TCellSites>& sites);

// The sites, or null when no cell file was given.
inline const TCellSites* SitesOrNull(const std::optional<TCellSites>& sites) { return sites ? &*sites : nullptr; }
