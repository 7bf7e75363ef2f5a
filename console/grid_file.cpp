// The console's grid files: "Kelvarodine.grd" and the null level's companion, laid
// out by the DSAA module and written through the text layer's replacement file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "console/analysis.hpp"
#include "parallel/workers.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

// Nodes per block of rows formatted at once.
constexpr int64_t kBlockValues = 8192;

}  // namespace

uint64_t gridFileBytes(const RunParameters& run) {
  return dsaaFileBytes(run.nWindows, run.nfreq);
}

void prepareGridFile(const RunParameters& run) {
  openReplacement(kGridFileName, gridFileBytes(run));
}

void writeGrid(const GridHeader& header, const float* grid) {
  writeGrid(fileOutput(), header, grid);
  commitFile();
}

void writeGrid(OutputUnit& out, const GridHeader& header, const float* grid) {
  const int32_t nx = header.nx;
  const int32_t ny = header.ny;
  writeRecords(out, dsaaHeaderText(dsaaHeader(grid, nx, ny, header.xMin, header.xMax, header.yMin,
                                              header.yMax)));

  // The rows in blocks of about kBlockValues nodes, formatted on the workers and
  // written here in their order.
  const int64_t rowsPerBlock = std::max<int64_t>(1, kBlockValues / std::max(nx, 1));
  const int64_t blocks = ny > 0 ? (ny + rowsPerBlock - 1) / rowsPerBlock : 0;
  const int32_t threads = static_cast<int32_t>(std::min<int64_t>(analysisThreads(), blocks));
  const int64_t ahead = 4 * int64_t(threads);
  std::vector<std::string> texts(static_cast<std::size_t>(std::max<int64_t>(ahead, 1)));
  const auto text = [&](int64_t block) -> std::string& {
    return texts[static_cast<std::size_t>((block - 1) % ahead)];
  };
  runInOrder(
      threads, blocks, ahead,
      [&](int32_t, int64_t block) {
        const int64_t first = (block - 1) * rowsPerBlock + 1;
        const int64_t last = std::min<int64_t>(ny, block * rowsPerBlock);
        appendDsaaRows(grid, nx, ny, first, last, text(block));
      },
      [&](int64_t block) {
        writeRecords(out, text(block));
        text(block).clear();
      });
}

void writeGridFile(const RunParameters& run, const float* grid) {
  const GridAxes axes = gridAxes(run);
  writeGrid({run.nWindows, run.nfreq, axes.xMin, axes.xMax, axes.yMin, axes.yMax}, grid);
}

void writeGridFile(const RunParameters& run, const float* grid, const GridRows& rows,
                   const std::function<void()>& whileFlushing) {
  const GridAxes axes = gridAxes(run);
  OutputUnit& out = fileOutput();
  if (rows.bytes == 0) {
    writeGrid(out, {run.nWindows, run.nfreq, axes.xMin, axes.xMax, axes.yMin, axes.yMax}, grid);
  } else {
    writeRecords(out, dsaaHeaderText(dsaaHeader(rows.range, run.nWindows, run.nfreq, axes.xMin,
                                                axes.xMax, axes.yMin, axes.yMax)));
    writeRecords(out, std::string_view(rows.text.get(), rows.bytes));
  }
  commitFile(whileFlushing);
}

bool nullLevelRequested() {
  const char* setting = std::getenv("KELVARODINE_NULL");
  return setting && std::strcmp(setting, "1") == 0;
}

std::vector<float> estimateNullLevels(const RunParameters& run, const float* samples) {
  return nullLevels(run, channelsFastest(samples, run.nch, run.maxSamples), analysisThreads());
}

void prepareNullGridFile(const RunParameters& run, ReplacementFile& file) {
  file.open(kNullFileName, dsaaFileBytes(2, run.nfreq));
}

void writeNullGridFile(const RunParameters& run, const float* levels, ReplacementFile& file) {
  const GridAxes axes = gridAxes(run);
  writeGrid(file.unit(), {2, run.nfreq, 95.0, 99.0, axes.yMin, axes.yMax}, levels);
  file.commit();
}

}  // namespace kelv
