// kelvarodine-map GRID [OUTPUT]: draws a DSAA grid file as a coherence map.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "map/map.hpp"

namespace {

using namespace kelv::gridmap;

constexpr const char* kUsage =
    "usage: kelvarodine-map GRID [OUTPUT]\n"
    "       kelvarodine-map [--title T] [--x-label T] [--y-label T] [--channels] GRID [OUTPUT]\n"
    "  draws the grid file GRID as a picture; OUTPUT ends in .png, .svg\n"
    "  or .pdf and defaults to GRID with the extension .png\n";
constexpr const char* kShortUsage = "kelvarodine-map GRID [OUTPUT]";
constexpr const char* kHelp =
    "usage: kelvarodine-map GRID [OUTPUT]\n"
    "       kelvarodine-map [--title T] [--x-label T] [--y-label T] [--channels] GRID [OUTPUT]\n"
    "       kelvarodine-map --help | --version\n"
    "\n"
    "Draws the grid file GRID that kelvarodine wrote (\"Kelvarodine.grd\", DSAA, or a\n"
    "netCDF grid NAME.nc) as a coherence map: time left to right, frequency upwards,\n"
    "colours from 0 to 1, nodes without data grey. OUTPUT ends in .png, .svg or .pdf\n"
    "and defaults to GRID with the extension .png; it is replaced only when the\n"
    "picture is complete. The axes of a netCDF grid are labelled with its names and\n"
    "units.\n"
    "\n"
    "When \"Kelvarodine.null.grd\" (written by kelvarodine --null) lies in GRID's\n"
    "directory, or a netCDF grid holds the null levels, the nodes below their\n"
    "frequency's 95 % null level are dimmed and the title says so; a companion that\n"
    "does not match GRID is reported with a warning and the map is drawn without it.\n"
    "\n"
    "  --title TEXT     the title (default: GRID's file name)\n"
    "  --x-label TEXT   the label of the time axis (default: the file's, or time in\n"
    "                   units of the time step)\n"
    "  --y-label TEXT   the label of the frequency axis\n"
    "  --channels       under the map one panel per channel, its coherence with all\n"
    "                   the others (a netCDF grid of kelvarodine --channels)\n"
    "\n"
    "Manual: man kelvarodine.\n";

void warnNullLevelNotShown(const std::string& what) {
  std::fprintf(stderr, "kelvarodine-map: warning: %s; the null level is not shown\n", what.c_str());
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool olderThan(const struct stat& a, const struct stat& b) {
  return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec < b.st_mtim.tv_sec
                                              : a.st_mtim.tv_nsec < b.st_mtim.tv_nsec;
}

// The 95 % null level of each row of `grid`, from the companion file beside
// `gridPath`; none when there is no such file, or (with a warning) when it is no
// regular file, cannot be read or does not match the grid.
std::vector<float> nullLevelsBeside(const std::string& gridPath, const Grid& grid) {
  const std::string companion =
      (std::filesystem::path(gridPath).parent_path() / kelv::kNullFileName).string();
  // Only a regular file is read: opening a FIFO would wait for a writer, a device
  // could be read for ever.
  struct stat named {};
  if (::stat(companion.c_str(), &named) != 0) return {};
  struct stat gridStat {};
  const bool gridKnown = ::stat(gridPath.c_str(), &gridStat) == 0;
  if (gridKnown && sameFile(named, gridStat)) return {};  // the grid drawn is the companion
  if (!S_ISREG(named.st_mode)) {
    warnNullLevelNotShown(companion + " is not a regular file");
    return {};
  }
  // Without waiting, should another file have taken the name since.
  int fd;
  do fd = ::open(companion.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    warnNullLevelNotShown("cannot open " + companion + ": " + std::strerror(errno));
    return {};
  }
  const struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    warnNullLevelNotShown(companion + " is not a regular file");
    return {};
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (gridKnown && sameFile(opened, gridStat)) return {};
  // A run without --null leaves an earlier companion: one older than the grid belongs
  // to another run (a run with --null writes it after the grid).
  if (gridKnown && olderThan(opened, gridStat)) {
    warnNullLevelNotShown(companion + " is older than the grid");
    return {};
  }
  try {
    return nullLevelsOf(readGridFile(fd, companion), grid, companion);
  } catch (const MapError& e) {
    warnNullLevelNotShown(e.what());
  }
  return {};
}

struct Arguments {
  std::string gridPath, output;
  std::optional<std::string> title, xLabel, yLabel;
  bool channels = false;
};

int run(const Arguments& a) {
  const std::string& gridPath = a.gridPath;
  const std::string output = a.output.empty() ? defaultOutputName(gridPath) : a.output;
  const std::optional<Format> format = formatOf(output);
  if (!format)
    throw MapError("cannot write " + output +
                   ": the picture's name must end in .png, .svg or .pdf");
  std::error_code ec;
  if (std::filesystem::equivalent(gridPath, output, ec)) {
    throw MapError("cannot write " + output + ": that is the grid file itself");
  }
  installCleanupOnSignals();
  MapText text;
  text.title = std::filesystem::path(gridPath).filename().string();
  if (text.title.empty()) text.title = gridPath;
  GridFile file;
  if (looksLikeNetcdf(gridPath)) {
    if (!netcdfSupported()) {
      std::fprintf(stderr,
                   "kelvarodine-map: %s: a netCDF grid, and this kelvarodine-map was built "
                   "without netCDF support; install libnetcdf-dev (sh scripts/setup-debian.sh "
                   "on Debian) and rebuild\n",
                   gridPath.c_str());
      return 2;
    }
    file = readNetcdfGrid(gridPath, a.channels);
  } else {
    if (a.channels)
      throw MapError(gridPath +
                     ": --channels needs a netCDF grid (kelvarodine --channels --output "
                     "NAME.nc)");
    file.grid = readGridFile(gridPath);
    file.rowLevels = nullLevelsBeside(gridPath, file.grid);
  }
  if (!file.xLabel.empty()) text.xLabel = file.xLabel;
  if (!file.yLabel.empty()) text.yLabel = file.yLabel;
  if (a.title) text.title = *a.title;
  if (a.xLabel) text.xLabel = *a.xLabel;
  if (a.yLabel) text.yLabel = *a.yLabel;
  writeMap(file.grid, text, file.channels, output, *format, file.rowLevels);
  std::printf("kelvarodine-map: wrote %s (%d x %d)\n", output.c_str(), kDefaultWidth,
              kDefaultHeight + int(file.channels.size()) * kPanelHeight);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "-h")
    return kelv::cli::printText("kelvarodine-map", kHelp);
  if (const int status = kelv::cli::standardOption(argc, argv, "kelvarodine-map", kHelp);
      status >= 0)
    return status;
  Arguments arguments;
  std::vector<std::string> positional;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    if (arg == "--channels") {
      arguments.channels = true;
      continue;
    }
    std::optional<std::string>* target = arg == "--title"     ? &arguments.title
                                         : arg == "--x-label" ? &arguments.xLabel
                                         : arg == "--y-label" ? &arguments.yLabel
                                                              : nullptr;
    if (!target)
      return kelv::cli::usageError("kelvarodine-map", "unknown option \"" + arg + "\"",
                                   kShortUsage);
    if (i + 1 == argc)
      return kelv::cli::usageError("kelvarodine-map", arg + " needs a value", kShortUsage);
    *target = std::string(argv[++i]);
  }
  if (positional.empty() || positional.size() > 2) {
    std::fprintf(stderr, "kelvarodine-map: %s", kUsage);
    return 1;
  }
  arguments.gridPath = positional[0];
  if (positional.size() == 2) arguments.output = positional[1];
  int status = 1;
  try {
    status = run(arguments);
  } catch (const kelv::gridmap::MapError& e) {
    std::fprintf(stderr, "kelvarodine-map: %s\n", e.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "kelvarodine-map: out of memory\n");
  }
  kelv::gridmap::releaseDrawingCaches();
  return status;
}
