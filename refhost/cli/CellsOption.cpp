#include "refhost/cli/CellsOption.h"

#include <cstdio>
#include <exception>

bool LoadCellSites(const std::string& command, const std::string& path, std::optional<TCellSites>& sites) {
  if (path.empty()) return true;
  try {
    sites.emplace(TCellSites::Read(path));
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "orvik-host %s: --cells %s: %s; give a cell file in the OpenCelliD layout "
                 "(radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal)\n",
                 command.c_str(), path.c_str(), e.what());
    return false;
  }
  return true;
}
