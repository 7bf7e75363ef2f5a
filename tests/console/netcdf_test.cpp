// The netCDF grid, end to end: the DSAA grid's floats (blank as NaN), the axes with
// their units, the run's settings, the channels' coherences and the null levels in
// one file that GMT and xarray open; and the same safety as the DSAA grid: targets
// refused before the work, and a run that ends early leaves the earlier file.
#ifdef KELV_TEST_NETCDF

#include <gtest/gtest.h>
#include <netcdf.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "kelvarodine/dsaa.hpp"
#include "support/run_program.hpp"
#ifdef KELV_TEST_MSEED
#include "support/mseed_writer.hpp"
#endif

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

RunResult run(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), testing::consoleProgram());
  return testing::runProgram(args, "", dir.path());
}

// Three coupled channels with a time column; rows 300 to 309 of channel y are gaps,
// so that some windows are blank.
void writeTable(const TempDir& dir, int n) {
  std::string csv = "time,x,y,z\n";
  double a = 0, b = 0, d = 0;
  uint64_t state = 7;
  const auto noise = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return double(state >> 11) / double(uint64_t{1} << 53) - 0.5;
  };
  for (int t = 0; t < n; ++t) {
    a = 0.8 * a + noise();
    b = 0.5 * b + 0.6 * a + noise();
    d = 0.3 * d + 0.5 * b + noise();
    char line[128];
    if (t >= 300 && t < 310)
      std::snprintf(line, sizeof line, "%d,%.6f,NA,%.6f\n", 10 + 4 * t, a, d);
    else
      std::snprintf(line, sizeof line, "%d,%.6f,%.6f,%.6f\n", 10 + 4 * t, a, b, d);
    csv += line;
  }
  writeFile(dir / "data.csv", csv);
}

const std::vector<std::string> kSettings = {"--window", "128",        "--shift",       "48",
                                            "--order",  "3",          "--time-column", "time",
                                            "--quiet",  "--channels", "--null"};

// A netCDF file open for reading, its calls checked.
class NcFile {
 public:
  explicit NcFile(const fs::path& path) {
    const int status = nc_open(path.c_str(), NC_NOWRITE, &id_);
    if (status != NC_NOERR) throw std::runtime_error(nc_strerror(status));
  }
  ~NcFile() { nc_close(id_); }
  int var(const char* name) const {
    int v = -1;
    EXPECT_EQ(nc_inq_varid(id_, name, &v), NC_NOERR) << name;
    return v;
  }
  std::vector<float> floats(const char* name) const {
    const int v = var(name);
    int dims[NC_MAX_VAR_DIMS];
    int n = 0;
    nc_inq_varndims(id_, v, &n);
    nc_inq_vardimid(id_, v, dims);
    size_t count = 1;
    for (int i = 0; i < n; ++i) {
      size_t len = 0;
      nc_inq_dimlen(id_, dims[i], &len);
      count *= len;
    }
    std::vector<float> values(count);
    EXPECT_EQ(nc_get_var_float(id_, v, values.data()), NC_NOERR);
    return values;
  }
  std::vector<double> doubles(const char* name) const {
    const int v = var(name);
    size_t len = 0;
    int dim = -1;
    nc_inq_vardimid(id_, v, &dim);
    nc_inq_dimlen(id_, dim, &len);
    std::vector<double> values(len);
    EXPECT_EQ(nc_get_var_double(id_, v, values.data()), NC_NOERR);
    return values;
  }
  std::string text(const char* var, const char* name) const {
    const int v = var ? this->var(var) : NC_GLOBAL;
    size_t len = 0;
    if (nc_inq_attlen(id_, v, name, &len) != NC_NOERR) return "(none)";
    std::string value(len, '\0');
    nc_get_att_text(id_, v, name, value.data());
    return value;
  }
  std::vector<double> numbers(const char* var, const char* name) const {
    const int v = var ? this->var(var) : NC_GLOBAL;
    size_t len = 0;
    if (nc_inq_attlen(id_, v, name, &len) != NC_NOERR) return {};
    std::vector<double> values(len);
    nc_get_att_double(id_, v, name, values.data());
    return values;
  }
  int id() const { return id_; }

 private:
  int id_ = -1;
};

uint32_t bitsOf(float z) {
  uint32_t b;
  std::memcpy(&b, &z, sizeof b);
  return b;
}

// The DSAA grid's nodes (row after row) and the netCDF variable's (frequency, time)
// are the same floats, bit for bit; blank is NaN.
void expectSameFloats(const DsaaGrid& grid, const float* values, const std::string& what) {
  int differing = 0, blank = 0;
  for (std::size_t i = 0; i < grid.z.size(); ++i) {
    if (std::isnan(grid.z[i])) {
      ++blank;
      if (!std::isnan(values[i])) ++differing;
    } else if (bitsOf(grid.z[i]) != bitsOf(values[i])) {
      ++differing;
    }
  }
  EXPECT_EQ(differing, 0) << what;
  EXPECT_GT(blank, 0) << what << ": the gap should blank some windows";
}

TEST(NetcdfGrid, HoldsTheDsaaGridsFloatsAxesSettingsChannelsAndNullLevels) {
  TempDir dir;
  writeTable(dir, 900);
  auto dsaaArgs = kSettings, ncArgs = kSettings;
  dsaaArgs.insert(dsaaArgs.end(), {"--output", "g.grd", "data.csv"});
  ncArgs.insert(ncArgs.end(), {"--output", "g.nc", "data.csv"});
  const RunResult d = run(dir, dsaaArgs);
  ASSERT_EQ(d.exitCode, 0) << d.err;
  const RunResult n = run(dir, ncArgs);
  ASSERT_EQ(n.exitCode, 0) << n.err;
  // One file: no companions beside it.
  EXPECT_FALSE(fs::exists(dir / "g.null.nc"));
  EXPECT_FALSE(fs::exists(dir / "g.ch-x.nc"));
  // Same input, same bytes (HDF5 keeps no times of its objects here).
  const std::string bytes = readFile(dir / "g.nc");
  ASSERT_EQ(run(dir, ncArgs).exitCode, 0);
  EXPECT_TRUE(readFile(dir / "g.nc") == bytes);

  const DsaaGrid grid = readDsaa((dir / "g.grd").string());
  const NcFile nc(dir / "g.nc");
  const std::vector<float> measure = nc.floats("coherence");
  ASSERT_EQ(measure.size(), grid.z.size());
  expectSameFloats(grid, measure.data(), "coherence");

  // Axes: node registration over the DSAA grid's ranges, with units and names.
  const std::vector<double> time = nc.doubles("time"), frequency = nc.doubles("frequency");
  ASSERT_EQ(int(time.size()), grid.nx);
  ASSERT_EQ(int(frequency.size()), grid.ny);
  EXPECT_EQ(time.front(), grid.xMin);
  EXPECT_EQ(time.back(), grid.xMax);
  EXPECT_EQ(frequency.front(), grid.yMin);
  EXPECT_EQ(frequency.back(), grid.yMax);
  EXPECT_EQ(time[1] - time[0], 4.0 * 48);
  // GMT guesses pixel registration for axes without a range.
  EXPECT_EQ(nc.numbers("time", "actual_range"), (std::vector<double>{grid.xMin, grid.xMax}));
  EXPECT_EQ(nc.numbers("frequency", "actual_range"), (std::vector<double>{grid.yMin, grid.yMax}));
  EXPECT_EQ(nc.text("time", "units"), "time unit");
  EXPECT_EQ(nc.text("frequency", "units"), "cycles per time unit");
  EXPECT_NE(nc.text("time", "long_name"), "(none)");
  EXPECT_EQ(nc.text("frequency", "long_name"), "frequency");
  const std::vector<double> range = nc.numbers("coherence", "actual_range");
  ASSERT_EQ(range.size(), 2u);
  EXPECT_EQ(range[0], double(float(grid.zMin)));
  EXPECT_EQ(range[1], double(float(grid.zMax)));
  const std::vector<double> fill = nc.numbers("coherence", "_FillValue");
  ASSERT_EQ(fill.size(), 1u);
  EXPECT_TRUE(std::isnan(fill[0]));

  // The run's settings.
  EXPECT_EQ(nc.numbers(nullptr, "window"), std::vector<double>{128});
  EXPECT_EQ(nc.numbers(nullptr, "shift"), std::vector<double>{48});
  EXPECT_EQ(nc.numbers(nullptr, "order"), std::vector<double>{3});
  EXPECT_EQ(nc.numbers(nullptr, "differencing"), std::vector<double>{0});
  EXPECT_EQ(nc.numbers(nullptr, "start"), std::vector<double>{10});
  EXPECT_EQ(nc.numbers(nullptr, "step"), std::vector<double>{4});
  EXPECT_EQ(nc.text(nullptr, "inputs"), "data.csv");
  EXPECT_EQ(nc.text(nullptr, "channels"), "x, y, z");
  EXPECT_EQ(nc.text(nullptr, "source"), "kelvarodine " KELV_VERSION);
  EXPECT_NE(nc.text(nullptr, "settings").find("--window 128 --shift 48 --order 3"),
            std::string::npos);

  // Each channel's coherence: its DSAA companion's floats, and the measure the root
  // of their product.
  const std::vector<float> channels = nc.floats("channel_coherence");
  ASSERT_EQ(channels.size(), 3 * measure.size());
  const char* names[] = {"x", "y", "z"};
  std::vector<std::string> stored(3);
  char* texts[3] = {};
  ASSERT_EQ(nc_get_var_string(nc.id(), nc.var("channel_name"), texts), NC_NOERR);
  for (int m = 0; m < 3; ++m) {
    EXPECT_STREQ(texts[m], names[m]);
    const DsaaGrid companion =
        readDsaa((dir / ("g.ch-" + std::string(names[m]) + ".grd")).string());
    expectSameFloats(companion, channels.data() + m * measure.size(), names[m]);
  }
  nc_free_string(3, texts);
  int compared = 0;
  for (std::size_t i = 0; i < measure.size(); ++i) {
    if (std::isnan(measure[i])) continue;
    const double product =
        double(channels[i]) * channels[i + measure.size()] * channels[i + 2 * measure.size()];
    EXPECT_NEAR(std::sqrt(product), measure[i], 2e-6 + 2e-6 * measure[i]) << i;
    ++compared;
  }
  EXPECT_GT(compared, 0);

  // The null levels: the DSAA companion's two columns.
  const DsaaGrid levels = readDsaa((dir / "g.null.grd").string());
  const std::vector<float> l95 = nc.floats("null_level_95"), l99 = nc.floats("null_level_99");
  ASSERT_EQ(int(l95.size()), levels.ny);
  for (int f = 0; f < levels.ny; ++f) {
    EXPECT_EQ(bitsOf(l95[f]), bitsOf(levels.z[2 * f])) << f;
    EXPECT_EQ(bitsOf(l99[f]), bitsOf(levels.z[2 * f + 1])) << f;
  }
}

bool haveCommand(const std::string& test) {
  return std::system((test + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(NetcdfGrid, GmtAndXarrayOpenItAsItIs) {
  TempDir dir;
  writeTable(dir, 600);
  auto args = kSettings;
  args.insert(args.end(), {"--time-unit", "ms", "--output", "g.nc", "data.csv"});
  ASSERT_EQ(run(dir, args).exitCode, 0);
  const std::string file = (dir / "g.nc").string();
  bool ran = false;
  if (haveCommand("gmt --version")) {
    ran = true;
    const RunResult info =
        testing::runProgram({"/bin/sh", "-c", "gmt grdinfo g.nc"}, "", dir.path());
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("Gridline node registration"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("name: frequency [1/ms] n_rows: 64"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("[ms] n_columns: 10"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("name: canonical coherence measure"), std::string::npos) << info.out;
    EXPECT_EQ(info.err, "");
    const RunResult image = testing::runProgram(
        {"/bin/sh", "-c", "gmt grdimage g.nc -JX10c -Baf > g.ps"}, "", dir.path());
    EXPECT_EQ(image.exitCode, 0) << image.err;
    EXPECT_GT(fs::file_size(dir / "g.ps"), 1000u);
  } else {
    std::printf("skipped: gmt is not installed (sh scripts/setup-debian.sh)\n");
  }
  if (haveCommand("/usr/bin/python3 -c 'import xarray, netCDF4'")) {
    ran = true;
    const RunResult py = testing::runProgram(
        {"/usr/bin/python3", "-c",
         "import xarray, numpy\n"
         "d = xarray.open_dataset('g.nc')\n"
         "z = d.coherence\n"
         "p = numpy.sqrt(d.channel_coherence.prod('channel'))\n"
         "print(z.dims, d.channel_coherence.dims, list(d.channel_name.values),\n"
         "      d.frequency.attrs['units'], d.attrs['window'], int(z.isnull().sum()),\n"
         "      bool((abs(p - z) <= 2e-6 + 2e-6 * z).where(z.notnull(), True).all()))\n"},
        "", dir.path());
    EXPECT_EQ(py.exitCode, 0) << py.err;
    EXPECT_EQ(py.out,
              "('frequency', 'time') ('channel', 'frequency', 'time') ['x', 'y', 'z'] 1/ms 128 "
              "192 True\n");
  } else {
    std::printf("skipped: python3-xarray or python3-netcdf4 is not installed\n");
  }
  if (!ran) GTEST_SKIP() << "neither gmt nor xarray is installed";
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

const std::string kEarlier = "an earlier grid\n";

// A directory or a file of several links is refused before the work; a link is
// followed, its target replaced; a signal, a kill or a full disk during the run
// leave the earlier file as it was and nothing beside it.
TEST(NetcdfGrid, TargetsAndEndingsLeaveTheEarlierFileAsTheDsaaGridDoes) {
  TempDir dir;
  // 1977 windows of 1024 frequencies: several blocks of columns.
  writeTable(dir, 6000);
  std::vector<std::string> args = {"--window",   "2048",     "--shift",       "2",
                                   "--order",    "2",        "--time-column", "time",
                                   "--channels", "--output", "g.nc",          "data.csv"};
  fs::create_directory(dir / "g.nc");
  RunResult r = run(dir, args);
  EXPECT_EQ(r.exitCode, 30) << r.err;
  EXPECT_NE(r.err.find("kelvarodine: severe (30): open failure, unit 1, file g.nc"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("windows 1 of"), std::string::npos);
  fs::remove(dir / "g.nc");

  writeFile(dir / "g.nc", kEarlier);
  fs::create_hard_link(dir / "g.nc", dir / "other.nc");
  EXPECT_EQ(run(dir, args).exitCode, 30);
  EXPECT_EQ(readFile(dir / "other.nc"), kEarlier);
  fs::remove(dir / "other.nc");

  fs::create_directory(dir / "sub");
  writeFile(dir / "sub" / "target.nc", kEarlier);
  fs::create_symlink("sub/target.nc", dir / "link.nc");
  auto linked = args;
  linked[linked.size() - 2] = "link.nc";
  linked[3] = "512";  // a shift of 512: 8 windows
  r = run(dir, linked);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir / "link.nc"));
  EXPECT_EQ(entries(dir / "sub"), std::set<std::string>{"target.nc"});
  EXPECT_NO_THROW(NcFile(dir / "sub" / "target.nc"));

  // Signals during the window loop, once the first blocks are in the file.
  const auto before = entries(dir.path());
  for (const int signo : {SIGINT, SIGTERM, SIGKILL}) {
    SCOPED_TRACE(strsignal(signo));
    bool sent = false;
    auto withArgs = args;
    withArgs.insert(withArgs.begin(), testing::consoleProgram());
    r = testing::runProgram(withArgs, "", dir.path(), {}, [&](pid_t pid, const RunResult& so) {
      // The third progress line: a fifth of the windows, a block in the file.
      std::size_t lines = 0;
      for (std::size_t at = so.out.find("windows "); at != std::string::npos;
           at = so.out.find("windows ", at + 1))
        ++lines;
      if (!sent && lines >= 3) {
        kill(pid, signo);
        sent = true;
      }
    });
    ASSERT_TRUE(sent);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(readFile(dir / "g.nc"), kEarlier);
    // SIGKILL cannot be caught: the named replacement it may leave is the one
    // exception to "nothing beside it".
    if (signo != SIGKILL) {
      EXPECT_EQ(entries(dir.path()), before);
    } else {
      for (const auto& name : entries(dir.path()))
        if (!before.count(name)) fs::remove(dir / name);
    }
  }

  // A disk that fills: the file size limit stops the file's growth.
  auto withArgs = args;
  withArgs.insert(withArgs.begin(), testing::consoleProgram());
  r = testing::runInChild(
      [&] {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{200000, 200000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        std::vector<char*> argv;
        for (auto& a : withArgs) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
      },
      "");
  EXPECT_EQ(r.exitCode, 38) << r.err;
  EXPECT_NE(r.err.find("kelvarodine: severe (38)"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(dir / "g.nc"), kEarlier);
  EXPECT_EQ(entries(dir.path()), before);
}

#ifdef KELV_TEST_MSEED
// miniSEED time marks are seconds: the frequency is in Hz.
TEST(NetcdfGrid, MiniSeedAxesAreSecondsAndHertz) {
  TempDir dir;
  std::vector<float> a, b;
  for (int i = 0; i < 600; ++i) {
    a.push_back(float(std::sin(0.3 * i) + 0.1 * (i % 3)));
    b.push_back(float(std::cos(0.2 * i) + 0.1 * (i % 5)));
  }
  std::string file;
  testing::appendTrace(file, "HHZ", 1700000000.0, 50.0, a);
  testing::appendTrace(file, "HHN", 1700000000.0, 50.0, b);
  writeFile(dir / "a.mseed", file);
  const RunResult r = run(dir, {"--window", "128", "--shift", "64", "--order", "2", "--quiet",
                                "--output", "s.nc", "a.mseed"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const NcFile nc(dir / "s.nc");
  EXPECT_EQ(nc.text("time", "units"), "s");
  EXPECT_EQ(nc.text("frequency", "units"), "Hz");
  EXPECT_EQ(nc.doubles("frequency").back(), 63.0 / 128 * 50.0);
}
#endif

}  // namespace
}  // namespace kelv

#else  // a build without libnetcdf

#include <gtest/gtest.h>

#include "support/run_program.hpp"

namespace kelv {
namespace {

// Without libnetcdf a .nc output is refused before anything is read, saying how to
// get it.
TEST(NetcdfGrid, ABuildWithoutLibnetcdfSaysSoAndHowToGetIt) {
  testing::TempDir dir;
  testing::writeFile(dir / "earlier.nc", "earlier\n");
  const testing::RunResult r =
      testing::runProgram({testing::consoleProgram(), "--window", "64", "--shift", "32", "--order",
                           "2", "--output", "earlier.nc", "missing.csv"},
                          "", dir.path());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err,
            "kelvarodine: --output \"earlier.nc\": this kelvarodine was built without netCDF "
            "support; install libnetcdf-dev (sh scripts/setup-debian.sh on Debian) and rebuild\n");
  EXPECT_EQ(testing::readFile(dir / "earlier.nc"), "earlier\n");
}

}  // namespace
}  // namespace kelv

#endif
