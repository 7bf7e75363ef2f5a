// Inputs and settings that once ran the program out of memory or time, or let
// file names drive the terminal, run on the real executable: endless input
// (/dev/zero as a series file or as the console), an absurd thread count, and
// names with control characters. Each run must end promptly with its report.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.hpp"

namespace kelv {
namespace {

using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

std::string seriesText(int n, int seed) {
  std::string text;
  char buf[32];
  for (int k = 1; k <= n; ++k) {
    std::snprintf(buf, sizeof buf, "%d.%03d\n", (k * 7 + seed * 13) % 17, (k * seed) % 1000);
    text += buf;
  }
  return text;
}

// The program under a shell that first limits its address space (where the
// sanitizers, which reserve vast shadow memory, are not in the build) and connects
// its standard input as `stdinFrom` says ("" keeps the pipe the runner gives).
RunResult runLimited(const TempDir& dir, const std::string& input, const std::string& stdinFrom,
                     const std::vector<std::string>& env = {}) {
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;
#else
  const std::string limit = "ulimit -v 400000; ";
#endif
  const std::string redirect = stdinFrom.empty() ? "" : " < " + stdinFrom;
  return testing::runProgram(
      {"/bin/sh", "-c", limit + "exec \"$0\"" + redirect, testing::consoleProgram()}, input,
      dir.path(), env);
}

// Before: every record was held whole, so input without line feeds grew the
// program at the speed of the device until memory ran out (error 41).
TEST(EndlessInput, DevZeroEndsInAReadErrorWithBoundedMemory) {
  {  // The first series file: counting its lines meets a record that never ends.
    TempDir dir;
    writeFile(dir / "list", "/dev/zero\nb.dat\n");
    writeFile(dir / "b.dat", seriesText(100, 2));
    const RunResult r = runLimited(dir, "", "");
    EXPECT_EQ(r.exitCode, 39) << r.err.substr(0, 200);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "kelvarodine: severe (39): error during read, unit 1, file /dev/zero");
  }
  {  // A later series file: its first token is over-long, so the series is empty.
    TempDir dir;
    writeFile(dir / "list", "a.dat\nzero.dat\n");
    writeFile(dir / "a.dat", seriesText(100, 1));
    std::filesystem::create_symlink("/dev/zero", dir / "zero.dat");
    const RunResult r = runLimited(dir, "\n", "");
    EXPECT_EQ(r.exitCode, 1) << r.err.substr(0, 200);
    EXPECT_NE(r.out.find(" From the serie zero.dat       " + std::string(7, ' ') +
                         " samples were read.\r\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("The real time window is too short !"), std::string::npos);
  }
  {  // The console: the answer is unreadable, and so is the line it stands on.
    TempDir dir;
    writeFile(dir / "list", "a.dat\nb.dat\n");
    writeFile(dir / "a.dat", seriesText(100, 1));
    writeFile(dir / "b.dat", seriesText(100, 2));
    const RunResult r = runLimited(dir, "", "/dev/zero");
    EXPECT_EQ(r.exitCode, 39) << r.err.substr(0, 200);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "kelvarodine: severe (39): error during read, unit -4, file stdin");
    EXPECT_FALSE(std::filesystem::exists(dir / "Kelvarodine.grd"));
  }
}

// Before: OMP_NUM_THREADS=100000 built per-thread storage for thousands of threads
// and ended in error 41. Here 1617 windows of 8192 frequencies would need some
// 1 GB of it, while the grid takes 53 MB; capped at the processors available, the
// run gets well into its window loop (and is then interrupted).
TEST(ThreadCount, AnAbsurdSettingRunsOnTheProcessorsThereAre) {
  TempDir dir;
  writeFile(dir / "a.dat", seriesText(18000, 1));
  writeFile(dir / "b.dat", seriesText(18000, 2));
  writeFile(dir / "list", "a.dat\nb.dat\n");
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;
#else
  const std::string limit = "ulimit -v 400000; ";
#endif
  bool sent = false;
  const RunResult r = testing::runProgram(
      {"/bin/sh", "-c", limit + "exec \"$0\"", testing::consoleProgram()}, "0\n16384\n1\n1\n0 1\n",
      dir.path(), {"OMP_NUM_THREADS=100000"}, [&](pid_t pid, const RunResult& soFar) {
        if (!sent && soFar.out.find("Processing interval #          3") != std::string::npos) {
          kill(pid, SIGINT);
          sent = true;
        }
      });
  EXPECT_TRUE(sent) << r.err.substr(0, 200);
  EXPECT_EQ(r.exitCode, 128 + SIGINT);
  EXPECT_EQ(r.err, "kelvarodine: error (200): program aborting due to control-C event\n");
}

// Before: a name's control characters reached the terminal raw (an escape
// sequence in a name could clear the screen or recolour what followed).
TEST(Messages, ControlCharactersOfFileNamesAreNotWrittenRaw) {
  TempDir dir;
  writeFile(dir / "e\x1b[2Jx.dat", seriesText(100, 1));
  writeFile(dir / "list", "e\x1b[2Jx.dat\nmi\x07ss\ting\r.dat\n");
  const RunResult r = testing::runProgram({testing::consoleProgram()}, "", dir.path());
  EXPECT_EQ(r.exitCode, 29);
  EXPECT_NE(r.out.find(" From the serie e?[2Jx.dat" + std::string(5 + 4, ' ') +
                       "100 samples were read.\r\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
            "kelvarodine: severe (29): file not found, unit 1, file mi\\x07ss\\ting\\r.dat");
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.err.find('\x07'), std::string::npos);
}

// A list that cannot be read, not only a missing one, gives the "absent" stop.
TEST(Messages, AListThatCannotBeReadIsAbsent) {
  TempDir dir;
  std::filesystem::create_directory(dir / "list");
  const RunResult r = testing::runProgram({testing::consoleProgram()}, "\n", dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("where time series are located, is absent."), std::string::npos);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace kelv
