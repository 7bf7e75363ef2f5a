// Loading the inputs of a command line.
#include "cli/inputs.hpp"

#include <algorithm>
#include <vector>

#include "console/kelvarodine.hpp"
#include "console/series_reading.hpp"
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

Record readListRecord(const std::string& listPath) {
  std::vector<std::string> names;
  {
    InputFile list;
    if (const int32_t error = list.open(listPath)) throw openError(listPath, error, "");
    std::string field;
    for (;;) {
      const ReadStatus status = formattedLineRead(list.unit(), field, kHandleBoth);
      if (status == ReadStatus::endOfFile) break;
      if (status == ReadStatus::readError)
        throw InputError(listPath, static_cast<int64_t>(recordNumber(list.unit())),
                         "cannot be read", InputError::Kind::readFailure);
      names.emplace_back(fileName(leftAdjusted(field)));
    }
  }

  Record record;
  record.source = listPath;
  std::vector<std::vector<float>> series;
  for (std::size_t j = 0; j < names.size(); ++j) {
    const std::string& name = names[j];
    InputFile file;
    if (const int32_t error = file.open(name))
      throw openError(name, error,
                      " (named in " + listPath + ", line " + std::to_string(j + 1) + ")");
    std::vector<float> values;
    const SeriesEnd end = readSeriesValues(
        file.unit(), kMaxSampleLines,
        [&](int32_t, const float* v, int32_t n) { values.insert(values.end(), v, v + n); });
    if (end.error != 0)
      record.warnings.push_back(name + ":" + std::to_string(end.line) +
                                ": reading stopped: " + seriesStopReason(end.error) + " (" +
                                std::to_string(end.count) + " samples read)");
    record.names.push_back(name);
    series.push_back(std::move(values));
  }
  record.count = 0;
  if (!series.empty()) {
    record.count = static_cast<int64_t>(series[0].size());
    for (const auto& s : series) record.count = std::min<int64_t>(record.count, s.size());
  }
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
