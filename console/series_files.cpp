// The list file, the series files and their console reports.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "console/analysis.hpp"
#include "console/kelvarodine.hpp"
#include "numerics/arrays.hpp"
#include "parallel/workers.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

void writeTextAndCount(std::string_view text, int32_t count) {
  beginFreeFormatWrite(consoleOutput());
  writeItem(consoleOutput(), text);
  writeItem(consoleOutput(), count);
  endWrite(consoleOutput());
}

// " From the serie " name(15) count(7) " samples were read."; a control character
// of the name shows as "?", so that the name cannot drive the terminal and the
// field keeps its width.
void reportSeries(const std::string& name, int32_t count) {
  static constexpr std::array<Field, 4> kFields = {literal(" From the serie "), charField(15),
                                                   intField(7), literal(" samples were read.")};
  std::string shown = name.substr(0, 15);
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  const std::array<int32_t, 1> ints = {count};
  const std::array<std::string_view, 1> texts = {shown};
  formattedWrite(consoleOutput(), kFields, ints, texts);
}

// Whether every name is that of a regular file, or of none that can be looked up
// (opening it fails with the report of the one-thread run).
bool allRegularFiles(int32_t nch, const std::string* seriesNames) {
  for (int32_t j = 0; j < nch; ++j) {
    const std::string path(fileName(seriesNames[j]));
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
  }
  return true;
}

// Reads up to maxSamples values, one per record, into x(j, 1..) until a read fails
// or the file ends; returns how many were read. A null value leaves 0.0.
int32_t readSeries(InputUnit& unit, const View2<float>& x, int32_t j, int32_t maxSamples) {
  // A block of values at a time: the rows of the sample matrix interleave the
  // series, so threads reading other series write the same cache lines, and do so
  // in bursts rather than value by value.
  constexpr int32_t kBlock = 4096;
  std::array<float, kBlock> block;
  int32_t count = 0;
  bool more = true;
  while (more && count < maxSamples) {
    const int32_t want = std::min(kBlock, maxSamples - count);
    int32_t got = 0;
    for (; got < want; ++got) {
      block[static_cast<std::size_t>(got)] = 0.0f;
      if (freeFormatRead(unit, {item(block[static_cast<std::size_t>(got)])}, kHandleBoth) !=
          ReadStatus::success) {
        more = false;
        break;
      }
    }
    for (int32_t k = 1; k <= got; ++k) x(j, count + k) = block[static_cast<std::size_t>(k - 1)];
    count += got;
  }
  return count;
}

}  // namespace

void orderlyStop(std::initializer_list<std::string_view> lines) {
  for (std::string_view line : lines) writeConsoleLine(line);
  freeFormatRead(consoleInput(), {}, kHandleNone);
  stopRun();
}

std::string leftAdjusted(std::string_view name) {
  const std::size_t lead = std::min(name.find_first_not_of(' '), name.size());
  std::string adjusted(name.substr(lead));
  adjusted.append(lead, ' ');
  return adjusted;
}

std::string_view fileName(std::string_view name) {
  const std::size_t last = name.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string_view() : name.substr(0, last + 1);
}

void readListFile(int32_t& nch, std::unique_ptr<std::string[]>& seriesNames,
                  std::unique_ptr<int32_t[]>& sampleCounts) {
  if (openForReading("list", true) != 0) {
    orderlyStop({"Input file \"list\" with list of filenames,",
                 "where time series are located, is absent.",
                 "Press <Enter> to terminate the program..."});
  }
  nch = 0;
  while (nch < INT32_MAX && freeFormatRead(fileInput(), {}, kHandleEnd) == ReadStatus::success) {
    ++nch;
  }
  writeTextAndCount("Number of series to process =", nch);
  if (nch < kMinChannels) {
    closeFile();
    orderlyStop({"Number of series must be => 2 !", "Press <Enter> to terminate..."});
  }

  seriesNames = createArray<std::string>({nch});
  sampleCounts = createArray<int32_t>({nch});
  rewindFile();
  for (int32_t j = 0; j < nch; ++j) formattedLineRead(fileInput(), seriesNames[j], kHandleNone);
  closeFile();
}

int32_t readSeriesFiles(int32_t nch, std::string* seriesNames, int32_t* sampleCounts,
                        int32_t& maxSamples, std::unique_ptr<float[]>& samples) {
  for (int32_t j = 0; j < nch; ++j) seriesNames[j] = leftAdjusted(seriesNames[j]);

  openForReading(fileName(seriesNames[0]), false);
  maxSamples = 0;
  bool endMet = false;
  while (maxSamples < kMaxSampleLines) {
    if (freeFormatRead(fileInput(), {}, kHandleEnd) == ReadStatus::endOfFile) {
      endMet = true;
      break;
    }
    ++maxSamples;
  }
  if (endMet) writeTextAndCount("Number of samples to be processed <=", maxSamples);
  closeFile();

  // Zero-filled so that a null value in a series file (a lone slash or comma) reads
  // as 0.0 rather than as whatever the memory held.
  samples = createArray<float>({nch, maxSamples});
  const View2<float> x(samples.get(), nch, maxSamples);
  std::fill_n(samples.get(), int64_t{nch} * maxSamples, 0.0f);

  // Each series is read on a worker of its own, into a block and from there into
  // its row of the sample matrix; the reports and an open failure come here in the
  // order of the list, as from one thread. Files that are not regular files (pipes,
  // devices) are read one after another in that order, as they may depend on it.
  const int32_t threads = allRegularFiles(nch, seriesNames) ? std::min(analysisThreads(), nch) : 1;
  std::vector<int32_t> openErrors(static_cast<std::size_t>(nch), 0);
  runInOrder(
      threads, nch, nch,
      [&](int32_t, int64_t j) {
        InputFile file;
        openErrors[j - 1] = file.open(fileName(seriesNames[j - 1]));
        if (openErrors[j - 1] == 0)
          sampleCounts[j - 1] = readSeries(file.unit(), x, static_cast<int32_t>(j), maxSamples);
      },
      [&](int64_t j) {
        const std::string& name = seriesNames[j - 1];
        if (openErrors[j - 1] != 0) fatalError(openErrors[j - 1], kFileUnit, fileName(name));
        reportSeries(name, sampleCounts[j - 1]);
      });

  const int32_t realSamples = *std::min_element(sampleCounts, sampleCounts + nch);
  writeTextAndCount("Real number of samples to be processed =", realSamples);
  if (realSamples < kMinSamples) {
    orderlyStop({"The real time window is too short !", "Press <Enter> to terminate..."});
  }
  return realSamples;
}

}  // namespace kelv
