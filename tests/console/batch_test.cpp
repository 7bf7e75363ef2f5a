// The command line without questions, end to end: its grids are the dialogue's for
// the same data and settings, byte for byte; its companions, reports, progress and
// exit statuses; bad input leaves every grid as it was.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/grid_reader.hpp"
#include "support/run_program.hpp"
#ifdef KELV_TEST_MSEED
#include "support/mseed_writer.hpp"
#endif

namespace kelv {
namespace {

using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

RunResult run(const TempDir& dir, std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), testing::consoleProgram());
  return testing::runProgram(args, input, dir.path());
}

// Three coupled channels of n samples, as %.6f text: column j of row t.
std::vector<std::vector<std::string>> channels(int n) {
  std::vector<std::vector<std::string>> c(3);
  double a = 0, b = 0, d = 0;
  uint64_t state = 99;
  const auto noise = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return double(state >> 11) / double(uint64_t{1} << 53) - 0.5;
  };
  for (int t = 0; t < n; ++t) {
    a = 0.8 * a + noise();
    b = 0.5 * b + 0.6 * a + noise();
    d = 0.3 * d + 0.5 * b + noise();
    for (int j = 0; j < 3; ++j) {
      char text[32];
      std::snprintf(text, sizeof text, "%.6f", j == 0 ? a : j == 1 ? b : d);
      c[static_cast<std::size_t>(j)].push_back(text);
    }
  }
  return c;
}

// The channels as the dialogue reads them (list and one file per channel) and as
// a CSV table with a header and a time column.
void writeInputs(const TempDir& dir, int n) {
  const auto c = channels(n);
  std::string csv = "time,x,y,z\n", list;
  for (int j = 0; j < 3; ++j) {
    std::string series;
    for (const std::string& v : c[static_cast<std::size_t>(j)]) series += v + "\n";
    const std::string name = "s" + std::to_string(j + 1) + ".dat";
    writeFile(dir / name, series);
    list += name + "\n";
  }
  writeFile(dir / "list", list);
  for (int t = 0; t < n; ++t)
    csv += std::to_string(100 + 2 * t) + "," + c[0][static_cast<std::size_t>(t)] + "," +
           c[1][static_cast<std::size_t>(t)] + "," + c[2][static_cast<std::size_t>(t)] + "\n";
  writeFile(dir / "data.csv", csv);
}

int lineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(Batch, GridsAreTheDialoguesByteForByte) {
  TempDir dir;
  writeInputs(dir, 700);
  for (const bool diff : {false, true}) {
    SCOPED_TRACE(diff ? "differenced" : "as they are");
    const std::string answers = std::string(diff ? "1" : "0") + "\n128\n40\n3\n100 2\n";
    const RunResult dialogue = run(dir, {"--null"}, answers);
    ASSERT_EQ(dialogue.exitCode, 0) << dialogue.err;
    const std::string grid = readFile(dir / "Kelvarodine.grd");
    const std::string nullGrid = readFile(dir / "Kelvarodine.null.grd");

    std::vector<std::string> settings = {"--window", "128", "--shift", "40",
                                         "--order",  "3",   "--null",  "--quiet"};
    if (diff) settings.push_back("--diff");
    // The list of the working directory, with the time marks given.
    auto fromList = settings;
    fromList.insert(fromList.end(), {"--start", "100", "--step", "2", "--output", "list.grd"});
    // The table, its time marks from its time column.
    auto fromTable = settings;
    fromTable.insert(fromTable.end(),
                     {"--time-column", "time", "--output", "table.grd", "data.csv"});
    for (const auto& args : {fromList, fromTable}) {
      const RunResult r = run(dir, args);
      ASSERT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.out, "");  // --quiet
      EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(readFile(dir / "list.grd"), grid);
    EXPECT_EQ(readFile(dir / "table.grd"), grid);
    EXPECT_EQ(readFile(dir / "list.null.grd"), nullGrid);
    EXPECT_EQ(readFile(dir / "table.null.grd"), nullGrid);
  }
}

// One grid per channel of its multiple coherence: the measure is the square root
// of their product at every node.
TEST(Batch, ChannelGridsMultiplyToTheMeasure) {
  TempDir dir;
  writeInputs(dir, 600);
  const RunResult r = run(dir, {"--window", "128", "--shift", "64", "--order", "2", "--channels",
                                "--time-column", "1", "--output", "out.GRD", "data.csv"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const testing::Grid measure = testing::parseGrid(readFile(dir / "out.GRD"));
  std::vector<testing::Grid> each;
  for (const char* name : {"x", "y", "z"})
    each.push_back(testing::parseGrid(readFile(dir / ("out.ch-" + std::string(name) + ".GRD"))));
  int compared = 0;
  for (std::size_t i = 0; i < measure.z.size(); ++i) {
    double product = 1.0;
    for (const testing::Grid& g : each) {
      ASSERT_EQ(g.nx, measure.nx);
      ASSERT_EQ(g.lines[2], measure.lines[2]);  // the same axes
      EXPECT_GE(g.z[i], 0.0);
      EXPECT_LE(g.z[i], 1.0);
      product *= g.z[i];
    }
    EXPECT_NEAR(std::sqrt(product), measure.z[i], 2e-6 + 2e-6 * measure.z[i]);
    ++compared;
  }
  EXPECT_EQ(compared, 8 * 64);  // 8 windows of 64 frequencies
}

// Regression: the companions (a channel's grid, the null levels) were opened only
// after the grid had been replaced, so one that could not be written ended the run
// with the new grid beside the old companions. They are opened before the work now.
TEST(Batch, CompanionThatCannotBeWrittenIsReportedBeforeTheGridIsReplaced) {
  for (const char* companion : {"out.ch-y.grd", "out.null.grd"}) {
    TempDir dir;
    writeInputs(dir, 600);
    writeFile(dir / "out.grd", "earlier grid\r\n");
    std::filesystem::create_directory(dir / companion);
    const RunResult r =
        run(dir, {"--window", "128", "--shift", "64", "--order", "2", "--channels", "--null",
                  "--time-column", "1", "--output", "out.grd", "data.csv"});
    EXPECT_EQ(r.exitCode, 30) << companion << ": " << r.err;
    EXPECT_NE(r.err.find(std::string("open failure, unit 1, file ") + companion), std::string::npos)
        << r.err;
    EXPECT_EQ(readFile(dir / "out.grd"), "earlier grid\r\n") << companion;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.ch-x.grd")) << companion;
  }
}

// Settings at the start and with the closing line; into a pipe a line at the start,
// at every tenth and at the end; --quiet keeps standard output empty.
TEST(Batch, ReportsAndProgressForALog) {
  TempDir dir;
  writeInputs(dir, 3000);
  const std::vector<std::string> args = {"--window",  "64", "--shift",       "8",    "--order", "2",
                                         "--threads", "2",  "--time-column", "time", "data.csv"};
  const RunResult r = run(dir, args);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string settings =
      "--window 64 --shift 8 --order 2 --start 100 --step 2 --threads 2 --output Kelvarodine.grd";
  EXPECT_EQ(r.out.rfind("kelvarodine " KELV_VERSION ": 3 channels of 3000 samples from data.csv\n"
                        "channels: x, y, z\nsettings: " +
                            settings +
                            "\ngrid: 368 windows x 32 frequencies, time 226 to 6098, frequency 0 "
                            "to 0.2421875\nwindows 0 of 368 (0 %)\nwindows 37 of 368 (10 %)\n",
                        0),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("windows 368 of 368 (100 %)\nwritten: Kelvarodine.grd; 0 of 11776 nodes "
                       "blank; settings: " +
                       settings + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(lineCount(r.out), 4 + 11 + 1);
  EXPECT_EQ(r.err, "");

  auto quiet = args;
  quiet.push_back("--quiet");
  const RunResult q = run(dir, quiet);
  EXPECT_EQ(q.exitCode, 0);
  EXPECT_EQ(q.out, "");
}

// On a terminal the progress is one line, rewritten in place, ended once the loop
// is done.
TEST(Batch, ProgressOnATerminalIsOneLineRewrittenInPlace) {
  TempDir dir;
  writeInputs(dir, 2000);
  termios tio{};
  tio.c_cflag = CS8 | CREAD | CLOCAL;  // no output translation
  winsize ws{24, 80, 0, 0};
  int master = -1;
  const std::string exe = testing::consoleProgram();
  const pid_t pid = forkpty(&master, nullptr, &tio, &ws);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execl(exe.c_str(), exe.c_str(), "--window", "64", "--shift", "8", "--order", "2",
          "--time-column", "time", "data.csv", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string out;
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) break;
    char buf[4096];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  const std::size_t from = out.find("\rwindows 0 of 243 (0 %)");
  ASSERT_NE(from, std::string::npos) << out;
  const std::size_t end = out.find('\n', from);
  const std::string line = out.substr(from, end - from);
  EXPECT_NE(line.find("\rwindows 243 of 243 (100 %)"), std::string::npos) << line;
  EXPECT_EQ(out.substr(end + 1, 9), "written: ");
  EXPECT_EQ(lineCount(out), 6);  // four at the start, the progress, the closing line
}

// Gaps are never silent: how many, where (sample and time) and how many windows
// they blank; the grid has exactly those columns blank. A grid with no value at all
// is still written, and the run ends with status 3.
TEST(Batch, GapsAreReportedAndAnAllBlankGridIsAFailure) {
  TempDir dir;
  std::string csv = "a;b\n";
  for (int t = 0; t < 400; ++t) {
    const bool gap = (t >= 100 && t < 103) || t == 399;
    csv += (gap && t != 399 ? std::string("NA") : std::to_string(std::sin(0.3 * t))) + ";" +
           (t == 399 ? std::string("9.99e99") : std::to_string(std::cos(0.17 * t + t % 5))) + "\n";
  }
  writeFile(dir / "gaps.csv", csv);
  const RunResult r = run(dir, {"--window", "64", "--shift", "32", "--order", "2", "--start",
                                "1000", "--step", "0.5", "--quiet", "gaps.csv"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err,
            "kelvarodine: warning: 2 gaps (4 missing samples) blank 2 of 11 windows:\n"
            "  a: samples 101 to 103 (time 1050 to 1051)\n"
            "  b: sample 400 (time 1199.5)\n");
  const testing::Grid g = testing::parseGrid(readFile(dir / "Kelvarodine.grd"));
  int blankColumns = 0;
  for (int w = 1; w <= g.nx; ++w) blankColumns += g.at(1, w) > 1e38 ? 1 : 0;
  EXPECT_EQ(blankColumns, 2);  // sample 400 lies beyond the last window

  // Every window holds a gap.
  std::string holes = "a b\n";
  for (int t = 0; t < 200; ++t) holes += (t % 50 == 7 ? "nan" : std::to_string(t % 7)) + " 1.5\n";
  writeFile(dir / "holes.txt", holes);
  const RunResult blank = run(dir, {"--window", "64", "--shift", "32", "--order", "2", "--output",
                                    "holes.grd", "--quiet", "holes.txt"});
  EXPECT_EQ(blank.exitCode, 3);
  EXPECT_NE(blank.err.find("kelvarodine: every node of holes.grd is blank: the run gave no value"),
            std::string::npos)
      << blank.err;
  EXPECT_EQ(testing::parseGrid(readFile(dir / "holes.grd")).nx, 5);
}

// Inputs that cannot be read or taken: one line naming the file (and the line) and
// the reason, the file's error number or 65, and the earlier grid kept.
TEST(Batch, BadInputKeepsTheGridAndSaysWhy) {
  TempDir dir;
  writeInputs(dir, 300);
  writeFile(dir / "Kelvarodine.grd", "earlier grid\n");
  writeFile(dir / "text.csv", "a,b\n1,2\n3,four\n");
  writeFile(dir / "back.csv", "t,a,b\n1,1,2\n2,1,2\n1.5,1,2\n");
  writeFile(dir / "short.csv", "a,b\n1,2\n3,4\n");
  writeFile(dir / "one.txt", "1\n2\n");
  writeFile(dir / "badlist", "s1.dat\nmissing.dat\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const std::vector<std::string> s = {"--window", "64", "--shift", "32", "--order", "2"};
  const auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), s.begin(), s.end());
    return more;
  };
  const std::vector<Case> cases = {
      {with({"missing.csv"}), 29, "kelvarodine: missing.csv: no such file\n"},
      {with({"data.csv", "text.csv"}), 65,
       "kelvarodine: text.csv:3: column 2 (b): \"four\" is not a number\n"},
      {with({"--time-column", "t", "back.csv"}), 65,
       "kelvarodine: back.csv:4: the time column does not increase: 1.5 after 2\n"},
      {with({"short.csv"}), 65,
       "kelvarodine: short.csv: data: at least 64 samples per channel are needed, not 2\n"},
      {with({"--list", "badlist"}), 29,
       "kelvarodine: missing.dat: no such file (named in badlist, line 2)\n"},
      {with({"--list", "nolist"}), 29, "kelvarodine: nolist: no such file\n"},
      {with({"--time-column", "time", "data.csv", "s1.dat"}), 65,
       "kelvarodine: s1.dat: no column named \"time\" for the time: no header line\n"},
      {{"--window", "400", "--shift", "32", "--order", "2", "data.csv"},
       2,
       "kelvarodine: --window: window must be from 2 to 300 samples (the record's length), not "
       "400; usage: kelvarodine [--null] | kelvarodine --window N --shift N --order N "
       "[OPTION...] [INPUT...]\n"},
      {with({"--step", "0", "data.csv"}), 2,
       "kelvarodine: --step: dt (the time step) must be greater than 0; usage: kelvarodine "
       "[--null] | kelvarodine --window N --shift N --order N [OPTION...] [INPUT...]\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = run(dir, c.args);
    EXPECT_EQ(r.exitCode, c.status) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "") << c.err;
  }
  EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), "earlier grid\n");
}

// A series of a list that stops at a line it cannot read is a warning naming the
// file and the line, on the command line as in the dialogue.
TEST(Batch, ListSeriesThatStopEarlyAreNamed) {
  TempDir dir;
  writeInputs(dir, 200);
  std::string s2 = readFile(dir / "s2.dat");
  std::size_t at = 0;
  for (int line = 1; line < 150; ++line) at = s2.find('\n', at) + 1;
  s2.insert(at, "1e39\n");
  writeFile(dir / "s2.dat", s2);
  const RunResult r =
      run(dir, {"--window", "64", "--shift", "32", "--order", "2", "--quiet", "--list", "list"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err,
            "kelvarodine: warning: s2.dat:150: reading stopped: a value outside the float range "
            "(149 samples read)\n");
}

#ifdef KELV_TEST_MSEED
// A miniSEED file: its traces are the channels, its time marks the grid's axis, a
// gap between records a reported gap; traces of two rates are refused.
TEST(Batch, MiniSeedTracesAreChannels) {
  TempDir dir;
  const double start = 1700000000.0;
  const auto wave = [](int n, double f, int from) {
    std::vector<float> v;
    for (int i = from; i < from + n; ++i) v.push_back(float(std::sin(f * i) + 0.1 * (i % 3)));
    return v;
  };
  std::string file;
  testing::appendTrace(file, "HHZ", start, 50.0, wave(400, 0.3, 0));
  testing::appendTrace(file, "HHZ", start + 10.0, 50.0, wave(600, 0.3, 500));
  testing::appendTrace(file, "HHN", start, 50.0, wave(1100, 0.2, 0));
  writeFile(dir / "a.mseed", file);
  const RunResult r =
      run(dir, {"--window", "128", "--shift", "64", "--order", "2", "--quiet", "a.mseed"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err,
            "kelvarodine: warning: 1 gap (100 missing samples) blank 3 of 16 windows:\n"
            "  XX_STA__HHZ: samples 401 to 500 (time 1700000008 to 1700000009.98)\n");
  const testing::Grid g = testing::parseGrid(readFile(dir / "Kelvarodine.grd"));
  EXPECT_NEAR(g.xMin, 1700000002.54, 1e-6);  // sample 128

  std::string mixed = file;
  testing::appendTrace(mixed, "LHZ", start, 1.0, wave(100, 0.2, 0));
  writeFile(dir / "mixed.mseed", mixed);
  const RunResult m = run(dir, {"--window", "128", "--shift", "64", "--order", "2", "mixed.mseed"});
  EXPECT_EQ(m.exitCode, 65);
  EXPECT_NE(m.err.find("kelvarodine: mixed.mseed: traces of different sample rates: XX_STA__HHZ "
                       "at 50 Hz, XX_STA__LHZ at 1 Hz"),
            std::string::npos)
      << m.err;
}
#endif

}  // namespace
}  // namespace kelv
