// The netCDF-4 grid file: the measure over frequency (rows) and time (columns) as
// the CF conventions lay a grid out for GMT and xarray, with the run's settings as
// global attributes and, when asked for, each channel's coherence and the null
// levels as variables of the same file. It is written through the text layer's
// replacement file, column block by column block as the windows finish, and takes
// the output's name only when complete.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvarodine/settings.hpp"

namespace kelv::cli {

// Whether this build writes netCDF grids (it needs libnetcdf).
bool netcdfSupported();

// What the file records of its run besides the grid.
struct NetcdfRun {
  Plan plan;
  std::vector<std::string> channelNames;
  std::string inputs;       // the record's source
  std::string timeUnit;     // empty: unknown
  std::string settings;     // the settings as a command line gives them
  bool channels = false;    // a channel_coherence variable
  bool nullLevels = false;  // null_level_95 and null_level_99 variables
};

// The units of the time and frequency axes for a unit of time ("s" gives "Hz").
struct AxisUnits {
  std::string time, frequency;
};
AxisUnits axisUnits(const std::string& timeUnit);

class NetcdfGrid {
 public:
  // Opens the replacement of `path` and defines the file: every failure is a fatal
  // report of the text layer naming `path`, before any work.
  NetcdfGrid(const std::string& path, const NetcdfRun& run);
  ~NetcdfGrid();
  NetcdfGrid(const NetcdfGrid&) = delete;
  NetcdfGrid& operator=(const NetcdfGrid&) = delete;

  // Window w's column is complete in `grid` (nfreq x windows, frequency fastest) and
  // in `coherences` (nch x nfreq x windows, when channels are asked for): the
  // columns of a finished block go to the file.
  void windowDone(int64_t w, const float* grid, const float* coherences);
  // The columns of windows first .. first + windows - 1 (nfreq floats a window) and
  // their coherences (nch x nfreq floats a window, when channels are asked for), in
  // window order, for a run that does not hold the grid: kept until they complete a
  // chunk, which then goes to the file as windowDone writes it.
  void columns(int64_t first, int64_t windows, const float* columns, const float* coherences);
  // The 95 % and 99 % levels, nfreq x 2.
  void writeNullLevels(const float* levels);
  // Writes the measure's range, closes the file and puts it in place.
  void commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kelv::cli
