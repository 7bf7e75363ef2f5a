// The list file, the series files and their console reports.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
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
  std::vector<int32_t> openErrors(static_cast<std::size_t>(nch), 0);
  // The values of each series as read, until they go to the sample matrix.
  std::vector<std::vector<float>> values(static_cast<std::size_t>(nch));

  // The first series is read once, its values kept while its lines are counted: its
  // line count is the capacity of every series. Reading it a second time would wait
  // for ever on a named pipe, whose writer has gone after the first pass. The other
  // series are read at the same time, each on a worker of its own, as far as the
  // capacity once it is known, and until then a block at a time: what they read
  // beyond it is dropped, a line they could not read there included, so that they
  // end as a reading limited to the capacity ends.
  std::atomic<int32_t> capacity{-1};
  // Room for the values a series keeps, made once: growing the vector block by block
  // would map, copy and unmap it several times over, and an unmapping stops the other
  // threads of the process to flush their address translations.
  constexpr std::size_t kKeptReserve = std::size_t{1} << 16;
  bool endMet = false;
  const auto readFirst = [&] {
    const std::string_view name = fileName(seriesNames[0]);
    InputFile first;
    openErrors[0] = first.open(name);
    if (openErrors[0] != 0) {
      capacity.store(0, std::memory_order_release);
      return;
    }
    std::vector<float>& kept = values[0];
    kept.reserve(kKeptReserve);
    ends[0] = readSeriesValues(
        first.unit(), kMaxSampleLines,
        [&](int32_t, const float* v, int32_t n) { kept.insert(kept.end(), v, v + n); });
    while (recordNumber(first.unit()) < uint64_t{kMaxSampleLines}) {
      if (freeFormatRead(first.unit(), {}, kHandleEnd) == ReadStatus::endOfFile) {
        endMet = true;
        break;
      }
    }
    capacity.store(static_cast<int32_t>(
                       std::min<uint64_t>(recordNumber(first.unit()), uint64_t{kMaxSampleLines})),
                   std::memory_order_release);
  };
  // The sample matrix, once made (after the capacity is known): from then on the
  // values go there, row j + 1 of column k at j + k * nch.
  std::atomic<float*> matrix{nullptr};
  const auto readFurther = [&](std::size_t j) {
    InputFile file;
    openErrors[j] = file.open(fileName(seriesNames[j]));
    if (openErrors[j] != 0) return;
    constexpr int32_t kAhead = 1 << 16;
    std::vector<float>& kept = values[j];
    SeriesEnd& end = ends[j];
    for (;;) {
      float* const into = matrix.load(std::memory_order_acquire);
      const int32_t known = capacity.load(std::memory_order_acquire);
      const int32_t want =
          known >= 0 ? known - end.count : std::min(kAhead, kMaxSampleLines - end.count);
      if (want <= 0) break;
      const SeriesEnd part =
          readSeriesValues(file.unit(), want, [&](int32_t offset, const float* v, int32_t n) {
            if (!into) {
              if (kept.empty()) kept.reserve(kKeptReserve);
              kept.insert(kept.end(), v, v + n);
              return;
            }
            float* row = into + j + (int64_t{end.count} + offset) * nch;
            for (int32_t k = 0; k < n; ++k, row += nch) *row = v[k];
          });
      end.count += part.count;
      if (part.count < want) {
        end.error = part.error;
        end.line = part.line;
        break;
      }
    }
  };

  // Files that are not regular files (pipes, devices) are read one after another in
  // the order of the list, as they may depend on it. The reports, and an open
  // failure, come in the order of the list, as from one thread.
  const int32_t threads =
      allRegularFiles(nch - 1, seriesNames + 1) ? std::min(analysisThreads(), nch) : 1;
  View2<float> x(nullptr, 0, 0);
  runInOrder(
      threads, nch, nch,
      [&](int32_t, int64_t j) {
        if (j == 1)
          readFirst();
        else
          readFurther(static_cast<std::size_t>(j - 1));
      },
      [&](int64_t j) {
        const std::size_t i = static_cast<std::size_t>(j - 1);
        const std::string& name = seriesNames[i];
        if (openErrors[i] != 0) fatalError(openErrors[i], kFileUnit, fileName(name));
        if (j == 1) {
          maxSamples = capacity.load(std::memory_order_acquire);
          if (endMet) writeTextAndCount("Number of samples to be processed <=", maxSamples);
          // Zero-filled so that a null value in a series file (a lone slash or comma)
          // reads as 0.0 rather than as whatever the memory held.
          samples = createArray<float>({nch, maxSamples});
          x = View2<float>(samples.get(), nch, maxSamples);
          std::fill_n(samples.get(), int64_t{nch} * maxSamples, 0.0f);
          matrix.store(samples.get(), std::memory_order_release);
        } else if (ends[i].count >= maxSamples) {
          ends[i] = SeriesEnd{maxSamples, 0, 0};
        }
        sampleCounts[i] = ends[i].count;
        // The values read before the matrix was made.
        const std::vector<float>& v = values[i];
        const int32_t early = std::min(ends[i].count, static_cast<int32_t>(v.size()));
        for (int32_t k = 1; k <= early; ++k) x(j, k) = v[static_cast<std::size_t>(k - 1)];
        values[i] = {};
        reportSeries(name, sampleCounts[i]);
        if (ends[i].error != 0) warnSeriesStop(fileName(name), ends[i]);
      });

  const int32_t realSamples = *std::min_element(sampleCounts, sampleCounts + nch);
  writeTextAndCount("Real number of samples to be processed =", realSamples);
  if (realSamples < kMinSamples) {
    orderlyStop({"The real time window is too short !", "Press <Enter> to terminate..."});
  }
  return realSamples;
}

}  // namespace kelv
