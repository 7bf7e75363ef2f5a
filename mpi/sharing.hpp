// The windows of a run shared out among the processes of an MPI run: rank 0 scans
// the inputs and sends every rank the plan and the scan, every rank reads the
// samples of its own windows from the files block by block (where the inputs could
// not be scanned, a pipe, rank 0 holds the record and sends them), analyses its
// windows and sends the columns to rank 0 in blocks, with the null level's stretches
// among its samples at the end; rank 0 analyses its own windows, takes the columns as
// they come into the files (a temporary column file, never the whole grid in memory)
// and writes the files.
#pragma once

#include <mpi.h>

#include <cstdint>

#include "cli/batch.hpp"
#include "cli/options.hpp"

namespace kelv::mpi {

// Windows first .. last (1-based; none when last < first) of `ranks` contiguous
// ranges of nearly equal length, the lower ranks first.
struct WindowRange {
  int64_t first = 1, last = 0;
};
WindowRange windowRange(int64_t nWindows, int ranks, int rank);

// Rank 0's side. Once analyse() has been called, the other ranks have been sent
// their work; before that, stop() releases them with the run's status.
class SharedWindows final : public cli::WindowSharing {
 public:
  explicit SharedWindows(MPI_Comm comm) : comm_(comm) {}
  void analyse(const Plan& plan, const cli::SampleHold& hold, const cli::ScannedInput* input,
               cli::ColumnSink& sink, const Options& options,
               cli::NullStretches* stretches) override;
  // Whether the other ranks were sent their work, and whether every column came back.
  bool started() const { return started_; }
  bool gathered() const { return gathered_; }
  // Ends the wait of the other ranks for their work with the run's exit status.
  void stop(int status);

 private:
  MPI_Comm comm_;
  bool started_ = false, gathered_ = false;
};

// Waits for a request to complete without keeping a processor busy.
void waitIdle(MPI_Request& request);

// The side of every rank but 0: waits for its work, reads (or receives) its samples,
// analyses its windows and sends the columns to rank 0. Returns the run's exit status
// as rank 0 gave it (0 after its work). Throws MemoryError, as analyseWindows does,
// and InputError for an input it cannot read.
int serveWindows(MPI_Comm comm, const cli::BatchOptions& options);

}  // namespace kelv::mpi
