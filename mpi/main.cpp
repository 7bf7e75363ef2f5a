// kelvarodine-mpi: the command line without questions, its windows shared out among
// the processes of an MPI run (mpirun -n N kelvarodine-mpi OPTIONS INPUT...). Rank 0
// scans the inputs, reports and writes the files exactly as kelvarodine does, every
// process reads its own windows' samples; the grid is the single process's, byte
// for byte, for any number of processes.
#include <mpi.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cli/batch.hpp"
#include "cli/command_line.hpp"
#include "cli/options.hpp"
#include "kelvarodine/inputs.hpp"
#include "mpi/sharing.hpp"
#include "textio/textio.hpp"

namespace {

constexpr const char* kProgram = "kelvarodine-mpi";

const char* const kMpiHelp =
    "usage: mpirun -n N kelvarodine-mpi --window N --shift N --order N [OPTION...] [INPUT...]\n"
    "       kelvarodine-mpi --help | --version\n"
    "\n"
    "The command line of kelvarodine without questions (kelvarodine --help), its\n"
    "windows shared out in contiguous ranges among the N processes of the MPI run,\n"
    "each analysing its range on all its threads (--threads: threads per process).\n"
    "Rank 0 reads the inputs once for their reports; every process then reads the\n"
    "samples of its own windows (the inputs at the same path on every machine; a pipe\n"
    "is read by rank 0, which sends them). Rank 0 reports and writes the files: the\n"
    "same bytes as kelvarodine writes, whatever N. A process that fails ends the run;\n"
    "no file is then replaced.\n";

// A failure on a rank other than 0 after the work started: its report, then the end
// of every process of the run.
[[noreturn]] void abortRun(int rank, const std::string& what, int status) {
  std::fprintf(stderr, "%s: rank %d: %s\n", kProgram, rank, what.c_str());
  std::fflush(stderr);
  MPI_Abort(MPI_COMM_WORLD, status);
  std::_Exit(status);
}

// The exit status of an input this rank cannot read, as kelvarodine gives it.
int inputStatus(kelv::InputError::Kind kind) {
  switch (kind) {
    case kelv::InputError::Kind::notFound:
      return kelv::kErrFileNotFound;
    case kelv::InputError::Kind::permission:
      return kelv::kErrPermission;
    case kelv::InputError::Kind::openFailure:
      return kelv::kErrOpenFailure;
    case kelv::InputError::Kind::readFailure:
      return kelv::kErrRead;
    case kelv::InputError::Kind::content:
      break;
  }
  return 65;
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const std::vector<std::string_view> args(argv + 1, argv + argc);

  int status = 0;
  if (rank == 0) {
    status = kelv::cli::standardOption(argc, argv, kProgram, kMpiHelp);
    kelv::mpi::SharedWindows sharing(MPI_COMM_WORLD);
    if (status < 0) status = kelv::cli::runBatch(args, sharing);
    if (!sharing.started()) {
      sharing.stop(status);
    } else if (!sharing.gathered()) {
      // The analysis stopped on this rank (memory, say): the others are still at work.
      std::fflush(stdout);
      MPI_Abort(MPI_COMM_WORLD, status);
    }
  } else {
    // Every rank reads the same command line; when it cannot be run, rank 0 says so
    // and sends the status instead of work.
    kelv::cli::BatchOptions options;
    try {
      options = kelv::cli::parseBatchOptions(args);
    } catch (const kelv::cli::UsageError&) {
    }
    kelv::startUp();
    try {
      status = kelv::mpi::serveWindows(MPI_COMM_WORLD, options);
    } catch (const kelv::MemoryError& e) {
      abortRun(rank, e.what(), kelv::kErrNoMemory);
    } catch (const kelv::InputError& e) {
      abortRun(rank, e.what(), inputStatus(e.kind()));
    } catch (const std::exception& e) {
      abortRun(rank, e.what(), 1);
    }
  }
  // The other ranks wait, idle, until rank 0 has written the files.
  MPI_Request request;
  MPI_Ibarrier(MPI_COMM_WORLD, &request);
  kelv::mpi::waitIdle(request);
  MPI_Finalize();
  return status;
}
