// Windows analysed on several threads: the real executable is run on the same input
// with different OMP_NUM_THREADS, on a pipe (plain mode) and on a pseudo-terminal
// (control-character mode); the console bytes and the grid file must not change.
// Also the thread-count rule.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/analysis.hpp"
#include "examples/varsim.hpp"
#include "parallel/workers.hpp"
#include "support/run_program.hpp"
#include "textio/textio.hpp"
#include "textio/units.hpp"

namespace kelv {
namespace {

using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

const std::string kWarning = "ATTENSION: MATRIX DEGENERATES !";
const char* const kThreadCounts[] = {"1", "2", "3", "8"};

// Three channels of white noise in which channel 3 repeats channel 1 over samples
// 401..900: the windows lying wholly in that stretch have a singular covariance and
// make the fit warn, a varying number of times; the others do not.
void writeDegenerateStretch(const TempDir& dir) {
  constexpr int kSamples = 1200;
  sim::Rng rng(20240611);
  std::vector<double> x(3 * kSamples);
  for (double& v : x) v = rng.normal();
  for (int t = 400; t < 900; ++t) x[2 * kSamples + t] = x[t];
  std::string list;
  for (int c = 0; c < 3; ++c) {
    const std::string name = "c" + std::to_string(c + 1) + ".dat";
    list += name + "\n";
    std::string text;
    char buf[32];
    for (int t = 0; t < kSamples; ++t) {
      std::snprintf(buf, sizeof buf, "%.6f\n", x[c * kSamples + t]);
      text += buf;
    }
    writeFile(dir / name, text);
  }
  writeFile(dir / "list", list);
}

struct Output {
  std::string console;
  std::string grid;
};

Output runPiped(const TempDir& dir, const std::string& answers, const std::string& threads) {
  const RunResult r = testing::runProgram({testing::consoleProgram()}, answers, dir.path(),
                                          {"OMP_NUM_THREADS=" + threads});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return {r.out, readFile(dir / "Kelvarodine.grd")};
}

// The program on a pseudo-terminal (no echo, no output translation): the bytes read
// from the master side are exactly those written in control-character mode.
std::string runOnTerminal(const TempDir& dir, const std::string& answers,
                          const std::string& threads) {
  termios tio{};
  tio.c_cflag = CS8 | CREAD | CLOCAL;
  tio.c_lflag = ICANON;
  tio.c_cc[VEOF] = 4;
  tio.c_cc[VMIN] = 1;
  winsize ws{24, 80, 0, 0};
  const std::string exe = testing::consoleProgram();
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, &tio, &ws);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    setenv("OMP_NUM_THREADS", threads.c_str(), 1);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (write(master, answers.data(), answers.size()) != ssize_t(answers.size()))
    ADD_FAILURE() << "answers not written";
  std::string out;
  for (;;) {
    pollfd p{master, POLLIN, 0};
    // A guard against a program that waits for input it will never get.
    if (poll(&p, 1, 60000) <= 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "no output for a minute";
      break;
    }
    char buf[4096];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the program has closed the terminal
    out.append(buf, std::size_t(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return out;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
    ++n;
  return n;
}

// Progress lines w of the windows followed by at least one warning.
std::vector<int> warnedWindows(const std::string& console) {
  std::vector<int> windows;
  int current = 0;
  std::size_t pos = 0;
  for (std::size_t end; (end = console.find_first_of("\r\n", pos)) != std::string::npos;
       pos = end + 1) {
    const std::string record = console.substr(pos, end - pos);
    if (record.rfind("+Processing interval # ", 0) == 0)
      current = std::atoi(record.c_str() + 23);
    else if (record.find(kWarning) != std::string::npos &&
             (windows.empty() || windows.back() != current))
      windows.push_back(current);
  }
  return windows;
}

TEST(ParallelWindows, ConsoleAndGridAreThoseOfOneThread) {
  TempDir dir;
  writeDegenerateStretch(dir);
  const struct {
    const char* answers;
    int windows;
  } cases[] = {
      // Window 128, shift 8: 135 windows, many times the ring of pending windows;
      // windows 51..97 lie in the repeated stretch.
      {"0\n128\n8\n3\n0 1\n", 135},
      // Differences, window 600 zero-extended to 1024, shift 500: two windows, fewer
      // than most of the thread counts asked for.
      {"1\n600\n500\n2\n0 1\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers);
    const Output one = runPiped(dir, c.answers, "1");
    EXPECT_EQ(count(one.console, "+Processing interval # "), std::size_t(c.windows));
    for (const char* threads : kThreadCounts) {
      const Output many = runPiped(dir, c.answers, threads);
      EXPECT_EQ(many.console, one.console) << threads << " threads";
      EXPECT_EQ(many.grid, one.grid) << threads << " threads";
    }
  }
  // The first case really interleaves warnings with windows that give none.
  const Output one = runPiped(dir, cases[0].answers, "1");
  const std::vector<int> warned = warnedWindows(one.console);
  ASSERT_FALSE(warned.empty());
  EXPECT_GT(warned.front(), 1);
  EXPECT_LT(warned.back(), cases[0].windows);
  EXPECT_GT(count(one.console, kWarning), warned.size()) << "several warnings in a window";
}

TEST(ParallelWindows, TerminalBytesAreThoseOfOneThread) {
  TempDir dir;
  writeDegenerateStretch(dir);
  const std::string answers = "0\n128\n8\n3\n0 1\n";
  const std::string one = runOnTerminal(dir, answers, "1");
  // Control mode: each warning stands on the line below its progress line.
  EXPECT_NE(one.find("\r\n" + kWarning + "\r"), std::string::npos);
  EXPECT_EQ(one.substr(one.size() - 22), "       135         1\r\n");
  for (const char* threads : {"2", "3"}) EXPECT_EQ(runOnTerminal(dir, answers, threads), one);
}

// Series files of several lengths and shapes, read while the first one is still
// being counted: the reports, the warnings (a line that cannot be read within the
// first series' line count, and none for one beyond it), an open failure and the
// grid are those of one thread.
TEST(ParallelSeries, ReportsWarningsAndGridAreThoseOfOneThread) {
  TempDir dir;
  sim::Rng rng(77);
  const auto series = [&](int values, const std::string& after, bool crLf) {
    std::string text;
    char buf[40];
    for (int t = 0; t < values; ++t) {
      std::snprintf(buf, sizeof buf, t % 7 == 3 ? "%.5E" : "%.6f", rng.normal());
      text += buf;
      text += crLf ? "\r\n" : "\n";
    }
    return text + after;
  };
  // The first series: 150000 values, a line that is no number, 4 more lines: 150005
  // lines, the capacity of every series. The next ones are read while it is counted.
  writeFile(dir / "a.dat", series(150000, "end\n1\n2\n3\n4\n", false));
  writeFile(dir / "b.dat", series(160000, "bad\n", true));  // beyond: no warning
  writeFile(dir / "c.dat", series(150005, "x\n", true));    // stops at the capacity
  writeFile(dir / "d.dat", series(149950, "1.5e99\n" + series(9, "", false), false));  // warns
  writeFile(dir / "e.dat", series(170000, "", false));  // cut at the capacity
  writeFile(dir / "list", "a.dat\nb.dat\nc.dat\nd.dat\ne.dat\n");
  const std::string answers = "0\n256\n8192\n3\n0 1\n";
  const Output one = runPiped(dir, answers, "1");
  EXPECT_NE(one.console.find("Number of samples to be processed <=      150005"), std::string::npos)
      << one.console;
  EXPECT_NE(one.console.find("d.dat stops at line 149951: a value outside the float range; "
                             "149950 samples were read."),
            std::string::npos)
      << one.console;
  EXPECT_EQ(count(one.console, "Warning: the serie"), 2u) << one.console;
  for (const char* threads : kThreadCounts) {
    const Output many = runPiped(dir, answers, threads);
    EXPECT_EQ(many.console, one.console) << threads << " threads";
    EXPECT_EQ(many.grid, one.grid) << threads << " threads";
  }
  // A series that cannot be opened ends the run at its place in the list.
  writeFile(dir / "list", "a.dat\nb.dat\nc.dat\nnone.dat\ne.dat\n");
  const RunResult missing =
      testing::runProgram({testing::consoleProgram()}, answers, dir.path(), {"OMP_NUM_THREADS=1"});
  EXPECT_EQ(missing.exitCode, kErrFileNotFound);
  for (const char* threads : kThreadCounts) {
    const RunResult many = testing::runProgram({testing::consoleProgram()}, answers, dir.path(),
                                               {std::string("OMP_NUM_THREADS=") + threads});
    EXPECT_EQ(many.exitCode, missing.exitCode) << threads << " threads";
    EXPECT_EQ(many.out, missing.out) << threads << " threads";
    EXPECT_EQ(many.err.substr(0, many.err.find('\n')),
              missing.err.substr(0, missing.err.find('\n')))
        << threads << " threads";
  }
}

// Items are consumed in order, each once and after it was produced, and no worker
// gets more than `ahead` items in front of the consumer, whatever the number of
// threads and items; the ring of slots the callers keep relies on that bound.
TEST(RunInOrder, ConsumesInOrderWithinTheRingOfSlots) {
  for (const int32_t threads : {1, 2, 3, 8})
    for (const int64_t count : {int64_t{1}, int64_t{5}, int64_t{300}}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(count) + " items");
      const int64_t ahead = 4;
      std::vector<std::atomic<int>> produced(static_cast<std::size_t>(count) + 1);
      std::atomic<int64_t> consumedUpTo{0};
      std::atomic<bool> beyondTheRing{false};
      std::vector<int64_t> order;
      std::vector<int64_t> ring(static_cast<std::size_t>(ahead), 0);
      runInOrder(
          threads, count, ahead,
          [&](int32_t t, int64_t i) {
            if (t < 0 || t >= threads || i - consumedUpTo.load() > ahead) beyondTheRing = true;
            ring[static_cast<std::size_t>((i - 1) % ahead)] = i;
            if (i % 7 == 0) std::this_thread::yield();
            ++produced[static_cast<std::size_t>(i)];
          },
          [&](int64_t i) {
            EXPECT_EQ(produced[static_cast<std::size_t>(i)].load(), 1);
            EXPECT_EQ(ring[static_cast<std::size_t>((i - 1) % ahead)], i);
            order.push_back(i);
            consumedUpTo = i;
          });
      EXPECT_FALSE(beyondTheRing);
      ASSERT_EQ(order.size(), static_cast<std::size_t>(count));
      for (int64_t i = 1; i <= count; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i - 1)], i);
    }
}

int affinityCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
  return CPU_COUNT(&set);
}

TEST(AnalysisThreads, NumberFromTheEnvironmentOrTheProcessorsAllowed) {
  const char* saved = std::getenv("OMP_NUM_THREADS");
  const std::optional<std::string> previous =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  const int processors = affinityCount();
  ASSERT_GT(processors, 0);

  unsetenv("OMP_NUM_THREADS");
  EXPECT_EQ(analysisThreads(), processors);
  for (const char* value : {"1", "3", "64"}) {
    setenv("OMP_NUM_THREADS", value, 1);
    EXPECT_EQ(analysisThreads(), std::min(std::atoi(value), processors)) << value;
  }
  // Before: 100000 built storage for thousands of threads and ran out of memory.
  for (const char* value :
       {"", "0", "-2", "many", "4x", " ", "2,1", "99999999999", "100000", "2147483647"}) {
    setenv("OMP_NUM_THREADS", value, 1);
    EXPECT_EQ(analysisThreads(), processors) << '"' << value << '"';
  }

  if (previous)
    setenv("OMP_NUM_THREADS", previous->c_str(), 1);
  else
    unsetenv("OMP_NUM_THREADS");
}

}  // namespace
}  // namespace kelv
