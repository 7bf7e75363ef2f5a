// The streamed command-line run: the samples read as the windows need them, the
// grid's columns through a temporary file of tiles.
#include "cli/streaming.hpp"

#include <algorithm>
#include <vector>

#include "cli/column_file.hpp"
#include "parallel/workers.hpp"

namespace kelv::cli {

namespace {

// Nodes of columns a block of windows holds, and so a tile of the temporary file:
// small against a record, large enough that the file is read in few pieces.
constexpr int64_t kTileNodes = int64_t{1} << 17;

}  // namespace

bool streamable(const BatchOptions& options, std::string_view outputExtension) {
  return !options.nullLevel && !options.channels && outputExtension == ".grd";
}

int64_t analyseStreamed(const Plan& plan, const ScannedInput& input, const Options& options,
                        const std::string& output) {
  // Blocks of windows: enough for every thread, a tile's nodes at most.
  const int32_t threads = threadsFor(options.threads);
  // Every tile but the last holds whole lines of four values of each row.
  int64_t block = std::max<int64_t>(std::min<int64_t>(kTileNodes / plan.nfreq, plan.nWindows),
                                    std::min<int64_t>(4 * int64_t(threads), plan.nWindows));
  if (block < plan.nWindows) block = std::max<int64_t>(4, block / 4 * 4);
  SampleReader series(input, (block - 1) * plan.shift + plan.nlen);
  ColumnFile columns(output, plan.nfreq);
  std::vector<float> blockColumns(static_cast<std::size_t>(block * plan.nfreq));
  for (int64_t first = 1; first <= plan.nWindows; first += block) {
    const int64_t last = std::min<int64_t>(plan.nWindows, first + block - 1);
    const Samples samples =
        series.hold((first - 1) * plan.shift + 1, (last - 1) * plan.shift + plan.nlen);
    analyseWindows(plan, samples, first, last, blockColumns.data(), options);
    columns.append(blockColumns.data(), last - first + 1);
  }
  columns.writeDsaa(gridAxes(plan), threads);
  return columns.blank();
}

}  // namespace kelv::cli
