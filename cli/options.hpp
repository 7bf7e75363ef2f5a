// The command line without questions: its options, parsed and checked before
// anything is read or written.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelv::cli {

struct BatchOptions {
  std::optional<int32_t> window, shift, order;  // required
  bool diff = false;
  std::optional<double> start, step;  // default: the inputs' time marks, or 0 and 1
  std::string timeColumn;             // for text tables; empty: none
  std::string timeUnit;               // the unit of the time marks; empty: the inputs'
  std::optional<std::string> list;    // a list file, in place of input files
  std::string output = "Kelvarodine.grd";
  bool channels = false;
  bool nullLevel = false;
  bool quiet = false;
  int32_t threads = 0;  // 0: OMP_NUM_THREADS or every processor available
  std::vector<std::string> inputs;
};

// A command line that cannot be run: what() names the option or argument and the
// problem.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the arguments after the program's name; throws UsageError for an unknown
// option, a missing or malformed value, an option given twice, a missing --window,
// --shift or --order, and for inputs together with --list.
BatchOptions parseBatchOptions(const std::vector<std::string_view>& args);

// The options again, as a command line would give them: the settings of a run for
// its log ("--window 512 --shift 128 --order 6 --start 0 --step 1").
std::string settingsText(int32_t window, int32_t shift, int32_t order, bool diff, double start,
                         double step);

}  // namespace kelv::cli
