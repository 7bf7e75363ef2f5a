// The list file, the series files and their console reports.
#include <algorithm>
#include <array>
#include <string>

#include "driver/kelvarodine.hpp"
#include "numerics/arrays.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr int32_t kMinSeries = 2;
constexpr int32_t kMinSamples = 64;

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
  if (nch < kMinSeries) {
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

  for (int32_t j = 1; j <= nch; ++j) {
    const std::string& name = seriesNames[j - 1];
    openForReading(fileName(name), false);
    int32_t count = 0;
    while (count < maxSamples && freeFormatRead(fileInput(), {item(x(j, count + 1))},
                                                kHandleBoth) == ReadStatus::success) {
      ++count;
    }
    sampleCounts[j - 1] = count;
    reportSeries(name, count);
    closeFile();
  }

  const int32_t realSamples = *std::min_element(sampleCounts, sampleCounts + nch);
  writeTextAndCount("Real number of samples to be processed =", realSamples);
  if (realSamples < kMinSamples) {
    orderlyStop({"The real time window is too short !", "Press <Enter> to terminate..."});
  }
  return realSamples;
}

}  // namespace kelv
