// The netCDF-4 grid file, written through libnetcdf into the text layer's
// replacement file.
#include "cli/netcdf_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kelvarodine/dsaa.hpp"
#include "textio/textio.hpp"

#ifdef KELV_HAVE_NETCDF
#include <netcdf.h>
#endif

namespace kelv::cli {

AxisUnits axisUnits(const std::string& timeUnit) {
  if (timeUnit.empty()) return {"time unit", "cycles per time unit"};
  if (timeUnit == "s" || timeUnit == "sec" || timeUnit == "second" || timeUnit == "seconds")
    return {timeUnit, "Hz"};
  return {timeUnit, "1/" + timeUnit};
}

#ifdef KELV_HAVE_NETCDF

bool netcdfSupported() {
  return true;
}

namespace {

// Nodes of one chunk of the file: the columns of a chunk are written at once, when
// the last of them is complete.
constexpr int64_t kChunkValues = int64_t{1} << 18;

}  // namespace

struct NetcdfGrid::State {
  std::string path;
  NetcdfRun run;
  int ncid = -1;
  int coherence = -1, channelCoherence = -1, null95 = -1, null99 = -1;
  int64_t chunkColumns = 1;
  int64_t written = 0;  // columns in the file
  float zMin = std::numeric_limits<float>::infinity();
  float zMax = -std::numeric_limits<float>::infinity();
  std::vector<float> block;
  // Columns given by columns() that do not yet fill a chunk: windows written + 1 on.
  std::vector<float> pendingColumns, pendingCoherences;
  int64_t pending = 0;

  // A netCDF call that failed: its reason, then the text layer's report (error
  // `number` naming the output), which ends the run and discards the replacement.
  void check(int status, int32_t number = kErrWrite) const {
    if (status == NC_NOERR) return;
    std::fflush(stdout);
    std::fprintf(stderr, "kelvarodine: %s: netCDF: %s\n", path.c_str(), nc_strerror(status));
    fatalError(number, kFileUnit, path);
  }
  void text(int var, const char* name, const std::string& value) const {
    check(nc_put_att_text(ncid, var, name, value.size(), value.c_str()));
  }
  void writeColumns(int64_t last, const float* grid, const float* coherences);
};

NetcdfGrid::NetcdfGrid(const std::string& path, const NetcdfRun& run)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  s.run = run;
  const Plan& plan = run.plan;
  const std::string inner = openReplacementForLibrary(path);
  s.check(nc_create(inner.c_str(), NC_NETCDF4 | NC_CLOBBER, &s.ncid), kErrOpenFailure);
  const int ncid = s.ncid;

  int frequencyDim = -1, timeDim = -1, channelDim = -1;
  s.check(nc_def_dim(ncid, "frequency", size_t(plan.nfreq), &frequencyDim));
  s.check(nc_def_dim(ncid, "time", size_t(plan.nWindows), &timeDim));
  const AxisUnits units = axisUnits(run.timeUnit);
  int frequency = -1, time = -1, channel = -1, channelName = -1;
  s.check(nc_def_var(ncid, "frequency", NC_DOUBLE, 1, &frequencyDim, &frequency));
  s.text(frequency, "long_name", "frequency");
  s.text(frequency, "units", units.frequency);
  s.check(nc_def_var(ncid, "time", NC_DOUBLE, 1, &timeDim, &time));
  s.text(time, "long_name", "time of the window's last sample");
  s.text(time, "units", units.time);
  // GMT takes a grid whose axes have no range for pixel registration; these are the
  // nodes' own coordinates.
  const GridAxes axes = gridAxes(plan);
  const double timeRange[2] = {axes.xMin, axes.xMax}, frequencyRange[2] = {axes.yMin, axes.yMax};
  s.check(nc_put_att_double(ncid, time, "actual_range", NC_DOUBLE, 2, timeRange));
  s.check(nc_put_att_double(ncid, frequency, "actual_range", NC_DOUBLE, 2, frequencyRange));

  // Blocks of whole columns, each a chunk of the file (or a column of chunks).
  const int64_t chunkRows = std::min<int64_t>(plan.nfreq, kChunkValues);
  s.chunkColumns = std::clamp<int64_t>(kChunkValues / plan.nfreq, 1, plan.nWindows);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const auto measureVariable = [&](const char* name, int dims, const int* ids, int& var,
                                   const std::string& longName) {
    s.check(nc_def_var(ncid, name, NC_FLOAT, dims, ids, &var));
    const size_t chunks[3] = {1, size_t(chunkRows), size_t(s.chunkColumns)};
    s.check(nc_def_var_chunking(ncid, var, NC_CHUNKED, chunks + (3 - dims)));
    s.check(nc_put_att_float(ncid, var, "_FillValue", NC_FLOAT, 1, &nan));
    s.text(var, "long_name", longName);
    s.text(var, "units", "1");
  };
  const int gridDims[2] = {frequencyDim, timeDim};
  measureVariable("coherence", 2, gridDims, s.coherence, "canonical coherence measure");
  // Node registration, and a range rewritten once the values are known.
  const int nodeOffset = 0;
  s.check(nc_put_att_int(ncid, s.coherence, "node_offset", NC_INT, 1, &nodeOffset));
  const double noRange[2] = {std::nan(""), std::nan("")};
  s.check(nc_put_att_double(ncid, s.coherence, "actual_range", NC_DOUBLE, 2, noRange));

  if (run.channels) {
    s.check(nc_def_dim(ncid, "channel", run.channelNames.size(), &channelDim));
    // The channels by number as the coordinate (GMT takes the variable of three
    // dimensions for a cube and needs numbers along its third), and by name.
    s.check(nc_def_var(ncid, "channel", NC_INT, 1, &channelDim, &channel));
    s.text(channel, "long_name", "channel number");
    s.text(channel, "units", "1");
    s.check(nc_def_var(ncid, "channel_name", NC_STRING, 1, &channelDim, &channelName));
    s.text(channelName, "long_name", "channel");
    const int dims[3] = {channelDim, frequencyDim, timeDim};
    measureVariable("channel_coherence", 3, dims, s.channelCoherence,
                    "multiple coherence of the channel with all the others");
    s.text(s.channelCoherence, "coordinates", "channel_name");
  }
  if (run.nullLevels) {
    for (const auto& [name, level, var] : {std::tuple{"null_level_95", "95", &s.null95},
                                           std::tuple{"null_level_99", "99", &s.null99}}) {
      s.check(nc_def_var(ncid, name, NC_FLOAT, 1, &frequencyDim, var));
      s.check(nc_put_att_float(ncid, *var, "_FillValue", NC_FLOAT, 1, &nan));
      s.text(*var, "long_name",
             std::string(level) + " % quantile of the measure over independent channels");
      s.text(*var, "units", "1");
    }
  }

  // The run: the program, every setting, the inputs and the channels.
  s.text(NC_GLOBAL, "Conventions", "CF-1.7");
  s.text(NC_GLOBAL, "title", "canonical coherence of " + run.inputs);
  s.text(NC_GLOBAL, "source", "kelvarodine " KELV_VERSION);
  s.text(NC_GLOBAL, "history", "kelvarodine " + run.settings);
  const auto integer = [&](const char* name, int32_t value) {
    s.check(nc_put_att_int(ncid, NC_GLOBAL, name, NC_INT, 1, &value));
  };
  const auto real = [&](const char* name, double value) {
    s.check(nc_put_att_double(ncid, NC_GLOBAL, name, NC_DOUBLE, 1, &value));
  };
  integer("window", plan.nlen);
  integer("shift", plan.shift);
  integer("order", plan.order);
  integer("differencing", plan.idiff);
  real("start", plan.Tini);
  real("step", plan.Tstep);
  s.text(NC_GLOBAL, "time_unit", run.timeUnit);
  s.text(NC_GLOBAL, "inputs", run.inputs);
  std::string names;
  for (const std::string& n : run.channelNames) names += (names.empty() ? "" : ", ") + n;
  s.text(NC_GLOBAL, "channels", names);
  s.text(NC_GLOBAL, "settings", run.settings);
  s.check(nc_enddef(ncid));

  std::vector<double> values(size_t(plan.nfreq));
  for (int32_t f = 1; f <= plan.nfreq; ++f) values[size_t(f - 1)] = rowFrequency(plan, f);
  s.check(nc_put_var_double(ncid, frequency, values.data()));
  values.resize(size_t(plan.nWindows));
  for (int32_t w = 1; w <= plan.nWindows; ++w) values[size_t(w - 1)] = windowTime(plan, w);
  s.check(nc_put_var_double(ncid, time, values.data()));
  if (run.channels) {
    std::vector<const char*> texts;
    for (const std::string& n : run.channelNames) texts.push_back(n.c_str());
    s.check(nc_put_var_string(ncid, channelName, texts.data()));
    std::vector<int> numbers(run.channelNames.size());
    for (std::size_t m = 0; m < numbers.size(); ++m) numbers[m] = static_cast<int>(m + 1);
    s.check(nc_put_var_int(ncid, channel, numbers.data()));
  }
}

NetcdfGrid::~NetcdfGrid() = default;

// Windows written + 1 .. last, their columns from `grid` (window written + 1's first)
// and `coherences` likewise.
void NetcdfGrid::State::writeColumns(int64_t last, const float* grid, const float* coherences) {
  const int64_t nfreq = run.plan.nfreq;
  const int64_t first = written + 1;
  const int64_t columns = last - first + 1;
  if (columns <= 0) return;
  // Rows of the block, time fastest, each value as the DSAA grid holds it (NaN where
  // that is blank).
  block.resize(size_t(nfreq * columns));
  const auto transpose = [&](const float* values, int64_t stride) {
    for (int64_t c = 0; c < columns; ++c)
      for (int64_t f = 0; f < nfreq; ++f) {
        const float z = values[(c * nfreq + f) * stride];
        block[size_t(f * columns + c)] = dsaaNodeValue(z);
      }
  };
  transpose(grid, 1);
  for (const float z : block)
    if (std::isfinite(z)) {
      zMin = std::min(zMin, z);
      zMax = std::max(zMax, z);
    }
  const size_t start[3] = {0, 0, size_t(first - 1)};
  const size_t count[3] = {1, size_t(nfreq), size_t(columns)};
  check(nc_put_vara_float(ncid, coherence, start + 1, count + 1, block.data()));
  if (channelCoherence >= 0) {
    const int32_t nch = run.plan.nch;
    for (int32_t m = 0; m < nch; ++m) {
      transpose(coherences + m, nch);
      const size_t at[3] = {size_t(m), 0, size_t(first - 1)};
      check(nc_put_vara_float(ncid, channelCoherence, at, count, block.data()));
    }
  }
  written = last;
}

void NetcdfGrid::windowDone(int64_t w, const float* grid, const float* coherences) {
  State& s = *state_;
  const int64_t nfreq = s.run.plan.nfreq;
  if (w % s.chunkColumns == 0 || w == s.run.plan.nWindows)
    s.writeColumns(w, grid + s.written * nfreq,
                   coherences ? coherences + s.written * nfreq * s.run.plan.nch : nullptr);
}

void NetcdfGrid::columns(int64_t first, int64_t windows, const float* columns,
                         const float* coherences) {
  State& s = *state_;
  const int64_t nfreq = s.run.plan.nfreq, nch = s.run.plan.nch;
  const bool channels = s.channelCoherence >= 0;
  if (first != s.written + s.pending + 1 || first + windows - 1 > s.run.plan.nWindows)
    throw std::invalid_argument("netCDF columns out of order");
  // The chunks the columns complete, as windowDone writes them: from the pending
  // columns with the new ones after them.
  s.pendingColumns.insert(s.pendingColumns.end(), columns, columns + windows * nfreq);
  if (channels)
    s.pendingCoherences.insert(s.pendingCoherences.end(), coherences,
                               coherences + windows * nfreq * nch);
  s.pending += windows;
  int64_t used = 0;
  while (s.pending - used > 0) {
    const int64_t next = s.written + 1;
    const int64_t chunkEnd = std::min<int64_t>(
        s.run.plan.nWindows, (next - 1) / s.chunkColumns * s.chunkColumns + s.chunkColumns);
    if (chunkEnd - next + 1 > s.pending - used) break;
    s.writeColumns(chunkEnd, s.pendingColumns.data() + used * nfreq,
                   channels ? s.pendingCoherences.data() + used * nfreq * nch : nullptr);
    used += chunkEnd - next + 1;
  }
  s.pendingColumns.erase(s.pendingColumns.begin(), s.pendingColumns.begin() + used * nfreq);
  if (channels)
    s.pendingCoherences.erase(s.pendingCoherences.begin(),
                              s.pendingCoherences.begin() + used * nfreq * nch);
  s.pending -= used;
}

void NetcdfGrid::writeNullLevels(const float* levels) {
  State& s = *state_;
  std::vector<float> level(size_t(s.run.plan.nfreq));
  for (const auto& [var, column] : {std::pair{s.null95, 0}, std::pair{s.null99, 1}}) {
    for (size_t f = 0; f < level.size(); ++f) {
      const float z = levels[size_t(column) * level.size() + f];
      level[f] = dsaaNodeValue(z);
    }
    s.check(nc_put_var_float(s.ncid, var, level.data()));
  }
}

void NetcdfGrid::commit() {
  State& s = *state_;
  if (s.zMin <= s.zMax) {
    const double range[2] = {s.zMin, s.zMax};
    s.check(nc_redef(s.ncid));
    s.check(nc_put_att_double(s.ncid, s.coherence, "actual_range", NC_DOUBLE, 2, range));
    s.check(nc_enddef(s.ncid));
  }
  s.check(nc_close(s.ncid));
  s.ncid = -1;
  commitFile();
}

#else  // without libnetcdf: nothing is ever opened (the command line refuses .nc first)

bool netcdfSupported() {
  return false;
}

struct NetcdfGrid::State {};

NetcdfGrid::NetcdfGrid(const std::string& path, const NetcdfRun&) {
  std::fprintf(stderr, "kelvarodine: %s: this build writes no netCDF\n", path.c_str());
  fatalError(kErrOpenFailure, kFileUnit, path);
}
NetcdfGrid::~NetcdfGrid() = default;
void NetcdfGrid::windowDone(int64_t, const float*, const float*) {}
void NetcdfGrid::columns(int64_t, int64_t, const float*, const float*) {}
void NetcdfGrid::writeNullLevels(const float*) {}
void NetcdfGrid::commit() {}

#endif

}  // namespace kelv::cli
