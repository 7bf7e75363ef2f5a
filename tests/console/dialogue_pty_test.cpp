// The dialogue on an interactive console: the real executable runs on a
// pseudo-terminal (no echo, no output translation), so the bytes read from the
// master side are exactly the bytes the program wrote in control-character mode.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/run_program.hpp"

namespace kelv {
namespace {

using testing::binaryDir;
using testing::TempDir;
using testing::writeFile;

struct TerminalRun {
  std::string out;
  int exitCode = -1;
  bool timedOut = false;
};

// With `interruptAfter` not empty, Ctrl-C is delivered (as SIGINT) once the output
// contains that text.
TerminalRun runOnTerminal(const TempDir& dir, const std::string& input,
                          std::string interruptAfter = {}) {
  const std::string exe = testing::consoleProgram();
  termios tio{};
  tio.c_cflag = CS8 | CREAD | CLOCAL;
  tio.c_lflag = ICANON;  // line input, no echo, no signals
  tio.c_cc[VEOF] = 4;
  tio.c_cc[VMIN] = 1;
  cfsetispeed(&tio, B38400);
  cfsetospeed(&tio, B38400);
  winsize ws{24, 80, 0, 0};
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, &tio, &ws);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  TerminalRun r;
  std::size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = write(master, input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += std::size_t(n);
  }
  for (;;) {
    pollfd p{master, POLLIN, 0};
    // A guard against a program that waits for input it will never get.
    if (poll(&p, 1, 60000) <= 0) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    char buf[4096];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the program has closed the terminal
    r.out.append(buf, std::size_t(n));
    if (!interruptAfter.empty() && r.out.find(interruptAfter) != std::string::npos) {
      kill(pid, SIGINT);
      interruptAfter.clear();
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  return r;
}

// The bytes of control-character mode: a blank-controlled record owes its line
// feed until the next record or console read; a "+" record overwrites its line.
class Console {
 public:
  Console& line(const std::string& text) {
    bytes_ += (pending_ ? "\n" : "") + text + "\r";
    pending_ = true;
    return *this;
  }
  Console& overwrite(const std::string& text) {
    bytes_ += text + "\r";
    pending_ = true;
    return *this;
  }
  Console& read() {
    if (pending_) bytes_ += "\n";
    pending_ = false;
    return *this;
  }
  std::string end() const { return bytes_ + (pending_ ? "\n" : ""); }

 private:
  std::string bytes_;
  bool pending_ = false;
};

Console& banner(Console& c) {
  return c.line(std::string(55, '-'))
      .line("This is the program for estimating spectral measure")
      .line("of coherent behavior for a multidimensional time series")
      .line("within moving time window.")
      .line("Output file - \"Kelvarodine.grd\".")
      .line(" ")
      .line("Kelvarodine: product of canonical coherences over a moving time window")
      .line("Method: vector autoregressive model fit per window, spectral matrices.")
      .line(std::string(51, '-'));
}

std::string series(int n, int channel) {
  std::string text;
  for (int t = 1; t <= n; ++t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.5f\n",
                  std::sin(0.7 * t * channel) + 0.3 * std::cos(1.9 * t + channel) +
                      0.1 * ((t * 37 + channel * 11) % 17));
    text += buf;
  }
  return text;
}

TEST(TerminalDialogue, StopBShowsStopLineOnItsOwnLine) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\n");
  const TerminalRun r = runOnTerminal(dir, "\n");
  ASSERT_FALSE(r.timedOut);
  Console c;
  banner(c)
      .line("Number of series to process =           1")
      .line("Number of series must be => 2 !")
      .line("Press <Enter> to terminate...")
      .read()
      .line("Stop - Program terminated.");
  EXPECT_EQ(r.out, c.end());
  EXPECT_EQ(r.exitCode, 1);
}

TEST(TerminalDialogue, ShortRunTranscript) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\nb.dat\n");
  writeFile(dir / "a.dat", series(70, 1));
  writeFile(dir / "b.dat", series(70, 2));
  const TerminalRun r = runOnTerminal(dir, "2\n0\n64\n63\n1\n0 1\n");
  ASSERT_FALSE(r.timedOut);
  Console c;
  banner(c)
      .line("Number of series to process =           2")
      .line("Number of samples to be processed <=          70")
      .line("From the serie a.dat               70 samples were read.")
      .line("From the serie b.dat               70 samples were read.")
      .line("Real number of samples to be processed =          70")
      .line("Do you want to come to incremental (diff.) series (0/1) ?")
      .read()
      .line("Do you want to come to incremental (diff.) series (0/1) ?")
      .read()
      .line("What is the length of the time window ?")
      .read()
      .line("What is the length of the intervals` shift= ?")
      .read()
      .line(" ")
      .line("What is the AR-order (1 <= *) ?")
      .read()
      .line("What are the values of initial time mark for series and time step:")
      .line("Tini, Tstep=?")
      .read()
      .overwrite("Processing interval #          1         1");
  EXPECT_EQ(r.out, c.end());
  EXPECT_EQ(r.exitCode, 0);
}

TEST(TerminalDialogue, CtrlCDuringTheLoopEndsThePendingLineBeforeTheReport) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\nb.dat\n");
  writeFile(dir / "a.dat", series(20000, 1));
  writeFile(dir / "b.dat", series(20000, 2));
  const TerminalRun r = runOnTerminal(dir, "0\n256\n1\n4\n0 1\n", "Processing interval #");
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 130);
  // The last progress record owes its line feed; the report starts on a line of its
  // own (standard error shares the terminal).
  const std::string report = "kelvarodine: error (200): program aborting due to control-C event\n";
  ASSERT_GE(r.out.size(), report.size() + 2);
  EXPECT_EQ(r.out.substr(r.out.size() - report.size() - 2), "\r\n" + report);
  EXPECT_NE(r.out.rfind("Processing interval #"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "Kelvarodine.grd"));
}

}  // namespace
}  // namespace kelv
