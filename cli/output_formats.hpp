// The grid file formats the command line writes, chosen by the output file's
// extension: the one place that knows them. Every file goes through the text
// layer's replacement file, which replaces an earlier file only when complete.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "textio/textio.hpp"

namespace kelv::cli {

// A grid of ny rows (frequencies) by nx columns (windows, or the null level's two
// coverages); node (row f, column w) at values[(f - 1) + (w - 1) ny], not-a-number
// where the node is blank.
struct GridImage {
  int32_t nx = 0, ny = 0;
  double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
  const float* values = nullptr;
};

struct OutputFormat {
  std::string_view extension;    // with its dot, in lower case
  std::string_view description;  // for messages and the help
  // Bytes of a file of nx x ny nodes, set aside on the disk before the analysis
  // (0: unknown).
  uint64_t (*fileBytes)(int32_t nx, int32_t ny);
  // Writes the grid into the replacement file opened for it and puts it in place
  // (nullptr for a format the run writes itself as the windows finish).
  void (*write)(const GridImage& image);
  // The same into a companion's replacement file, which the caller then commits.
  void (*writeTo)(OutputUnit& unit, const GridImage& image);
  // Whether this build writes the format.
  bool (*supported)();
  // The file holds the channels' coherences and the null levels itself, written by
  // the run column block by column block (NetcdfGrid), and has no companion files.
  bool writtenByRun = false;
};

// The format of an output file by its extension (in any case); nullptr when no
// format has it.
const OutputFormat* outputFormatOf(std::string_view path);
// The formats, for a message: ".grd (DSAA ASCII grid), .nc (...)".
std::string outputFormatList();

// Opens the replacement of `path` for a grid of nx x ny nodes, so that a file that
// cannot be written is reported before any work (a fatal report of the text layer).
void prepareGridFile(const OutputFormat& format, const std::string& path, int32_t nx, int32_t ny);
// Writes a grid into the file prepareGridFile opened last.
void writePreparedGrid(const OutputFormat& format, const GridImage& image);
// A companion file (a channel's grid, the null levels) opened, and its room reserved,
// before the work as prepareGridFile's, on a replacement file of its own; written and put
// in place by writeCompanion.
std::unique_ptr<ReplacementFile> prepareCompanion(const OutputFormat& format,
                                                  const std::string& path, int32_t nx, int32_t ny);
void writeCompanion(const OutputFormat& format, ReplacementFile& file, const GridImage& image);

// A companion file beside the output: "NAME.grd" and "null" give "NAME.null.grd".
std::string companionName(std::string_view output, std::string_view tag);

}  // namespace kelv::cli
