// The main program end to end: the real executable run in a fresh directory with
// its answers piped in (plain console mode), compared byte for byte; and the sizes
// derived from the answers, called directly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "console/kelvarodine.hpp"
#include "support/run_program.hpp"

namespace kelv {
namespace {

using testing::binaryDir;
using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

// ---------------------------------------------------------------- expected text
std::string rightAligned(const std::string& text, std::size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

// A free-format console record of one string, in plain mode.
std::string line(const std::string& text) {
  return " " + text + "\r\n";
}

// A free-format record of a string and a 12-column integer.
std::string lineWithCount(const std::string& text, int32_t n) {
  return " " + text + rightAligned(std::to_string(n), 12) + "\r\n";
}

// The per-series summary: name in 15 columns, count in 7 (0 shows as blanks).
std::string seriesLine(const std::string& name, int32_t count) {
  std::string field = name.substr(0, 15);
  field.resize(15, ' ');
  return " From the serie " + field + rightAligned(count == 0 ? "" : std::to_string(count), 7) +
         " samples were read.\r\n";
}

std::string progressLine(int32_t w, int32_t left) {
  return "+Processing interval # " + rightAligned(std::to_string(w), 10) +
         rightAligned(std::to_string(left), 10) + "\r\n";
}

const std::string kBanner =
    line(std::string(55, '-')) + line("This is the program for estimating spectral measure") +
    line("of coherent behavior for a multidimensional time series") +
    line("within moving time window.") + line("Output file - \"Kelvarodine.grd\".") + line(" ") +
    line("Kelvarodine: product of canonical coherences over a moving time window") +
    line("Method: vector autoregressive model fit per window, spectral matrices.") +
    line(std::string(51, '-'));

const std::string kPrompt1 = line("Do you want to come to incremental (diff.) series (0/1) ?");
const std::string kPrompt2 = line("What is the length of the time window ?");
const std::string kPrompt3 = line("What is the length of the intervals` shift= ?");
const std::string kPrompt4 = line("What is the AR-order (1 <= *) ?");
const std::string kPrompt5 =
    line("What are the values of initial time mark for series and time step:") +
    line("Tini, Tstep=?");
const std::string kStopLine = "Stop - Program terminated.\r\n";
// The line under a series report when the reading stopped at a line it could not read.
std::string stopWarning(const std::string& name, int line, const std::string& why, int count) {
  return " Warning: the serie " + name + " stops at line " + std::to_string(line) + ": " + why +
         "; " + std::to_string(count) + " samples were read.\r\n";
}
const std::string kStopB =
    line("Number of series must be => 2 !") + line("Press <Enter> to terminate...") + kStopLine;
const std::string kStopC =
    line("The real time window is too short !") + line("Press <Enter> to terminate...") + kStopLine;

// ---------------------------------------------------------------- input files
// n samples of channel `channel` of a noisy two-channel process, one per line,
// each line ended by `eol`.
std::string seriesText(int n, int channel, const std::string& eol = "\n") {
  uint64_t state = 12345u + 7919u * uint64_t(channel);
  auto noise = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return double(state >> 11) / double(uint64_t{1} << 53) - 0.5;
  };
  std::string text;
  double previous = 0.0;
  for (int t = 1; t <= n; ++t) {
    const double x = std::sin(0.3 * t) + 0.6 * previous * channel + noise();
    previous = x;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.5f", x);
    text += buf + eol;
  }
  return text;
}

RunResult runKelvarodine(const TempDir& dir, const std::string& input) {
  return testing::runProgram({testing::consoleProgram()}, input, dir.path());
}

// Two channels of n samples named a.dat and b.dat.
void writeTwoSeries(const TempDir& dir, int n) {
  writeFile(dir / "list", "a.dat\nb.dat\n");
  writeFile(dir / "a.dat", seriesText(n, 1));
  writeFile(dir / "b.dat", seriesText(n, 2));
}

std::string twoSeriesReports(int n) {
  return lineWithCount("Number of series to process =", 2) +
         lineWithCount("Number of samples to be processed <=", n) + seriesLine("a.dat", n) +
         seriesLine("b.dat", n) + lineWithCount("Real number of samples to be processed =", n);
}

std::vector<std::string> gridLines(const TempDir& dir) {
  const std::string text = readFile(dir / "Kelvarodine.grd");
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string twoInts(int32_t a, int32_t b) {
  return rightAligned(std::to_string(a), 12) + rightAligned(std::to_string(b), 12);
}

// ---------------------------------------------------------------- whole dialogue
// Every retry rule of the five prompts in one run: prompt 1 takes only 0 or 1 (a
// lone slash, which leaves the answer unset, asks again);
// prompt 2 rejects 1, a length beyond the series and a non-integer; the shift 300
// is clamped to 255; prompt 4 rejects 0, 256 and 128 (2 channels x 128 coefficients
// per equation are as many as the window's 256 samples); prompt 5 rejects a zero and
// a negative time step.
TEST(Dialogue, FullTranscriptWithRetries) {
  TempDir dir;
  writeTwoSeries(dir, 511);
  const std::string answers =
      "/\n2\n-1\nx\n1\n"
      "1\n512\n2.5\n256\n"
      "300\n"
      "0\n256\n128\n2\n"
      "/\n0 0\n0 -1\n10 0.5\n";
  const RunResult r = runKelvarodine(dir, answers);

  // shift 255 gives (511 - 256) / 255 + 1 = 2 windows; 300 would give 1.
  const std::string expected = kBanner + twoSeriesReports(511) + kPrompt1 + kPrompt1 + kPrompt1 +
                               kPrompt1 + kPrompt1 + kPrompt2 + kPrompt2 + kPrompt2 + kPrompt2 +
                               kPrompt3 + line(" ") + kPrompt4 + kPrompt4 + kPrompt4 + kPrompt4 +
                               kPrompt5 + kPrompt5 + kPrompt5 + kPrompt5 + progressLine(1, 2) +
                               progressLine(2, 1);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0);

  const auto grid = gridLines(dir);
  ASSERT_GE(grid.size(), 5u);
  EXPECT_EQ(grid[0], "DSAA");
  EXPECT_EQ(grid[1], twoInts(2, 128));
  // xMin = 10 + 255 x 0.5, xMax = 10 + (255 + 255) x 0.5: the clamped shift.
  EXPECT_EQ(grid[2], "       137.50000000000000       265.00000000000000");
}

// A shift of 0 or below becomes 1; the time mark and step may come on one line,
// on two lines or separated by a comma.
TEST(Dialogue, ShiftClampAndTimeStepForms) {
  struct Case {
    std::string shift, times, xRange;
  };
  const std::vector<Case> cases = {
      {"0", "0 1\n", "       255.00000000000000       510.00000000000000"},
      {"-5", "0\n1\n", "       255.00000000000000       510.00000000000000"},
      {"0", "2,0.25\n", "       65.750000000000000       129.50000000000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shift + " / " + c.times);
    TempDir dir;
    writeTwoSeries(dir, 511);
    const RunResult r = runKelvarodine(dir, "0\n256\n" + c.shift + "\n1\n" + c.times);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    const std::string head = kBanner + twoSeriesReports(511) + kPrompt1 + kPrompt2 + kPrompt3 +
                             line(" ") + kPrompt4 + kPrompt5;
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    std::string progress;
    for (int w = 1; w <= 256; ++w) progress += progressLine(w, 257 - w);
    EXPECT_EQ(r.out.substr(head.size()), progress);
    const auto grid = gridLines(dir);
    ASSERT_GE(grid.size(), 3u);
    EXPECT_EQ(grid[1], twoInts(256, 128));
    EXPECT_EQ(grid[2], c.xRange);
  }
}

// ---------------------------------------------------------------- orderly stops
TEST(Dialogue, StopANoListFile) {
  TempDir dir;
  writeFile(dir / "Kelvarodine.grd", "old result\n");
  const RunResult r = runKelvarodine(dir, "\n");
  EXPECT_EQ(r.out, kBanner + line("Input file \"list\" with list of filenames,") +
                       line("where time series are located, is absent.") +
                       line("Press <Enter> to terminate the program...") + kStopLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), "old result\n");
}

TEST(Dialogue, StopBFewerThanTwoSeries) {
  for (const std::string list : {"a.dat\n", ""}) {
    TempDir dir;
    writeFile(dir / "list", list);
    writeFile(dir / "a.dat", seriesText(100, 1));
    const RunResult r = runKelvarodine(dir, "anything\n");
    EXPECT_EQ(
        r.out,
        kBanner + lineWithCount("Number of series to process =", list.empty() ? 0 : 1) + kStopB);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 1);
  }
}

TEST(Dialogue, StopCTooFewSamples) {
  {  // 63 common samples; 64 would do.
    TempDir dir;
    writeFile(dir / "list", "a.dat\nb.dat\n");
    writeFile(dir / "a.dat", seriesText(100, 1));
    writeFile(dir / "b.dat", seriesText(63, 2));
    const RunResult r = runKelvarodine(dir, "\n");
    EXPECT_EQ(r.out, kBanner + lineWithCount("Number of series to process =", 2) +
                         lineWithCount("Number of samples to be processed <=", 100) +
                         seriesLine("a.dat", 100) + seriesLine("b.dat", 63) +
                         lineWithCount("Real number of samples to be processed =", 63) + kStopC);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "Kelvarodine.grd"));
  }
  {  // 64 common samples are enough: the dialogue begins.
    TempDir dir;
    writeTwoSeries(dir, 64);
    const RunResult r = runKelvarodine(dir, "");
    EXPECT_EQ(r.out, kBanner + twoSeriesReports(64) + kPrompt1);
    EXPECT_EQ(r.exitCode, 24);
  }
  {  // A text header ends a series before its first value, and says so.
    TempDir dir;
    writeFile(dir / "list", "a.dat\nb.dat\n");
    writeFile(dir / "a.dat", seriesText(100, 1));
    writeFile(dir / "b.dat", "value\n" + seriesText(100, 2));
    const RunResult r = runKelvarodine(dir, "\n");
    EXPECT_EQ(r.out, kBanner + lineWithCount("Number of series to process =", 2) +
                         lineWithCount("Number of samples to be processed <=", 100) +
                         seriesLine("a.dat", 100) + seriesLine("b.dat", 0) +
                         stopWarning("b.dat", 1, "not a number", 0) +
                         lineWithCount("Real number of samples to be processed =", 0) + kStopC);
    EXPECT_EQ(r.exitCode, 1);
  }
  {  // An empty first series file leaves room for no samples at all.
    TempDir dir;
    writeFile(dir / "list", "a.dat\nb.dat\n");
    writeFile(dir / "a.dat", "");
    writeFile(dir / "b.dat", seriesText(100, 2));
    const RunResult r = runKelvarodine(dir, "\n");
    EXPECT_EQ(r.out, kBanner + lineWithCount("Number of series to process =", 2) +
                         lineWithCount("Number of samples to be processed <=", 0) +
                         seriesLine("a.dat", 0) + seriesLine("b.dat", 0) +
                         lineWithCount("Real number of samples to be processed =", 0) + kStopC);
    EXPECT_NE(
        r.out.find(" From the serie a.dat" + std::string(17, ' ') + " samples were read.\r\n"),
        std::string::npos);
    EXPECT_EQ(r.exitCode, 1);
  }
}

// ---------------------------------------------------------------- fatal endings
TEST(Dialogue, MissingSeriesFileIsFatal) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\nmissing.dat\n");
  writeFile(dir / "a.dat", seriesText(100, 1));
  writeFile(dir / "Kelvarodine.grd", "old result\n");
  const RunResult r = runKelvarodine(dir, "0\n64\n10\n1\n0 1\n");
  EXPECT_EQ(r.out, kBanner + lineWithCount("Number of series to process =", 2) +
                       lineWithCount("Number of samples to be processed <=", 100) +
                       seriesLine("a.dat", 100));
  const std::string report = "kelvarodine: severe (29): file not found, unit 1, file missing.dat\n";
  EXPECT_EQ(r.err.substr(0, report.size()), report);
  const std::size_t headerEnd = r.err.find('\n', report.size());
  ASSERT_NE(headerEnd, std::string::npos);
  const std::string header = r.err.substr(report.size(), headerEnd - report.size());
  for (const char* title : {"Image", "PC", "Routine", "Line", "Source"}) {
    EXPECT_NE(header.find(title), std::string::npos) << title;
  }
  EXPECT_EQ(r.exitCode, 29);
  EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), "old result\n");
}

// The series are read on several threads; their reports, and the failure to open
// one, come in the order of the list all the same: the first missing file of the
// list is the one reported, after the reports of the files before it.
TEST(Dialogue, SeriesReportsAndOpenFailuresKeepTheListOrder) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\nb.dat\nc.dat\nmissing.dat\nd.dat\nalso-missing.dat\n");
  for (int c = 0; c < 4; ++c)
    writeFile(dir / (std::string(1, char('a' + c)) + ".dat"),
              seriesText(3000 - 500 * c, 1 + c % 2));
  const std::string reports = kBanner + lineWithCount("Number of series to process =", 6) +
                              lineWithCount("Number of samples to be processed <=", 3000) +
                              seriesLine("a.dat", 3000) + seriesLine("b.dat", 2500) +
                              seriesLine("c.dat", 2000);
  const std::string report = "kelvarodine: severe (29): file not found, unit 1, file missing.dat\n";
  for (const char* threads : {"1", "2", "4"}) {
    SCOPED_TRACE(threads);
    const RunResult r =
        testing::runProgram({testing::consoleProgram()}, "0\n64\n10\n1\n0 1\n", dir.path(),
                            {std::string("OMP_NUM_THREADS=") + threads});
    EXPECT_EQ(r.out, reports);
    EXPECT_EQ(r.err.substr(0, report.size()), report);
    EXPECT_EQ(r.exitCode, 29);
  }
}

TEST(Dialogue, EndOfInputIsFatal) {
  const std::string report =
      "kelvarodine: severe (24): end-of-file during read, unit -4, file stdin\n";
  {  // at the first prompt
    TempDir dir;
    writeTwoSeries(dir, 100);
    const RunResult r = runKelvarodine(dir, "");
    EXPECT_EQ(r.out, kBanner + twoSeriesReports(100) + kPrompt1);
    EXPECT_EQ(r.err.substr(0, report.size()), report);
    EXPECT_EQ(r.exitCode, 24);
  }
  {  // in the middle of the time mark and step
    TempDir dir;
    writeTwoSeries(dir, 100);
    const RunResult r = runKelvarodine(dir, "0\n64\n10\n1\n5\n");
    EXPECT_EQ(r.out, kBanner + twoSeriesReports(100) + kPrompt1 + kPrompt2 + kPrompt3 + line(" ") +
                         kPrompt4 + kPrompt5);
    EXPECT_EQ(r.err.substr(0, report.size()), report);
    EXPECT_EQ(r.exitCode, 24);
    EXPECT_FALSE(std::filesystem::exists(dir / "Kelvarodine.grd"));
  }
  {  // at the "Press <Enter>" read of a stop
    TempDir dir;
    const RunResult r = runKelvarodine(dir, "");
    EXPECT_EQ(r.err.substr(0, report.size()), report);
    EXPECT_EQ(r.out.find("Stop - Program terminated."), std::string::npos);
    EXPECT_EQ(r.exitCode, 24);
  }
}

// ---------------------------------------------------------------- series files
// Line ends, a missing last line feed, a text line, truncation at the first file's
// length, long and short names, leading blanks in names and binary garbage, all in
// one list; the run is ended at the first prompt.
TEST(Dialogue, SeriesFileVariants) {
  TempDir dir;
  writeFile(dir / "list",
            "  abcdefghijklmnop.dat\r\n"  // 20 characters after two blanks
            "b.dat\r\n"
            "   c.dat\n"
            "d.dat\n"
            "e.dat");
  writeFile(dir / "abcdefghijklmnop.dat", seriesText(600, 1));
  writeFile(dir / "b.dat", seriesText(700, 2, "\r\n"));  // longer than the first
  std::string c = seriesText(500, 1) + "12abc\n" + seriesText(50, 2);
  writeFile(dir / "c.dat", c);
  std::string d = seriesText(550, 2);
  d.pop_back();  // last line without a line feed
  writeFile(dir / "d.dat", d);
  std::string garbage = seriesText(100, 1);
  for (int i = 0; i < 4000; ++i) garbage += char((i * 7919 + 0xC3) % 256);
  writeFile(dir / "e.dat", garbage);

  const RunResult r = runKelvarodine(dir, "");
  EXPECT_EQ(r.out, kBanner + lineWithCount("Number of series to process =", 5) +
                       lineWithCount("Number of samples to be processed <=", 600) +
                       seriesLine("abcdefghijklmnop.dat", 600) + seriesLine("b.dat", 600) +
                       seriesLine("c.dat", 500) + stopWarning("c.dat", 501, "not a number", 500) +
                       seriesLine("d.dat", 550) + seriesLine("e.dat", 100) +
                       stopWarning("e.dat", 101, "not a number", 100) +
                       lineWithCount("Real number of samples to be processed =", 100) + kPrompt1);
  EXPECT_NE(r.out.find(" From the serie abcdefghijklmno    600 samples"), std::string::npos);
  EXPECT_NE(r.out.find(" From the serie b.dat              600 samples"), std::string::npos);
  EXPECT_EQ(r.exitCode, 24);
}

// Regression: one value outside the float range (1e39, or a 9.99e99 missing-value
// code) cut every channel at its line without a word: 14,999 of 30,000 samples were
// analysed and the run ended with status 0, as if nothing had happened.
TEST(Regression, ValueOutsideTheFloatRangeCutEveryChannelSilently) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\nb.dat\n");
  std::string a = seriesText(30000, 1);
  std::size_t at = 0;
  for (int line = 1; line < 15000; ++line) at = a.find('\n', at) + 1;
  a.replace(at, a.find('\n', at) - at, "9.99e99");
  writeFile(dir / "a.dat", a);
  // The same process one sample later (channel 2's grows beyond any float this long).
  const std::string b = seriesText(30001, 1);
  writeFile(dir / "b.dat", b.substr(b.find('\n') + 1));
  const RunResult r = runKelvarodine(dir, "0\n1024\n8000\n2\n0 1\n");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find(seriesLine("a.dat", 14999) +
                       stopWarning("a.dat", 15000, "a value outside the float range", 14999) +
                       seriesLine("b.dat", 30000)),
            std::string::npos)
      << r.out;
}

// Regression: a line that is not a number (a second header, a unit, "12abc") ended
// its series there and then without a word, so the run analysed less than the
// files hold and nothing told the operator why.
TEST(Regression, TextLineThatEndedASeriesWasNotReported) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\nb.dat\n");
  writeFile(dir / "a.dat", seriesText(80, 1) + "mV\n" + seriesText(80, 2));
  writeFile(dir / "b.dat", seriesText(160, 2));
  const RunResult r = runKelvarodine(dir, "");
  EXPECT_EQ(r.out, kBanner + lineWithCount("Number of series to process =", 2) +
                       lineWithCount("Number of samples to be processed <=", 161) +
                       seriesLine("a.dat", 80) + stopWarning("a.dat", 81, "not a number", 80) +
                       seriesLine("b.dat", 160) +
                       lineWithCount("Real number of samples to be processed =", 80) + kPrompt1);
}

// Regression: a named pipe as the first series file hung the run for ever: the
// first file was read twice, once to count its lines and once for its values, and
// the second open waited for a writer that had already gone.
TEST(Regression, NamedPipeAsTheFirstSeriesHungForever) {
  TempDir dir;
  writeFile(dir / "list", "a.dat\nb.dat\n");
  writeFile(dir / "a.src", seriesText(100, 1));
  writeFile(dir / "b.dat", seriesText(100, 2));
  ASSERT_EQ(::mkfifo((dir / "a.dat").c_str(), 0600), 0);
  // A guard ends a run that hangs again; the pipe's writer writes it once.
  const RunResult r = testing::runProgram(
      {"/bin/sh", "-c", "cat a.src > a.dat & exec timeout 60 \"$0\"", testing::consoleProgram()},
      "0\n64\n16\n2\n0 1\n", dir.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find(twoSeriesReports(100)), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::exists(dir / "Kelvarodine.grd"));
}

// The samples read are the ones analysed: a series of n values in CR LF lines
// gives the same grid as the same values in LF lines.
TEST(Dialogue, LineEndsDoNotChangeTheResult) {
  std::string grids[2];
  for (int crlf = 0; crlf < 2; ++crlf) {
    TempDir dir;
    const std::string eol = crlf ? "\r\n" : "\n";
    writeFile(dir / "list", "a.dat\nb.dat\n");
    writeFile(dir / "a.dat", seriesText(100, 1, eol));
    writeFile(dir / "b.dat", seriesText(100, 2, eol));
    const RunResult r = runKelvarodine(dir, "0\n64\n12\n2\n0 1\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    grids[crlf] = readFile(dir / "Kelvarodine.grd");
  }
  EXPECT_EQ(grids[0], grids[1]);
  EXPECT_FALSE(grids[0].empty());
}

// ---------------------------------------------------------------- derived values
// Regression: a tiny time step (or a huge time mark) used to be accepted although
// the grid's axes then overflowed, and the header read "Infinity", which readers of
// the format do not take. Such answers are asked again, like a time step of 0, and
// so are time marks so large against the column spacing (here 100 x 0.001) that no
// double holds them to a small fraction of it. Unix seconds with a step of 0.01 are
// taken; a float could not tell their columns apart.
TEST(Dialogue, TimeMarksThatTheAxesCannotCarryAreAskedAgain) {
  TempDir dir;
  writeTwoSeries(dir, 300);
  const RunResult r =
      runKelvarodine(dir, "0\n256\n100\n2\n0 1e-320\n1e308 1e306\n1e15 0.001\n1700000000 0.01\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kBanner + twoSeriesReports(300) + kPrompt1 + kPrompt2 + kPrompt3 + line(" ") +
                       kPrompt4 + kPrompt5 + kPrompt5 + kPrompt5 + kPrompt5 + progressLine(1, 1));
  EXPECT_EQ(gridLines(dir)[2], "       1700000002.5500000       1700000002.5500000");
  EXPECT_EQ(gridLines(dir)[3], "   0.0000000000000000E+00       49.609375000000000");
}

// Regression: a standard input that fails at every read (here a directory) used to
// repeat the first prompt for ever; it is fatal error 39 on the console.
TEST(Dialogue, UnreadableConsoleEndsTheRun) {
  TempDir dir;
  writeTwoSeries(dir, 100);
  const std::string exe = testing::consoleProgram();
  const RunResult r =
      testing::runProgram({"/bin/sh", "-c", "exec \"$0\" < /", exe}, "", dir.path());
  EXPECT_EQ(r.exitCode, 39);
  EXPECT_EQ(r.out, kBanner + twoSeriesReports(100) + kPrompt1);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
            "kelvarodine: severe (39): error during read, unit -4, file stdin");
}

TEST(DerivedValues, FftLength) {
  EXPECT_EQ(fftLength(-3), 1);
  EXPECT_EQ(fftLength(1), 1);
  EXPECT_EQ(fftLength(2), 2);
  EXPECT_EQ(fftLength(3), 4);
  EXPECT_EQ(fftLength(64), 64);
  EXPECT_EQ(fftLength(100), 128);
  EXPECT_EQ(fftLength(128), 128);
  EXPECT_EQ(fftLength((1 << 29) + 1), 1 << 30);
  EXPECT_EQ(fftLength(kMaxWindowLength), kMaxWindowLength);
}

TEST(DerivedValues, ShiftClamp) {
  EXPECT_EQ(clampShift(0, 256), 1);
  EXPECT_EQ(clampShift(-5, 256), 1);
  EXPECT_EQ(clampShift(INT32_MIN, 256), 1);
  EXPECT_EQ(clampShift(64, 256), 64);
  EXPECT_EQ(clampShift(255, 256), 255);
  EXPECT_EQ(clampShift(256, 256), 255);
  EXPECT_EQ(clampShift(300, 256), 255);
  EXPECT_EQ(clampShift(INT32_MAX, 256), 255);
  EXPECT_EQ(clampShift(7, 2), 1);
}

TEST(DerivedValues, WindowCount) {
  EXPECT_EQ(windowCount(1000, 256, 100), 8);
  EXPECT_EQ(windowCount(256, 256, 1), 1);
  EXPECT_EQ(windowCount(511, 256, 255), 2);
  EXPECT_EQ(windowCount(511, 256, 1), 256);
  EXPECT_EQ(windowCount(2000000000, 2, 1), 1999999999);
}

TEST(DerivedValues, AcceptanceRules) {
  EXPECT_FALSE(acceptDifferencing(2));
  EXPECT_FALSE(acceptDifferencing(-1));
  EXPECT_TRUE(acceptDifferencing(0));
  EXPECT_TRUE(acceptDifferencing(1));

  EXPECT_FALSE(acceptWindowLength(1, 2, 1000));
  EXPECT_FALSE(acceptWindowLength(-64, 2, 1000));
  EXPECT_TRUE(acceptWindowLength(4, 2, 1000));
  EXPECT_TRUE(acceptWindowLength(1000, 2, 1000));
  EXPECT_FALSE(acceptWindowLength(1001, 2, 1000));
  EXPECT_TRUE(acceptWindowLength(kMaxWindowLength, 2, 2000000000));
  EXPECT_FALSE(acceptWindowLength(kMaxWindowLength + 1, 2, 2000000000));

  // The window must exceed nch x order and nch x (order + 1) - order.
  EXPECT_FALSE(acceptOrder(0, 2, 256));
  EXPECT_TRUE(acceptOrder(1, 2, 4));
  EXPECT_FALSE(acceptOrder(1, 2, 3));
  EXPECT_TRUE(acceptOrder(127, 2, 256));
  EXPECT_FALSE(acceptOrder(128, 2, 256));
  EXPECT_FALSE(acceptOrder(8, 2, 10));
  EXPECT_TRUE(acceptOrder(22, 9, 200));
  EXPECT_FALSE(acceptOrder(23, 9, 200));
  EXPECT_FALSE(acceptOrder(INT32_MAX, 2, kMaxWindowLength));
}

// Regression: a window of at most the channel count was accepted, after which no
// order could be, and the order question was asked again forever. Such a window is
// refused at its own question now: the first window taken admits order 1.
TEST(DerivedValues, WindowThatAdmitsNoOrderIsRefused) {
  for (int32_t nch : {2, 3, 40}) {
    EXPECT_FALSE(acceptWindowLength(2 * nch - 1, nch, 1000)) << nch;
    EXPECT_TRUE(acceptWindowLength(2 * nch, nch, 1000)) << nch;
    EXPECT_TRUE(acceptOrder(1, nch, 2 * nch)) << nch;
  }
}

// Regression: orders for which the lag covariance matrix of the fit is always
// singular were accepted (40 channels, window 300, order 7: every node blank, exit
// status 0). The rule now also asks nlen > nch (order + 1) - order.
TEST(DerivedValues, OrderWhoseFitIsAlwaysSingularIsRefused) {
  EXPECT_FALSE(acceptOrder(7, 40, 300));
  EXPECT_TRUE(acceptOrder(6, 40, 300));
  EXPECT_FALSE(acceptOrder(7, 40, 40 * 8 - 7));
  EXPECT_TRUE(acceptOrder(7, 40, 40 * 8 - 7 + 1));
}

TEST(SeriesNames, LeftAdjustAndTrim) {
  EXPECT_EQ(leftAdjusted("  ab c  "), "ab c    ");
  EXPECT_EQ(leftAdjusted("ab"), "ab");
  EXPECT_EQ(leftAdjusted("   "), "   ");
  EXPECT_EQ(leftAdjusted(""), "");
  EXPECT_EQ(fileName("ab c    "), "ab c");
  EXPECT_EQ(fileName("    "), "");
  EXPECT_EQ(fileName(std::string(256, ' ')), "");
}

}  // namespace
}  // namespace kelv
