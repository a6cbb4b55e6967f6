#include "refhost/cli/CellsOption.h"

#include <cstdio>
#include <exception>
#include <filesystem>

bool LoadCellSites(const std::string& command, const std::string& path, std::optional<TCellSites>& sites) {
  if (path.empty()) return true;
  std::string problem;
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    problem = path + " is a folder";
  } else {
    try {
      sites.emplace(TCellSites::Read(path));
      return true;
    } catch (const std::exception& e) {
      problem = e.what();
    }
  }
  std::fprintf(stderr, "orvik-host %s: --cells: %s; give a cell file in the OpenCelliD CSV layout\n", command.c_str(),
               problem.c_str());
  return false;
}
