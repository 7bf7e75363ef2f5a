// Loading the inputs of a command line.
#include "cli/inputs.hpp"

#include <algorithm>
#include <exception>
#include <vector>

#include "console/kelvarodine.hpp"
#include "console/series_reading.hpp"
#include "parallel/workers.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

namespace {

// An open failure of the text layer as an input error.
InputError openError(const std::string& file, int32_t error, const std::string& context) {
  switch (error) {
    case kErrFileNotFound:
      return InputError(file, 0, "no such file" + context, InputError::Kind::notFound);
    case kErrPermission:
      return InputError(file, 0, "permission denied" + context, InputError::Kind::permission);
    case kErrFileName:
      return InputError(file, 0, "not a valid file name" + context, InputError::Kind::openFailure);
    default:
      return InputError(file, 0, "cannot be opened" + context, InputError::Kind::openFailure);
  }
}

}  // namespace

std::vector<std::string> readListNames(const std::string& listPath) {
  std::vector<std::string> names;
  InputFile list;
  if (const int32_t error = list.open(listPath)) throw openError(listPath, error, "");
  std::string field;
  for (;;) {
    const ReadStatus status = formattedLineRead(list.unit(), field, kHandleBoth);
    if (status == ReadStatus::endOfFile) break;
    if (status == ReadStatus::readError)
      throw InputError(listPath, static_cast<int64_t>(recordNumber(list.unit())), "cannot be read",
                       InputError::Kind::readFailure);
    names.emplace_back(fileName(leftAdjusted(field)));
  }
  return names;
}

void openSeries(InputFile& file, const std::string& listPath, const std::vector<std::string>& names,
                std::size_t j) {
  if (const int32_t error = file.open(names[j]))
    throw openError(names[j], error,
                    " (named in " + listPath + ", line " + std::to_string(j + 1) + ")");
}

Record readListSeries(const std::string& listPath, const std::vector<std::string>& names,
                      const SeriesStore& store, const SeriesMarker& marked, int32_t threads) {
  Record record;
  record.source = listPath;
  record.count = 0;
  // Each series is read on one thread; what the reading of a series gives, a failure
  // included, is taken in the order of the list, as from one thread.
  const std::size_t n = names.size();
  std::vector<SeriesEnd> ends(n);
  std::vector<std::exception_ptr> failures(n);
  runInOrder(
      std::max(threads, 1), static_cast<int64_t>(n), static_cast<int64_t>(n),
      [&](int32_t, int64_t item) {
        const std::size_t j = static_cast<std::size_t>(item - 1);
        try {
          InputFile file;
          openSeries(file, listPath, names, j);
          // readSeriesValues stores blocks of 4096 values but for the last, each after
          // reading it: the unit is then past them.
          ends[j] = readSeriesValues(file.unit(), kMaxSampleLines,
                                     [&](int32_t offset, const float* v, int32_t count) {
                                       store(j, offset, v, count);
                                       if (marked) marked(j, int64_t(offset) + count, file.unit());
                                     });
        } catch (...) {
          failures[j] = std::current_exception();
        }
      },
      [&](int64_t item) {
        const std::size_t j = static_cast<std::size_t>(item - 1);
        if (failures[j]) std::rethrow_exception(failures[j]);
        const std::string& name = names[j];
        const SeriesEnd& end = ends[j];
        if (end.error != 0)
          record.warnings.push_back(name + ":" + std::to_string(end.line) +
                                    ": reading stopped: " + seriesStopReason(end.error) + " (" +
                                    std::to_string(end.count) + " samples read)");
        record.names.push_back(name);
        record.count = j == 0 ? end.count : std::min<int64_t>(record.count, end.count);
      });
  return record;
}

Record readListRecord(const std::string& listPath) {
  const std::vector<std::string> names = readListNames(listPath);
  std::vector<std::vector<float>> series(names.size());
  Record record =
      readListSeries(listPath, names, [&](std::size_t j, int32_t, const float* v, int32_t n) {
        series[j].insert(series[j].end(), v, v + n);
      });
  for (const auto& s : series)
    record.data.insert(record.data.end(), s.begin(), s.begin() + record.count);
  return record;
}

Record loadRecord(const BatchOptions& options) {
  std::vector<Record> records;
  if (options.inputs.empty()) {
    // Through the alignment too, which keeps the channels' names distinct.
    records.push_back(readListRecord(options.list.value_or("list")));
    return alignRecords(std::move(records));
  }
  const TableOptions table{options.timeColumn};
  for (const std::string& input : options.inputs) records.push_back(readRecordFile(input, table));
  return alignRecords(std::move(records));
}

}  // namespace kelv::cli
