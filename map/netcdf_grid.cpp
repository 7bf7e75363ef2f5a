// The map's netCDF grid files, read through libnetcdf: the measure, the axes' names
// and units, the null level and each channel's coherence.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "map/map.hpp"

#ifdef KELV_HAVE_NETCDF
#include <netcdf.h>
#endif

namespace kelv::gridmap {

bool looksLikeNetcdf(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char head[8] = {};
  const ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  if (n >= 4 && std::memcmp(head, "CDF", 3) == 0 && (head[3] == 1 || head[3] == 2 || head[3] == 5))
    return true;
  return n == 8 && std::memcmp(head, "\x89HDF\r\n\x1a\n", 8) == 0;
}

#ifdef KELV_HAVE_NETCDF

bool netcdfSupported() {
  return true;
}

namespace {

// The open file; its calls checked, a failure a MapError naming the file.
class NcReader {
 public:
  explicit NcReader(const std::string& path) : path_(path) {
    check(nc_open(path.c_str(), NC_NOWRITE, &id_), "cannot read " + path);
  }
  ~NcReader() { nc_close(id_); }
  NcReader(const NcReader&) = delete;
  NcReader& operator=(const NcReader&) = delete;

  void check(int status, const std::string& what) const {
    if (status != NC_NOERR) throw MapError(what + ": " + nc_strerror(status));
  }
  // The variable's id, or -1 when the file has none of that name.
  int find(const char* name) const {
    int v = -1;
    return nc_inq_varid(id_, name, &v) == NC_NOERR ? v : -1;
  }
  int need(const char* name) const {
    const int v = find(name);
    if (v < 0) throw MapError(path_ + ": no variable \"" + name + "\" (not a kelvarodine grid)");
    return v;
  }
  std::vector<size_t> shape(int var) const {
    int n = 0;
    int dims[NC_MAX_VAR_DIMS];
    check(nc_inq_varndims(id_, var, &n), path_);
    check(nc_inq_vardimid(id_, var, dims), path_);
    std::vector<size_t> lengths(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) check(nc_inq_dimlen(id_, dims[i], &lengths[size_t(i)]), path_);
    return lengths;
  }
  std::vector<float> floats(int var, size_t count) const {
    std::vector<float> values(count);
    check(nc_get_var_float(id_, var, values.data()), path_);
    return values;
  }
  std::vector<double> doubles(int var, size_t count) const {
    std::vector<double> values(count);
    check(nc_get_var_double(id_, var, values.data()), path_);
    return values;
  }
  std::string text(int var, const char* name) const {
    nc_type type = NC_NAT;
    size_t len = 0;
    if (nc_inq_att(id_, var, name, &type, &len) != NC_NOERR || type != NC_CHAR) return {};
    std::string value(len, '\0');
    check(nc_get_att_text(id_, var, name, value.data()), path_);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
  }
  std::vector<std::string> strings(int var, size_t count) const {
    std::vector<char*> texts(count, nullptr);
    check(nc_get_var_string(id_, var, texts.data()), path_);
    std::vector<std::string> values(texts.begin(), texts.end());
    nc_free_string(count, texts.data());
    return values;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int id_ = -1;
};

// "long_name (units)", or the one of them the variable has.
std::string axisLabel(const NcReader& nc, int var) {
  const std::string name = nc.text(var, "long_name"), units = nc.text(var, "units");
  if (name.empty()) return units;
  return units.empty() ? name : name + " (" + units + ")";
}

Grid gridOf(std::vector<float> z, int32_t nx, int32_t ny, const std::vector<double>& x,
            const std::vector<double>& y) {
  Grid g;
  g.nx = nx;
  g.ny = ny;
  g.xMin = x.front();
  g.xMax = x.back();
  g.yMin = y.front();
  g.yMax = y.back();
  g.z = std::move(z);
  bool any = false;
  for (float& v : g.z) {
    if (!std::isfinite(v)) {
      v = NAN;
      continue;
    }
    g.zMin = any ? std::min(g.zMin, double(v)) : v;
    g.zMax = any ? std::max(g.zMax, double(v)) : v;
    any = true;
  }
  return g;
}

}  // namespace

GridFile readNetcdfGrid(const std::string& path, bool channels) {
  const NcReader nc(path);
  const int measure = nc.need("coherence");
  const int timeVar = nc.need("time"), frequencyVar = nc.need("frequency");
  const std::vector<size_t> shape = nc.shape(measure);
  if (shape.size() != 2 || shape[0] == 0 || shape[1] == 0 || shape[0] > INT32_MAX ||
      shape[1] > INT32_MAX)
    throw MapError(path + ": \"coherence\" is no grid of frequencies by times");
  const size_t ny = shape[0], nx = shape[1];
  if (nc.shape(timeVar) != std::vector<size_t>{nx} ||
      nc.shape(frequencyVar) != std::vector<size_t>{ny})
    throw MapError(path + ": the axes do not match \"coherence\"");
  const std::vector<double> x = nc.doubles(timeVar, nx), y = nc.doubles(frequencyVar, ny);
  GridFile file;
  file.grid = gridOf(nc.floats(measure, nx * ny), int32_t(nx), int32_t(ny), x, y);
  file.xLabel = axisLabel(nc, timeVar);
  file.yLabel = axisLabel(nc, frequencyVar);
  if (const int level = nc.find("null_level_95"); level >= 0) {
    if (nc.shape(level) == std::vector<size_t>{ny}) file.rowLevels = nc.floats(level, ny);
  }
  if (!channels) return file;
  const int each = nc.find("channel_coherence");
  const int names = nc.find("channel_name");
  if (each < 0 || names < 0)
    throw MapError(path +
                   ": no channel coherences (kelvarodine writes them with --channels into a "
                   ".nc grid)");
  const std::vector<size_t> eachShape = nc.shape(each);
  if (eachShape.size() != 3 || eachShape[1] != ny || eachShape[2] != nx ||
      nc.shape(names) != std::vector<size_t>{eachShape[0]})
    throw MapError(path + ": \"channel_coherence\" does not match \"coherence\"");
  const size_t nch = eachShape[0];
  const std::vector<float> all = nc.floats(each, nch * ny * nx);
  const std::vector<std::string> channelNames = nc.strings(names, nch);
  for (size_t m = 0; m < nch; ++m) {
    std::vector<float> z(all.begin() + std::ptrdiff_t(m * ny * nx),
                         all.begin() + std::ptrdiff_t((m + 1) * ny * nx));
    file.channels.push_back({"channel " + channelNames[m] + ": its coherence with all the others",
                             gridOf(std::move(z), int32_t(nx), int32_t(ny), x, y)});
  }
  return file;
}

#else  // without libnetcdf

bool netcdfSupported() {
  return false;
}

GridFile readNetcdfGrid(const std::string& path, bool) {
  throw MapError(path +
                 ": a netCDF grid, and this kelvarodine-map was built without netCDF support");
}

#endif

}  // namespace kelv::gridmap
