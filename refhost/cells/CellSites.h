// Cell sites from a cell file in the layout OpenCelliD and similar databases
// publish (radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,
// created,updated,averageSignal), and the same layout written for the
// simulated network's own cell plan.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "refhost/core/DriveEvents.h"

struct TCellSite {
  std::string Radio;  // "GSM", "UMTS", "LTE", ...
  TCellKey Key;
  double Longitude = 0;
  double Latitude = 0;
  double RangeM = 0;
  int64_t Samples = 0;
  int64_t CreatedUnix = 0;  // seconds since 1970, as the file keeps them
  int64_t UpdatedUnix = 0;
};

class TCellSites {
 public:
  // Reads `path`; throws std::runtime_error saying which line is wrong and
  // how (a header that is not the layout, a row with bad numbers).
  static TCellSites Read(const std::string& path);

  // The site of a cell, when the file names it.
  const TCellSite* Find(const TCellKey& key) const;
  const std::vector<TCellSite>& All() const { return Sites; }

 private:
  std::vector<TCellSite> Sites;
  std::map<TCellKey, size_t> ByKey;
};

// Writes `sites` in the same layout (header first); throws EOutputWrite.
void WriteCellSites(const std::string& path, const std::vector<TCellSite>& sites);
