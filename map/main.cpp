// kelvarodine-map GRID [OUTPUT]: draws a DSAA grid file as a coherence map.
#include <cstdio>
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

// The 95 % null level of each row of `grid`, from the companion file beside
// `gridPath`; none when there is no such file, or (with a warning) when it cannot be
// read or does not match the grid.
std::vector<float> nullLevelsBeside(const std::string& gridPath, const Grid& grid) {
  const std::filesystem::path companion =
      std::filesystem::path(gridPath).parent_path() / kNullFileName;
  std::error_code ec;
  if (!std::filesystem::exists(companion, ec) ||
      std::filesystem::equivalent(companion, gridPath, ec))
    return {};
  // A run without --null leaves an earlier companion: one older than the grid belongs
  // to another run (a run with --null writes it after the grid).
  const auto companionTime = std::filesystem::last_write_time(companion, ec);
  const auto gridTime = std::filesystem::last_write_time(gridPath, ec);
  if (!ec && companionTime < gridTime) {
    std::fprintf(stderr,
                 "kelvarodine-map: warning: %s is older than the grid; the null level is not "
                 "shown\n",
                 companion.string().c_str());
    return {};
  }
  try {
    return nullLevelsOf(readGridFile(companion.string()), grid, companion.string());
  } catch (const MapError& e) {
    std::fprintf(stderr, "kelvarodine-map: warning: %s; the null level is not shown\n", e.what());
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
