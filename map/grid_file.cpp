// The map's grid files, read by the DSAA module; its errors become the map's.
#include <string>
#include <vector>

#include "map/map.hpp"

namespace kelv::gridmap {

Grid parseGrid(std::string_view text, const std::string& name) {
  try {
    return parseDsaa(text, name);
  } catch (const DsaaError& e) {
    throw MapError(e.what());
  }
}

Grid readGridFile(int fd, const std::string& name) {
  try {
    return readDsaa(fd, name);
  } catch (const DsaaError& e) {
    throw MapError(e.what());
  }
}

Grid readGridFile(const std::string& path) {
  try {
    return readDsaa(path);
  } catch (const DsaaError& e) {
    throw MapError(e.what());
  }
}

std::vector<float> nullLevelsOf(const Grid& levels, const Grid& grid, const std::string& name) {
  if (levels.nx != 2) {
    throw MapError(name + ": expected 2 columns (the 95 % and 99 % levels), found " +
                   std::to_string(levels.nx));
  }
  if (levels.ny != grid.ny) {
    throw MapError(name + ": expected " + std::to_string(grid.ny) +
                   " rows, one per frequency of the grid, found " + std::to_string(levels.ny));
  }
  if (levels.yMin != grid.yMin || levels.yMax != grid.yMax) {
    throw MapError(name + ": its frequencies differ from the grid's");
  }
  std::vector<float> rowLevels(size_t(grid.ny));
  for (size_t j = 0; j < rowLevels.size(); ++j) rowLevels[j] = levels.z[2 * j];
  return rowLevels;
}

}  // namespace kelv::gridmap
