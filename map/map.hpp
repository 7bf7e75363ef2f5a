// kelvarodine-map: reads an ASCII "DSAA" grid file and draws it as a coherence map
// (PNG, SVG or PDF, through cairo).
//
// Grid file: the token "DSAA"; the node counts nx and ny; xMin xMax; yMin yMax;
// zMin zMax; then nx * ny values row by row, the first row at y = yMin and each row
// from x = xMin to x = xMax. Tokens are separated by blanks, tabs and line ends (CR LF,
// LF or CR); any number of them may share a line. A value of 1.70141E+38 or more, or
// one that is not finite, marks a node without data.
//
// Picture: x (time) runs left to right, y (frequency) bottom to top. Every node is a
// cell centred on its coordinates. Along an axis with no more nodes than pixels a
// pixel shows the nearest node; along one with more, the largest value of the nodes
// whose centres it holds, so that a peak of one window never vanishes. Colours come
// from the viridis map over 0..1, widened to the smallest and largest finite value
// when those fall outside; nodes without data are grey. Given the 95 % null level of
// each row, a node below its row's level is dimmed: its colour blended towards light
// grey, so that only the nodes above the level keep their full colour.
//
// Every failure throws MapError with a complete message (without the program's name)
// and leaves no output file behind: pictures are written to a temporary file beside
// the file they replace and take its name only once complete. An existing picture
// keeps its mode (and owner and group where that may be given); a symbolic link is
// followed as an open of it would be, and the new file goes beside the file it leads
// to; anything but a regular file with a single link is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelvarodine/dsaa.hpp"

namespace kelv::gridmap {

struct MapError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- grid file
inline constexpr double kBlankValue = kDsaaBlankText;  // this and above: no data

// A grid as the DSAA module reads it.
using Grid = DsaaGrid;

// `name` is the file name used in messages ("NAME: line L: ...").
Grid parseGrid(std::string_view text, const std::string& name);
Grid readGridFile(const std::string& path);
// From an open descriptor, read to its end; `name` for messages.
Grid readGridFile(int fd, const std::string& name);

// The 95 % null level of each of `grid`'s rows (NaN where undefined): column 1 of
// `levels`, a grid of 2 columns with the rows and y range of `grid`. Throws MapError
// ("NAME: ...") when `levels` does not match.
std::vector<float> nullLevelsOf(const Grid& levels, const Grid& grid, const std::string& name);

// ---------------------------------------------------------------- netCDF grid
// A panel under the map: one channel's coherence over the grid's axes.
struct Panel {
  std::string title;
  Grid grid;
};

// What a netCDF grid file (kelvarodine --output NAME.nc) holds besides its nodes:
// the "coherence" variable over "frequency" (rows) and "time" (columns).
struct GridFile {
  Grid grid;
  std::string xLabel, yLabel;    // "long_name (units)" of the axes; empty: none
  std::vector<float> rowLevels;  // null_level_95, one per row; empty: none
  std::vector<Panel> channels;   // channel_coherence, when asked for
};

// Whether this build reads netCDF grids (it needs libnetcdf).
bool netcdfSupported();
// Whether the file begins as a netCDF file (classic or HDF5-based) does.
bool looksLikeNetcdf(const std::string& path);
// Reads a netCDF grid; with `channels`, each channel's coherence as a panel (a
// MapError when the file has none).
GridFile readNetcdfGrid(const std::string& path, bool channels);

// ---------------------------------------------------------------- colours
struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};
extern const float kViridis[256][3];  // red, green, blue in 0..1
Rgb viridis(int index);               // kViridis[index] in 8 bits
inline constexpr Rgb kNoDataGrey{160, 160, 160};

struct ColourRange {
  double lo = 0.0, hi = 1.0;
};
// 0..1, widened to the finite data's extremes.
ColourRange colourRange(const Grid& grid);
// viridis(round(255 * (z - lo) / (hi - lo))), clamped; grey for no data.
Rgb colourOf(float z, ColourRange range);
// A node's colour when it lies below its row's null level: 3 parts of `c` to 7 of a
// light grey. Never a viridis colour, nor the grey of no data.
Rgb dimmed(Rgb c);

// ---------------------------------------------------------------- axes
// The smallest step of the form {1, 2, 5} x 10^k that divides `span` into at most
// `maxIntervals` intervals.
double tickStep(double span, int maxIntervals);
// The multiples of `step` within [lo, hi].
std::vector<double> tickValues(double lo, double hi, double step);
// A tick's label, with just the digits that `step` needs ("0.25", "1500", "2e-07").
std::string tickLabel(double value, double step);

// The coordinate range an axis shows for n nodes from first to last: the nodes' cells
// in full, increasing; a single node (or n nodes at one coordinate) gets a small range
// around it. `reversed` is set when first > last.
struct AxisRange {
  double lo = 0, hi = 0;
  bool reversed = false;
};
AxisRange axisRange(double first, double last, int32_t n);

// ---------------------------------------------------------------- picture
inline constexpr int kDefaultWidth = 1200;
inline constexpr int kDefaultHeight = 700;

struct PixelRect {
  int x = 0, y = 0, w = 0, h = 0;  // device pixels (points for SVG and PDF)
};
struct Layout {
  int width = 0, height = 0;
  PixelRect plot;       // the grid's image
  PixelRect colourBar;  // the colour scale
};
Layout computeLayout(int width, int height);  // width >= 400, height >= 300

enum class Format { png, svg, pdf };
// By the name's extension (any letter case); nothing for other names.
std::optional<Format> formatOf(const std::string& path);
// `gridPath` with its extension replaced by ".png".
std::string defaultOutputName(const std::string& gridPath);

// Draws `grid` with `title` and writes it to `output` in `format`, replacing any file
// of that name only when the new one is complete. With `rowLevels` (one per row, as
// nullLevelsOf gives them) the nodes below their row's level are dimmed and the title
// says so; a row whose level is NaN is drawn in full colour.
void writeMap(const Grid& grid, const std::string& title, const std::string& output, Format format,
              const std::vector<float>& rowLevels = {}, int width = kDefaultWidth,
              int height = kDefaultHeight);

// The words of a map: its title and the labels of its axes.
inline constexpr const char* kDefaultXLabel = "time, in units of the time step";
inline constexpr const char* kDefaultYLabel = "frequency, cycles per unit of the time step";
struct MapText {
  std::string title;
  std::string xLabel = kDefaultXLabel;
  std::string yLabel = kDefaultYLabel;
};
// Height of a panel under the map, in pixels.
inline constexpr int kPanelHeight = 300;

// As above, with the axes labelled by `text` and, under the map, one panel of
// kPanelHeight pixels per entry of `panels` (titled by it, same axes): the picture
// is height + panels x kPanelHeight high.
void writeMap(const Grid& grid, const MapText& text, const std::vector<Panel>& panels,
              const std::string& output, Format format, const std::vector<float>& rowLevels = {},
              int width = kDefaultWidth, int height = kDefaultHeight);

// Frees the font caches that cairo and fontconfig keep for the life of the process
// (so that leak checkers see a clean exit). Call once, when no drawing is left.
void releaseDrawingCaches();

// Makes SIGINT, SIGTERM and SIGHUP remove a temporary picture being written before the
// process ends.
void installCleanupOnSignals();

namespace detail {
// False: the picture is written to a named temporary file even where the file system
// has unnamed ones (for tests of that way).
inline bool unnamedTemporaries = true;
}  // namespace detail

}  // namespace kelv::gridmap
