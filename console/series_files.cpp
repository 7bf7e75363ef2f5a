// The list file, the series files and their console reports.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "console/analysis.hpp"
#include "console/kelvarodine.hpp"
#include "console/series_reading.hpp"
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

// The console line that follows the report of a series whose reading stopped at a
// line it could not read, naming the file (control characters shown as "?"), the
// line and the reason; one record however long the name.
void warnSeriesStop(std::string_view name, const SeriesEnd& end) {
  std::string text = " Warning: the serie " + std::string(name) + " stops at line " +
                     std::to_string(end.line) + ": " + seriesStopReason(end.error) + "; " +
                     std::to_string(end.count) + " samples were read.";
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  const std::array<Field, 1> fields = {literal(text)};
  formattedWrite(consoleOutput(), fields, {}, {});
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

std::string seriesStopReason(int32_t error) {
  switch (error) {
    case kErrSyntax:
      return "not a number";
    case kErrConversion:
      return "a value outside the float range";
    case kErrRead:
      return "the file could not be read";
    default:
      return "error " + std::to_string(error);
  }
}

int32_t readSeriesFiles(int32_t nch, std::string* seriesNames, int32_t* sampleCounts,
                        int32_t& maxSamples, std::unique_ptr<float[]>& samples) {
  for (int32_t j = 0; j < nch; ++j) seriesNames[j] = leftAdjusted(seriesNames[j]);
  std::vector<SeriesEnd> ends(static_cast<std::size_t>(nch));

  // The first series is read once, its values kept while its lines are counted: its
  // line count is the capacity of every series. Reading it a second time would wait
  // for ever on a named pipe, whose writer has gone after the first pass.
  const std::string_view firstName = fileName(seriesNames[0]);
  std::vector<float> firstValues;
  {
    InputFile first;
    if (const int32_t error = first.open(firstName)) fatalError(error, kFileUnit, firstName);
    ends[0] = readSeriesValues(first.unit(), kMaxSampleLines,
                               [&](int32_t, const float* values, int32_t n) {
                                 firstValues.insert(firstValues.end(), values, values + n);
                               });
    bool endMet = false;
    while (recordNumber(first.unit()) < uint64_t{kMaxSampleLines}) {
      if (freeFormatRead(first.unit(), {}, kHandleEnd) == ReadStatus::endOfFile) {
        endMet = true;
        break;
      }
    }
    maxSamples = static_cast<int32_t>(
        std::min<uint64_t>(recordNumber(first.unit()), uint64_t{kMaxSampleLines}));
    if (endMet) writeTextAndCount("Number of samples to be processed <=", maxSamples);
  }

  // Zero-filled so that a null value in a series file (a lone slash or comma) reads
  // as 0.0 rather than as whatever the memory held.
  samples = createArray<float>({nch, maxSamples});
  const View2<float> x(samples.get(), nch, maxSamples);
  std::fill_n(samples.get(), int64_t{nch} * maxSamples, 0.0f);
  sampleCounts[0] = ends[0].count;
  for (int32_t k = 1; k <= ends[0].count; ++k)
    x(1, k) = firstValues[static_cast<std::size_t>(k - 1)];
  firstValues = {};

  // Each further series is read on a worker of its own, into a block and from there
  // into its row of the sample matrix; the reports and an open failure come here in
  // the order of the list, as from one thread. Files that are not regular files
  // (pipes, devices) are read one after another in that order, as they may depend on
  // it.
  const int32_t threads =
      allRegularFiles(nch - 1, seriesNames + 1) ? std::min(analysisThreads(), nch) : 1;
  std::vector<int32_t> openErrors(static_cast<std::size_t>(nch), 0);
  runInOrder(
      threads, nch, nch,
      [&](int32_t, int64_t j) {
        if (j == 1) return;
        InputFile file;
        openErrors[j - 1] = file.open(fileName(seriesNames[j - 1]));
        if (openErrors[j - 1] != 0) return;
        ends[j - 1] = readSeriesValues(file.unit(), maxSamples,
                                       [&](int32_t offset, const float* values, int32_t n) {
                                         for (int32_t k = 1; k <= n; ++k)
                                           x(j, offset + k) = values[k - 1];
                                       });
        sampleCounts[j - 1] = ends[j - 1].count;
      },
      [&](int64_t j) {
        const std::string& name = seriesNames[j - 1];
        if (openErrors[j - 1] != 0) fatalError(openErrors[j - 1], kFileUnit, fileName(name));
        reportSeries(name, sampleCounts[j - 1]);
        if (ends[j - 1].error != 0) warnSeriesStop(fileName(name), ends[j - 1]);
      });

  const int32_t realSamples = *std::min_element(sampleCounts, sampleCounts + nch);
  writeTextAndCount("Real number of samples to be processed =", realSamples);
  if (realSamples < kMinSamples) {
    orderlyStop({"The real time window is too short !", "Press <Enter> to terminate..."});
  }
  return realSamples;
}

}  // namespace kelv
