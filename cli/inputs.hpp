// The record a command line names: its input files side by side, or the series of
// a list file read as the dialogue reads them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv {
class InputFile;
struct InputUnit;
}  // namespace kelv

namespace kelv::cli {

// Reads the inputs of the options (without any, the list file, "list" by default);
// throws InputError for what cannot be read or taken.
Record loadRecord(const BatchOptions& options);

// The series of a list file, one channel each, read by the dialogue's rules; a
// series whose reading stops at a line it cannot read gives a warning. The common
// length is the shortest series.
Record readListRecord(const std::string& listPath);

// readListRecord in steps, for a reading that holds no series: the names of a list
// file; the series they name, one after another, each block of values going to
// store(channel from 0, offset from 0, values, n), into a Record of the names,
// warnings and common length but no data.
std::vector<std::string> readListNames(const std::string& listPath);
// `marked`, when given, is called as marked(channel, count, unit) between the
// reads, at least at every count of values that is a multiple of 4096, the unit
// then positioned after the first `count` values of the series. With threads > 1
// the series are read side by side, store and marked called for a series on the
// thread reading it (never for two series at once on one, nor for one on two);
// only for regular files, which do not depend on the order of reading.
using SeriesStore = std::function<void(std::size_t, int32_t, const float*, int32_t)>;
using SeriesMarker = std::function<void(std::size_t, int64_t, const InputUnit&)>;
Record readListSeries(const std::string& listPath, const std::vector<std::string>& names,
                      const SeriesStore& store, const SeriesMarker& marked = {},
                      int32_t threads = 1);
// Opens series j of a list's names on `file`, or throws the InputError
// readListRecord gives.
void openSeries(InputFile& file, const std::string& listPath, const std::vector<std::string>& names,
                std::size_t j);

}  // namespace kelv::cli
