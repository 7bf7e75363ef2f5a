// kelvarodine-map GRID [OUTPUT]: draws a DSAA grid file as a coherence map.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "cli/command_line.hpp"
#include "map/map.hpp"

namespace {

using namespace kelv::gridmap;

constexpr const char* kUsage =
    "usage: kelvarodine-map GRID [OUTPUT]\n"
    "  draws the grid file GRID as a picture; OUTPUT ends in .png, .svg\n"
    "  or .pdf and defaults to GRID with the extension .png\n";
constexpr const char* kHelp =
    "usage: kelvarodine-map GRID [OUTPUT]\n"
    "       kelvarodine-map --help | --version\n"
    "\n"
    "Draws the DSAA grid file GRID that kelvarodine wrote (\"Kelvarodine.grd\") as a\n"
    "coherence map: time left to right, frequency upwards, colours from 0 to 1, nodes\n"
    "without data grey. OUTPUT ends in .png, .svg or .pdf and defaults to GRID with\n"
    "the extension .png; it is replaced only when the picture is complete.\n"
    "\n"
    "When \"Kelvarodine.null.grd\" (written by kelvarodine --null) lies in GRID's\n"
    "directory, the nodes below their frequency's 95 % null level are dimmed and the\n"
    "title says so; a companion that does not match GRID is reported with a warning\n"
    "and the map is drawn without it.\n"
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

int run(int argc, char** argv) {
  const std::string gridPath = argv[1];
  const std::string output = argc == 3 ? argv[2] : defaultOutputName(gridPath);
  const std::optional<Format> format = formatOf(output);
  if (!format)
    throw MapError("cannot write " + output +
                   ": the picture's name must end in .png, .svg or .pdf");
  std::error_code ec;
  if (std::filesystem::equivalent(gridPath, output, ec)) {
    throw MapError("cannot write " + output + ": that is the grid file itself");
  }
  installCleanupOnSignals();
  const Grid grid = readGridFile(gridPath);
  std::string title = std::filesystem::path(gridPath).filename().string();
  if (title.empty()) title = gridPath;
  writeMap(grid, title, output, *format, nullLevelsBeside(gridPath, grid));
  std::printf("kelvarodine-map: wrote %s (%d x %d)\n", output.c_str(), kDefaultWidth,
              kDefaultHeight);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "-h")
    return kelv::cli::printText("kelvarodine-map", kHelp);
  if (const int status = kelv::cli::standardOption(argc, argv, "kelvarodine-map", kHelp);
      status >= 0)
    return status;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-')
      return kelv::cli::usageError("kelvarodine-map",
                                   "unknown option \"" + std::string(argv[i]) + "\"",
                                   "kelvarodine-map GRID [OUTPUT]");
  }
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "kelvarodine-map: %s", kUsage);
    return 1;
  }
  int status = 1;
  try {
    status = run(argc, argv);
  } catch (const kelv::gridmap::MapError& e) {
    std::fprintf(stderr, "kelvarodine-map: %s\n", e.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "kelvarodine-map: out of memory\n");
  }
  kelv::gridmap::releaseDrawingCaches();
  return status;
}
