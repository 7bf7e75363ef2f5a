// The command line's list input read as the windows need it: its grid, the channels'
// grids, the null levels and the netCDF grid are the ones a run holding the whole
// record writes, byte for byte, across the tiles of its temporary column file and
// the chunks of the netCDF file, and a series that cannot be read twice is read
// once, whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/run_program.hpp"

namespace kelv {
namespace {

using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

RunResult run(const TempDir& dir, std::vector<std::string> args) {
  return testing::runCommandLine(dir, std::move(args));
}

// Three coupled series of n samples, s1.dat to s3.dat, and the list naming them.
void writeList(const TempDir& dir, int n) {
  std::string text[3];
  double a = 0, b = 0, c = 0;
  uint64_t state = 7;
  const auto noise = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return double(state >> 11) / double(uint64_t{1} << 53) - 0.5;
  };
  char line[40];
  for (int t = 0; t < n; ++t) {
    a = 0.7 * a + noise();
    b = 0.4 * b + 0.5 * a + noise();
    c = 0.2 * c + 0.3 * b + noise();
    const double v[3] = {a, b, c};
    for (int j = 0; j < 3; ++j) {
      std::snprintf(line, sizeof line, "%.6f\n", v[j]);
      text[j] += line;
    }
  }
  for (int j = 0; j < 3; ++j) writeFile(dir / ("s" + std::to_string(j + 1) + ".dat"), text[j]);
  writeFile(dir / "list", "s1.dat\ns2.dat\ns3.dat\n");
}

std::set<std::string> filesIn(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    names.insert(e.path().filename().string());
  return names;
}

// Window 512 (256 frequencies) and shift 1 give 601 windows: a tile of 512 windows
// and a last one of 89, not a whole number of four-value lines, so a row of the
// file is made of pieces from both; the --null run holds the record and the grid.
TEST(StreamedBatch, ListGridIsTheHeldRunsAcrossTiles) {
  TempDir dir;
  writeList(dir, 1112);
  for (const char* diff : {"", "--diff"}) {
    for (const char* threads : {"1", "2"}) {
      SCOPED_TRACE(std::string(diff) + " threads " + threads);
      std::vector<std::string> args = {"--window", "512", "--shift",   "1",
                                       "--order",  "2",   "--threads", threads};
      if (*diff) args.push_back(diff);
      auto streamed = args, held = args;
      streamed.insert(streamed.end(), {"--output", "s.grd"});
      held.insert(held.end(), {"--output", "h.grd", "--null"});
      const RunResult s = run(dir, streamed);
      const RunResult h = run(dir, held);
      ASSERT_EQ(s.exitCode, 0) << s.err;
      ASSERT_EQ(h.exitCode, 0) << h.err;
      EXPECT_EQ(s.err, h.err);
      EXPECT_EQ(readFile(dir / "s.grd"), readFile(dir / "h.grd"));
      // The temporary column file leaves nothing behind.
      EXPECT_EQ(filesIn(dir), (std::set<std::string>{"list", "s1.dat", "s2.dat", "s3.dat", "s.grd",
                                                     "h.grd", "h.null.grd"}));
    }
  }
}

// A series that is a named pipe gives its samples once: the run must read it whole,
// as a run holding the record does, not count it first and read it again.
TEST(StreamedBatch, PipedSeriesIsReadOnceWhole) {
  TempDir dir;
  writeList(dir, 700);
  const RunResult plain = run(dir, {"--window", "128", "--shift", "16", "--order", "3", "--quiet",
                                    "--output", "plain.grd"});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  writeFile(dir / "list", "s1.dat\npipe\ns3.dat\n");
  const std::string writer = "cd '" + dir.path().string() + "' && (cat s2.dat > pipe &) && sleep 0";
  ASSERT_EQ(std::system(writer.c_str()), 0);
  const RunResult piped = run(dir, {"--window", "128", "--shift", "16", "--order", "3", "--quiet",
                                    "--output", "piped.grd"});
  ASSERT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_EQ(readFile(dir / "piped.grd"), readFile(dir / "plain.grd"));
}

// Every file of a directory, by name.
std::map<std::string, std::string> filesOf(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    if (e.is_regular_file()) files[e.path().filename().string()] = readFile(e.path());
  return files;
}

// The same run on the list's regular files (streamed) and, in a second directory,
// with the middle series a named pipe (read once, held whole): every file the same,
// byte for byte. Window 512 (256 frequencies) and shift 1 give 1101 windows: column
// slots of 512 windows and netCDF chunks of 1024 that end elsewhere; shift 3 leaves
// samples after the last window that the null level's last stretch needs.
TEST(StreamedBatch, ChannelsNullLevelsAndNetcdfAreTheHeldRunsFiles) {
  std::vector<std::string> outputs = {"g.grd"};
#ifdef KELV_TEST_NETCDF
  outputs.push_back("g.nc");
#endif
  for (const char* shift : {"1", "3"}) {
    for (const std::string& output : outputs) {
      SCOPED_TRACE(output + " shift " + shift);
      TempDir streamed, held;
      writeList(streamed, 1612);
      writeList(held, 1612);
      std::filesystem::remove(held / "s2.dat");
      ASSERT_EQ(::mkfifo((held / "s2.dat").c_str(), 0600), 0);
      const std::vector<std::string> args = {"--window",   "512",    "--shift",   shift,
                                             "--order",    "2",      "--threads", "2",
                                             "--channels", "--null", "--output",  output};
      const RunResult s = run(streamed, args);
      const std::string writer = "cd '" + held.path().string() + "' && (cat '" +
                                 (streamed / "s2.dat").string() + "' > s2.dat &) && sleep 0";
      ASSERT_EQ(std::system(writer.c_str()), 0);
      const RunResult h = run(held, args);
      ASSERT_EQ(s.exitCode, 0) << s.err;
      ASSERT_EQ(h.exitCode, 0) << h.err;
      EXPECT_EQ(s.out, h.out);
      std::map<std::string, std::string> streamedFiles = filesOf(streamed),
                                         heldFiles = filesOf(held);
      streamedFiles.erase("s2.dat");
      EXPECT_EQ(streamedFiles.size(), output == "g.grd" ? 8u : 4u);
      for (const auto& [name, bytes] : streamedFiles) {
        ASSERT_EQ(heldFiles.count(name), 1u) << name;
        EXPECT_TRUE(bytes == heldFiles[name]) << name << " differs";
      }
      EXPECT_EQ(streamedFiles.size(), heldFiles.size());
    }
  }
}

}  // namespace
}  // namespace kelv
