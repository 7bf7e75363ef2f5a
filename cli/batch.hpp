// The command line without questions: options in place of the dialogue's answers,
// input files in place of "list", progress and reports for a log.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "cli/options.hpp"
#include "cli/sample_source.hpp"
#include "cli/streaming.hpp"
#include "kelvarodine/analysis.hpp"

namespace kelv::cli {

// The program's usage line and help text, for both of its forms.
extern const char* const kUsage;
extern const char* const kHelp;

// Runs the command line (the arguments after the program's name) and returns the
// exit status: 0 when the grid holds values, 2 for a usage error, 3 when every node
// is blank; an input that cannot be read gives its error number (29, 9, 30, 39) or
// 65 when its content cannot be taken.
int runBatch(const std::vector<std::string_view>& args);

// How a run's windows are analysed once the record is read, the plan made and the
// output opened, for kelvarodine-mpi, which shares them out among processes.
class WindowSharing {
 public:
  virtual ~WindowSharing() = default;
  // Analyses windows 1 .. nWindows of the plan on options.threads threads, and gives
  // their columns (and, when sink.channels(), their coherences) to `sink` in blocks as
  // they finish, in any order; calls options.progress(done, degenerate) on the calling
  // thread once for every window, `done` counting the windows finished so far (1, 2,
  // ...), in any order of the windows. `input`, when the inputs were scanned (not a
  // pipe), is what every process needs to read its own samples from the files; this
  // process's samples then come from `hold` at most a block of streamedBlock(plan,
  // options.threads) windows at once, the first never decreasing. Otherwise `hold`
  // gives the record held whole.
  // `stretches`, when given, collects the null level's stretches, the samples after
  // the last window included. Throws MemoryError when storage cannot be had,
  // InputError when the record cannot be read again.
  virtual void analyse(const Plan& plan, const SampleHold& hold, const ScannedInput* input,
                       ColumnSink& sink, const Options& options, NullStretches* stretches) = 0;
};

// runBatch with the windows analysed by `sharing` (parsing, reading, reports and
// files as runBatch's; scanned inputs read as the windows need them, a pipe held
// whole; the grid's columns through a temporary file as they come, never held).
int runBatch(const std::vector<std::string_view>& args, WindowSharing& sharing);

// The number of threads the options ask for on this machine: --threads capped at
// the processors available, by default OMP_NUM_THREADS or every processor.
int32_t batchThreads(const BatchOptions& options);

}  // namespace kelv::cli
