// Console interrupts of the real executable while the window loop runs, with the
// console redirected to a pipe (plain mode): the run ends at once with its report
// line and status 128 + signal, and no grid file appears.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/run_program.hpp"

namespace kelv {
namespace {

using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

// Two channels long enough, with shift 1, for a run of many thousand windows.
void writeLongRecord(const TempDir& dir) {
  writeFile(dir / "list", "a.dat\nb.dat\n");
  for (int channel = 1; channel <= 2; ++channel) {
    std::string text;
    char buf[32];
    for (int t = 1; t <= 20000; ++t) {
      std::snprintf(buf, sizeof buf, "%.5f\n",
                    std::sin(0.31 * t * channel) + 0.2 * ((t * 37 + channel * 11) % 13));
      text += buf;
    }
    writeFile(dir / (channel == 1 ? "a.dat" : "b.dat"), text);
  }
}

// Runs the program and sends `signo` once the first progress line has arrived.
RunResult interruptedRun(const TempDir& dir, int signo) {
  bool sent = false;
  return testing::runProgram(
      {(testing::binaryDir() / "driver" / "kelvarodine").string()}, "0\n256\n1\n4\n0 1\n",
      dir.path(), {}, [&](pid_t pid, const RunResult& r) {
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
  } cases[] = {{SIGINT, "control-C"}, {SIGQUIT, "control-BREAK"}, {SIGHUP, "window-CLOSE"}};
  for (const auto& c : cases) {
    TempDir dir;
    writeLongRecord(dir);
    writeFile(dir / "Kelvarodine.grd", "earlier grid\r\n");
    const RunResult r = interruptedRun(dir, c.signo);
    EXPECT_EQ(r.exitCode, 128 + c.signo) << c.event;
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
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 4);
  }
}

}  // namespace
}  // namespace kelv
