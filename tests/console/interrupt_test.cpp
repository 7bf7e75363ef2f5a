// Console interrupts of the real executable while the window loop runs, with the
// console redirected to a pipe (plain mode), on one thread and on two: the run ends
// at once with its report line and status 128 + signal, and no grid file appears.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "examples/varsim.hpp"
#include "support/run_program.hpp"

namespace kelv {
namespace {

using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

constexpr int kChannels = 16;

// Sixteen channels of white noise; with windows of 256 samples, shift 1 and order 6
// the run has 19745 costly windows (sixteen channels, 128 frequencies each) and
// lasts many seconds even with much faster kernels on several threads, so the
// signal always lands during the window loop.
void writeLongRecord(const TempDir& dir) {
  constexpr int kSamples = 20000;
  sim::Rng rng(7);
  std::string list;
  for (int channel = 1; channel <= kChannels; ++channel) {
    const std::string name = "c" + std::to_string(channel) + ".dat";
    list += name + "\n";
    std::string text;
    char buf[32];
    for (int t = 1; t <= kSamples; ++t) {
      std::snprintf(buf, sizeof buf, "%.5f\n", rng.normal());
      text += buf;
    }
    writeFile(dir / name, text);
  }
  writeFile(dir / "list", list);
}

// Runs the program and sends `signo` once the first progress line has arrived.
RunResult interruptedRun(const TempDir& dir, int signo, const std::string& threads) {
  bool sent = false;
  return testing::runProgram(
      {testing::consoleProgram()}, "0\n256\n1\n6\n0 1\n", dir.path(),
      {"OMP_NUM_THREADS=" + threads}, [&](pid_t pid, const RunResult& r) {
        if (!sent && r.out.find("+Processing interval #") != std::string::npos) {
          kill(pid, signo);
          sent = true;
        }
      });
}

TEST(Interrupt, DuringTheWindowLoopEndsTheRunWithItsReport) {
  const struct {
    int signo;
    const char* event;
  } cases[] = {{SIGINT, "control-C"},
               {SIGQUIT, "control-BREAK"},
               {SIGHUP, "window-CLOSE"},
               {SIGTERM, "window-CLOSE"}};  // before: no report and a temporary file left
  TempDir dir;
  writeLongRecord(dir);
  for (const char* threads : {"1", "2"})
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.event) + ", threads " + threads);
      writeFile(dir / "Kelvarodine.grd", "earlier grid\r\n");
      const RunResult r = interruptedRun(dir, c.signo, threads);
      EXPECT_EQ(r.exitCode, 128 + c.signo);
      EXPECT_EQ(r.err, std::string("kelvarodine: error (200): program aborting due to ") + c.event +
                           " event\n");
      // Every record that was written is whole: the output ends with a progress line.
      const std::size_t last = r.out.rfind("+Processing interval #");
      ASSERT_NE(last, std::string::npos);
      EXPECT_EQ(r.out.size() - last, 45u) << "a cut progress line";
      EXPECT_EQ(r.out.substr(r.out.size() - 2), "\r\n");
      // No grid was written, the earlier one is intact and nothing else is left.
      EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), "earlier grid\r\n");
      int files = 0;
      for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++files;
      EXPECT_EQ(files, kChannels + 2);
    }
}

}  // namespace
}  // namespace kelv
