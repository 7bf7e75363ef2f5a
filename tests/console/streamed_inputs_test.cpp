// Text tables, miniSEED files and several inputs read as the windows need them: the
// streamed run writes the held run's grid and reports, byte for byte; the reader
// started at any sample gives the samples a reader from the first gives; a file
// that shrank since its scan is an input error; a scan survives its bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cli/inputs.hpp"
#include "cli/sample_source.hpp"
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

RunResult run(const TempDir& dir, std::vector<std::string> args) {
  return testing::runCommandLine(dir, std::move(args));
}

// Coupled series of three channels, the same for every seed.
std::vector<std::vector<double>> series(int n, uint64_t seed) {
  std::vector<std::vector<double>> v(3, std::vector<double>(static_cast<std::size_t>(n)));
  double a = 0, b = 0, c = 0;
  const auto noise = [&seed] {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return double(seed >> 11) / double(uint64_t{1} << 53) - 0.5;
  };
  for (std::size_t t = 0; t < v[0].size(); ++t) {
    a = 0.7 * a + noise();
    b = 0.4 * b + 0.5 * a + noise();
    c = 0.2 * c + 0.3 * b + noise();
    v[0][t] = a, v[1][t] = b, v[2][t] = c;
  }
  return v;
}

// A table with a comment, a header, a time column starting at `start` (step 0.5, one
// step astray at row 4000), CR LF line ends, comment and blank lines between rows
// every 1000 rows, and gaps: NA at rows 501 to 503 of y, an empty field at row
// 7001 of z, 1e39 at the last row of x.
std::string table(int n, double start, uint64_t seed, const std::string& names) {
  const auto v = series(n, seed);
  std::string text = "# made by the test\r\ntime;" + names + "\r\n";
  char line[160];
  for (int i = 0; i < n; ++i) {
    if (i % 1000 == 999) text += "\r\n# a note\r\n";
    const double t = start + 0.5 * i + (i == 4000 ? 0.25 : 0.0);
    std::string f[3];
    for (int j = 0; j < 3; ++j) {
      std::snprintf(line, sizeof line, "%.6f", v[static_cast<std::size_t>(j)][std::size_t(i)]);
      f[j] = line;
    }
    if (i >= 500 && i < 503) f[1] = "NA";
    if (i == 7000) f[2] = "";
    if (i == n - 1) f[0] = "1e39";
    std::snprintf(line, sizeof line, "%.10g;%s;%s;%s\r\n", t, f[0].c_str(), f[1].c_str(),
                  f[2].c_str());
    text += line;
  }
  return text;
}

// The streamed run (a DSAA grid, no companions) and the held one (--null holds the
// record) of the same inputs: the same grid, the same warnings and gap reports.
void expectStreamedIsHeld(const TempDir& dir, const std::vector<std::string>& inputs,
                          std::vector<std::string> options) {
  auto streamed = options, held = options;
  streamed.insert(streamed.end(), {"--output", "s.grd"});
  held.insert(held.end(), {"--output", "h.grd", "--null"});
  streamed.insert(streamed.end(), inputs.begin(), inputs.end());
  held.insert(held.end(), inputs.begin(), inputs.end());
  const RunResult s = run(dir, streamed);
  const RunResult h = run(dir, held);
  ASSERT_EQ(s.exitCode, 0) << s.err;
  ASSERT_EQ(h.exitCode, 0) << h.err;
  EXPECT_EQ(s.err, h.err);
  EXPECT_NE(s.err.find("gap"), std::string::npos) << s.err;
  // The inputs' line and the channels' line: source, count and names as held.
  const auto head = [](const std::string& out) {
    return out.substr(0, out.find('\n', out.find('\n') + 1));
  };
  EXPECT_EQ(head(s.out), head(h.out));
  EXPECT_EQ(readFile(dir / "s.grd"), readFile(dir / "h.grd"));
}

cli::BatchOptions inputOptions(const std::vector<std::string>& inputs,
                               const std::string& timeColumn = "") {
  cli::BatchOptions o;
  o.inputs = inputs;
  o.timeColumn = timeColumn;
  return o;
}

// The held record of the same options, for the samples the reader must give.
Record heldRecord(const cli::BatchOptions& o) {
  return cli::loadRecord(o);
}

// Every sample from `start` on, read in blocks of `block`, against the held record.
void expectReaderGivesHeld(const cli::ScannedInput& input, const Record& held, int64_t start,
                           int64_t block) {
  SCOPED_TRACE("start " + std::to_string(start));
  cli::SampleReader reader(input, block);
  // Several files are read side by side on one to three threads, by the start.
  cli::SampleReader late(input, block, start, 1 + static_cast<int32_t>(start % 3));
  for (int64_t first = start; first <= held.count; first += block / 2) {
    const int64_t last = std::min(held.count, first + block - 1);
    const Samples a = late.hold(first, last);
    ASSERT_EQ(a.first, first);
    for (int32_t j = 0; j < held.channels(); ++j)
      for (int64_t k = first; k <= last; ++k) {
        const float want = held.data[std::size_t(j * held.count + k - 1)];
        const float got = a.data[j * a.channelStride + (k - a.first) * a.sampleStride];
        ASSERT_TRUE(std::isnan(want) ? std::isnan(got) : got == want)
            << "channel " << j << " sample " << k;
      }
  }
  // The reader from the first sample, asked for the same span late, agrees too.
  const Samples b = reader.hold(start, std::min(held.count, start + block - 1));
  EXPECT_EQ(b.first, start);
  EXPECT_EQ(std::isnan(b.data[0]), std::isnan(held.data[std::size_t(start - 1)]));
  if (!std::isnan(b.data[0])) {
    EXPECT_EQ(b.data[0], held.data[std::size_t(start - 1)]);
  }
}

TEST(StreamedInputs, TableWithHeaderGapsAndTimeColumnIsTheHeldRun) {
  TempDir dir;
  writeFile(dir / "t.csv", table(9000, 100.0, 7, "x;y;z"));
  expectStreamedIsHeld(
      dir, {"t.csv"},
      {"--window", "256", "--shift", "64", "--order", "3", "--time-column", "time"});
}

TEST(StreamedInputs, TablesWithTimeMarksAreAlignedAsHeld) {
  TempDir dir;
  // b starts 300 samples later and ends earlier: both are cut; names repeat.
  writeFile(dir / "a.csv", table(6000, 100.0, 7, "x;y;z"));
  writeFile(dir / "b.csv", table(5000, 250.0, 9, "x;u;v"));
  expectStreamedIsHeld(
      dir, {"a.csv", "b.csv"},
      {"--window", "200", "--shift", "50", "--order", "2", "--time-column", "1", "--threads", "2"});
  const cli::BatchOptions o =
      inputOptions({(dir / "a.csv").string(), (dir / "b.csv").string()}, "1");
  const auto scanned = cli::scanInputs(o);
  ASSERT_TRUE(scanned);
  const Record held = heldRecord(o);
  EXPECT_EQ(scanned->record.names, held.names);
  EXPECT_EQ(scanned->record.count, held.count);
  EXPECT_EQ(scanned->record.warnings, held.warnings);
  expectReaderGivesHeld(*scanned, held, 1, 1000);
}

TEST(StreamedInputs, ReaderStartedInTheMiddleGivesTheSamplesOfOneFromTheStart) {
  TempDir dir;
  writeFile(dir / "t.csv", table(20000, 0.0, 3, "x;y;z"));
  const cli::BatchOptions o = inputOptions({(dir / "t.csv").string()}, "time");
  const auto scanned = cli::scanInputs(o);
  ASSERT_TRUE(scanned);
  const Record held = heldRecord(o);
  ASSERT_EQ(scanned->record.count, held.count);
  // Starts on a marked row, just after one, just before one, and in the last stretch.
  for (const int64_t start :
       {int64_t{1}, int64_t{4097}, int64_t{4098}, int64_t{8192}, int64_t{12345}, held.count - 10})
    expectReaderGivesHeld(*scanned, held, start, 700);
}

TEST(StreamedInputs, ScanSurvivesItsBytes) {
  TempDir dir;
  writeFile(dir / "a.csv", table(5000, 100.0, 7, "x;y;z"));
  writeFile(dir / "b.csv", table(5000, 120.0, 9, "p;q;r"));
  const cli::BatchOptions o =
      inputOptions({(dir / "a.csv").string(), (dir / "b.csv").string()}, "time");
  const auto scanned = cli::scanInputs(o);
  ASSERT_TRUE(scanned);
  const std::vector<char> bytes = cli::toBytes(*scanned);
  const cli::ScannedInput back = cli::fromBytes(bytes);
  EXPECT_EQ(cli::toBytes(back), bytes);
  EXPECT_EQ(back.record.names, scanned->record.names);
  ASSERT_EQ(back.gaps.size(), scanned->gaps.size());
  expectReaderGivesHeld(back, heldRecord(o), 2345, 900);
  // Bytes cut short are refused, not read past their end.
  EXPECT_THROW(cli::fromBytes(std::vector<char>(bytes.begin(), bytes.end() - 5)),
               std::runtime_error);
}

// A table that lost its last rows after the scan must stop the run with an input
// error, not give the samples of another file.
TEST(StreamedInputs, TableShortenedAfterTheScanIsAnInputError) {
  TempDir dir;
  const std::string text = table(3000, 0.0, 5, "x;y;z");
  writeFile(dir / "t.csv", text);
  const cli::BatchOptions o = inputOptions({(dir / "t.csv").string()}, "time");
  const auto scanned = cli::scanInputs(o);
  ASSERT_TRUE(scanned);
  writeFile(dir / "t.csv", text.substr(0, text.size() / 2));
  try {
    cli::SampleReader reader(*scanned, 1000);
    for (int64_t first = 1; first <= scanned->record.count; first += 1000)
      reader.hold(first, std::min(scanned->record.count, first + 999));
    FAIL() << "no error";
  } catch (const InputError& e) {
    EXPECT_EQ(e.kind(), InputError::Kind::readFailure);
    EXPECT_NE(std::string(e.what()).find("changed while it was read"), std::string::npos);
  }
}

// A table long enough to be scanned in pieces on several threads: gaps in y around
// each quarter of its rows (where the pieces are cut), the same stray time step in the
// first and the third quarter, a gap in z to the last row; `bad` rows get a field that
// is not a number, and the time goes back at row `back` (-1: neither).
std::string longTable(int n, int bad1 = -1, int bad2 = -1, int back = -1) {
  const auto v = series(n, 21);
  std::string text = "time x y z\n";
  char line[160];
  for (int i = 0; i < n; ++i) {
    if (i % 5000 == 4999) text += "# a note\n\n";
    const double t =
        0.5 * i + (i >= 5000 ? 0.25 : 0.0) + (i >= 25000 ? 0.25 : 0.0) - (i == back ? 1.0 : 0.0);
    const int q = i % (n / 4);
    const bool yGap = i > n / 4 && (q < 600 || q > n / 4 - 600);
    std::snprintf(
        line, sizeof line, "%.10g %.6f %s %s\n", t, v[0][std::size_t(i)],
        yGap ? "NA" : std::to_string(v[1][std::size_t(i)]).c_str(),
        i >= n - 100
            ? "nan"
            : (i == bad1 || i == bad2 ? "1.2.3" : std::to_string(v[2][std::size_t(i)]).c_str()));
    text += line;
  }
  return text;
}

// The pieces, scanned side by side and joined, are the scan of one thread: row marks,
// gaps, time marks and warnings; and the first error in the file is the one reported.
TEST(StreamedInputs, TableScannedInPiecesIsTheScanOfOne) {
  TempDir dir;
  writeFile(dir / "t.txt", longTable(40000));
  const cli::BatchOptions o = inputOptions({(dir / "t.txt").string()}, "time");
  const auto one = cli::scanInputs(o, 1);
  ASSERT_TRUE(one);
  ASSERT_GE(one->gaps.size(), 4u);
  for (const int32_t threads : {2, 3, 4}) {
    const auto pieces = cli::scanInputs(o, threads);
    ASSERT_TRUE(pieces);
    EXPECT_EQ(cli::toBytes(*pieces), cli::toBytes(*one)) << threads << " threads";
  }
  expectReaderGivesHeld(*cli::scanInputs(o, 4), heldRecord(o), 29000, 3000);

  const auto failure = [&](const std::string& text, int32_t threads) {
    writeFile(dir / "t.txt", text);
    try {
      cli::scanInputs(o, threads);
    } catch (const InputError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  for (const std::string& text : {longTable(40000, 22000, 33000), longTable(40000, -1, -1, 12000),
                                  longTable(40000, 31000, -1, 12000)}) {
    const std::string want = failure(text, 1);
    EXPECT_NE(want, "no error");
    for (const int32_t threads : {2, 4}) EXPECT_EQ(failure(text, threads), want) << threads;
  }
}

// A list's series written the ways the free-format reading takes them: series 1
// with a byte-order mark, series 2 with CR LF ends; blank lines (a value then comes
// from a later line), lines with more after the number, a repeat count, a null value
// (a comma alone: 0), one line longer than the reader's 64 KiB chunk right after the
// 4096th value (the mark lies inside it), and series 3 stopping at a line that is not
// a number (a warning naming it).
std::string seriesText(int j, int n) {
  const auto v = series(n, 11)[std::size_t(j - 1)];
  const std::string end = j == 2 ? "\r\n" : "\n";
  std::string text = j == 1 ? "\xEF\xBB\xBF" : "";
  char value[64];
  for (int i = 0; i < n; ++i) {
    std::snprintf(value, sizeof value, "%.7g", v[std::size_t(i)]);
    if (i % 997 == 5) text += end + "  " + end;
    if (j == 3 && i == 9100) text += "abc" + end;
    if (i % 1301 == 7)
      text += std::string(value) + ", 2.5 more" + end;
    else if (i % 1709 == 8)
      text += "3*" + std::string(value) + end;
    else if (i % 2003 == 9)
      text += "," + end;
    else if (i == 4095)
      text += std::string(value) + std::string(70000, ' ') + "x" + end;
    else
      text += " " + std::string(value) + end;
  }
  return text;
}

// A rank of an MPI run starts its series at its own first sample from the mark at or
// before it: the values are those of the reading from the first line, whatever the
// lines between.
TEST(StreamedInputs, ListSeriesReadFromTheirMarksAreTheHeldSeries) {
  TempDir dir;
  for (int j = 1; j <= 3; ++j)
    writeFile(dir / ("s" + std::to_string(j) + ".dat"), seriesText(j, 10000));
  writeFile(dir / "list", (dir / "s1.dat").string() + "\n" + (dir / "s2.dat").string() + "\n" +
                              (dir / "s3.dat").string() + "\n");
  cli::BatchOptions o;
  o.list = (dir / "list").string();
  const auto scanned = cli::scanInputs(o);
  ASSERT_TRUE(scanned);
  const Record held = heldRecord(o);
  ASSERT_EQ(scanned->record.count, 9100);
  EXPECT_EQ(scanned->record.warnings, held.warnings);
  for (const cli::ScannedFile& f : scanned->files) EXPECT_EQ(f.seriesMarks.size(), 3u) << f.path;
  // The series scanned side by side give the same scan: marks, gaps, warnings.
  const auto threaded = cli::scanInputs(o, 3);
  ASSERT_TRUE(threaded);
  EXPECT_EQ(cli::toBytes(*threaded), cli::toBytes(*scanned));
  const cli::ScannedInput back = cli::fromBytes(cli::toBytes(*scanned));
  for (const int64_t start : {1, 4096, 4097, 4098, 4099, 8192, 8193, 9000})
    expectReaderGivesHeld(back, held, start, 700);
}

// A series that changed after the scan is refused where its marks would be taken,
// not read from inside a number of the new text.
TEST(StreamedInputs, ListSeriesChangedAfterTheScanIsAnInputError) {
  TempDir dir;
  for (int j = 1; j <= 2; ++j)
    writeFile(dir / ("s" + std::to_string(j) + ".dat"), seriesText(j, 6000));
  writeFile(dir / "list", (dir / "s1.dat").string() + "\n" + (dir / "s2.dat").string() + "\n");
  cli::BatchOptions o;
  o.list = (dir / "list").string();
  const auto scanned = cli::scanInputs(o);
  ASSERT_TRUE(scanned);
  writeFile(dir / "s2.dat", "1.25\n" + seriesText(2, 6000));
  try {
    cli::SampleReader reader(*scanned, 1000, 5000);
    FAIL() << "no error";
  } catch (const InputError& e) {
    EXPECT_EQ(e.kind(), InputError::Kind::readFailure);
    EXPECT_NE(std::string(e.what()).find("changed while it was read"), std::string::npos);
  }
}

// A pipe among the inputs cannot be read twice: no scan, the held reading.
TEST(StreamedInputs, PipeAmongTheInputsIsNotScanned) {
  TempDir dir;
  writeFile(dir / "a.csv", table(2000, 0.0, 5, "x;y;z"));
  const cli::BatchOptions o = inputOptions({(dir / "a.csv").string(), "/dev/stdin"});
  EXPECT_FALSE(cli::scanInputs(o));
}

#ifdef KELV_TEST_MSEED
// Three traces of float samples at 20 Hz: BHZ from 1000 s, BHN from 1003 s with a
// hole of 150 samples between its two runs of records and not-a-number samples (one
// of them next to the hole, one gap with it), BHE
// from 999 s; the shared span starts at 1003 s.
std::string seedFile() {
  const auto v = series(6000, 11);
  std::string file;
  std::vector<float> z(v[0].begin(), v[0].end()), e(v[2].begin(), v[2].end());
  std::vector<float> n1(v[1].begin() + 60, v[1].begin() + 2500);
  std::vector<float> n2(v[1].begin() + 2650, v[1].end());
  n1[1000] = n1[1001] = n1.back() = std::nanf("");  // the last one next to the hole
  testing::appendTrace(file, "BHZ", 1000.0, 20.0, z);
  testing::appendTrace(file, "BHN", 1003.0, 20.0, n1);
  testing::appendTrace(file, "BHN", 1003.0 + 2590 / 20.0, 20.0, n2);
  testing::appendTrace(file, "BHE", 999.0, 20.0, std::vector<float>(e.begin(), e.end() - 100));
  return file;
}

TEST(StreamedInputs, MiniSeedIsTheHeldRun) {
  TempDir dir;
  writeFile(dir / "s.mseed", seedFile());
  expectStreamedIsHeld(dir, {"s.mseed"}, {"--window", "256", "--shift", "32", "--order", "4"});
  const cli::BatchOptions o = inputOptions({(dir / "s.mseed").string()});
  const auto scanned = cli::scanInputs(o);
  ASSERT_TRUE(scanned);
  const Record held = heldRecord(o);
  EXPECT_EQ(scanned->record.names, held.names);
  EXPECT_EQ(scanned->record.start, held.start);
  ASSERT_EQ(scanned->record.count, held.count);
  for (const int64_t start : {int64_t{1}, int64_t{2401}, held.count - 300})
    expectReaderGivesHeld(*scanned, held, start, 800);
  const cli::ScannedInput back = cli::fromBytes(cli::toBytes(*scanned));
  expectReaderGivesHeld(back, held, 1500, 800);
}

TEST(StreamedInputs, MiniSeedBesideATableIsAlignedAsHeld) {
  TempDir dir;
  writeFile(dir / "s.mseed", seedFile());
  // A table at 20 Hz from 1010 s.
  std::string text = "t x\n";
  const auto v = series(5000, 4);
  char line[80];
  for (int i = 0; i < 5000; ++i) {
    std::snprintf(line, sizeof line, "%.2f %.6f\n", 1010.0 + i * 0.05, v[0][std::size_t(i)]);
    text += line;
  }
  writeFile(dir / "t.txt", text);
  expectStreamedIsHeld(dir, {"s.mseed", "t.txt"},
                       {"--window", "256", "--shift", "32", "--order", "4", "--time-column", "t"});
}
#endif

}  // namespace
}  // namespace kelv
