// The windows of a run shared out among the processes of an MPI run: rank 0 reads
// the record (a list input as the windows need it, in one pass for the other ranks
// and one for its own windows), sends every other rank the samples of its windows, analyses its own
// windows, takes the columns as they come into the files (a temporary column file,
// never the whole grid in memory) and writes the files; the other ranks analyse their
// windows and send their columns back in blocks.
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
  void analyse(const Plan& plan, const cli::SampleHold& hold, cli::ColumnSink& sink,
               const Options& options, cli::NullStretches* stretches) override;
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

// The side of every rank but 0: waits for its work, analyses its windows and sends
// the columns to rank 0. Returns the run's exit status as rank 0 gave it (0 after
// its work). Throws MemoryError, as analyseWindows does.
int serveWindows(MPI_Comm comm, const cli::BatchOptions& options);

}  // namespace kelv::mpi
