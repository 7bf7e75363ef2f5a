// The command lines of kelvarodine and kelvarodine-example, end to end: --help and
// --version on standard output with status 0; anything else a one-line usage error
// with status 2, given before any file or console input is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/run_program.hpp"

namespace kelv {
namespace {

using testing::binaryDir;
using testing::runProgram;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

std::string kelvarodine() {
  return testing::consoleProgram();
}
std::string example() {
  return (binaryDir() / "examples" / "kelvarodine-example").string();
}

std::set<std::string> filesIn(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

// A directory in which a run without arguments would succeed.
void writeRunnableInput(const TempDir& dir) {
  std::string a, b;
  for (int t = 1; t <= 128; ++t) {
    char line[64];
    std::snprintf(line, sizeof line, "%.5f\n", std::sin(0.3 * t) + 0.01 * (t % 7));
    a += line;
    std::snprintf(line, sizeof line, "%.5f\n", std::cos(0.2 * t) + 0.01 * (t % 5));
    b += line;
  }
  writeFile(dir / "list", "a.dat\nb.dat\n");
  writeFile(dir / "a.dat", a);
  writeFile(dir / "b.dat", b);
}

const char* const kAnswers = "0\n64\n32\n2\n0 1\n";

TEST(Arguments, HelpAndVersionOnStandardOutput) {
  TempDir dir;
  for (const std::string& program : {kelvarodine(), example()}) {
    const std::string name = std::filesystem::path(program).filename().string();
    const RunResult version = runProgram({program, "--version"}, "", dir.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, name + " " KELV_VERSION "\n");
    EXPECT_EQ(version.err, "");

    const RunResult help = runProgram({program, "--help"}, "", dir.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: " + name + " ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("man kelvarodine"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
  }
  EXPECT_TRUE(filesIn(dir.path()).empty());
}

TEST(Arguments, HelpNamesTheInputsTheQuestionsAndTheOutput) {
  TempDir dir;
  const RunResult help = runProgram({kelvarodine(), "--help"}, "", dir.path());
  for (const char* part : {"\"list\"", "five questions", "window", "shift", "order", "Tini Tstep",
                           "\"Kelvarodine.grd\"", "OMP_NUM_THREADS"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

// A usage error must leave everything as it was: no banner, no read of "list" or of
// the piped answers, no grid file. The same directory then runs normally. Any
// command line but the dialogue's (none, or --null alone) and a lone --help or
// --version runs without questions, so its mistakes are named: an unknown option,
// a missing or malformed value, a missing setting, an unknown output format.
TEST(Arguments, AnyOtherArgumentIsAUsageErrorBeforeAnythingHappens) {
  TempDir dir;
  writeRunnableInput(dir);
  const std::set<std::string> before = filesIn(dir.path());
  const std::string usage =
      "; usage: kelvarodine [--null] | kelvarodine --window N --shift N --order N [OPTION...] "
      "[INPUT...]\n";
  const std::vector<std::string> settings = {"--window", "64", "--shift", "32", "--order", "2"};
  const auto withSettings = [&](std::vector<std::string> more) {
    more.insert(more.begin(), settings.begin(), settings.end());
    return more;
  };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"x"}, "missing --window"},
      {{"--null", "x"}, "missing --window"},
      {{"-h"}, "unknown option \"-h\""},
      {{"--versio"}, "unknown option \"--versio\""},
      {{""}, "an empty input file name"},
      {{"--help", "extra"}, "\"--help\" must be the only argument"},
      {{"--version", "--help"}, "\"--version\" must be the only argument"},
      {{"list", "--help"}, "\"--help\" must be the only argument"},
      {{"--window", "64", "--shift", "32"}, "missing --order"},
      {withSettings({"--bogus"}), "unknown option \"--bogus\""},
      {withSettings({"--step"}), "--step needs a value"},
      {withSettings({"--step", "fast"}), "--step needs a number, not \"fast\""},
      {{"--window", "64x", "--shift", "32", "--order", "2"},
       "--window needs a whole number, not \"64x\""},
      {{"--window", "64", "--shift", "0", "--order", "2"}, "--shift must be at least 1, not 0"},
      {withSettings({"--window", "32"}), "--window is given twice"},
      {withSettings({"--threads", "0"}), "--threads must be at least 1, not 0"},
      {withSettings({"--diff=1"}), "--diff takes no value"},
      {withSettings({"--list", "list", "a.dat"}),
       "--list and input files exclude each other (input \"a.dat\")"},
      {withSettings({"--output", "out.tif"}),
       "--output \"out.tif\": unknown grid format; the formats are .grd (DSAA ASCII grid), .nc "
       "(netCDF-4 grid, CF conventions)"},
      {withSettings({"--output", "out"}),
       "--output \"out\": unknown grid format; the formats are .grd (DSAA ASCII grid), .nc "
       "(netCDF-4 grid, CF conventions)"},
  };
  for (const auto& [args, problem] : cases) {
    std::vector<std::string> argv{kelvarodine()};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult r = runProgram(argv, kAnswers, dir.path());
    EXPECT_EQ(r.exitCode, 2) << problem;
    EXPECT_EQ(r.out, "") << problem;
    EXPECT_EQ(r.err, "kelvarodine: " + problem + usage);
    EXPECT_EQ(filesIn(dir.path()), before) << problem;
  }
  const RunResult run = runProgram({kelvarodine()}, kAnswers, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "Kelvarodine.grd"));
}

// An option where the directory belongs would otherwise be taken for its name.
TEST(Arguments, ExampleRejectsAnOptionForTheDirectory) {
  TempDir dir;
  const RunResult r = runProgram({example(), "--bogus"}, "", dir.path());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "kelvarodine-example: unknown option \"--bogus\"; usage: kelvarodine-example DIR "
            "[--channels N] [--samples N] [--seed N]\n");
  EXPECT_TRUE(filesIn(dir.path()).empty());
}

// The help text is written in full or the exit status says it was not.
TEST(Arguments, FailedWriteOfTheHelpIsAnError) {
  for (const char* option : {"--help", "--version"}) {
    const RunResult r = testing::runInChild(
        [&] {
          const int fd = ::open("/dev/full", O_WRONLY);
          if (fd < 0 || ::dup2(fd, 1) < 0) ::_exit(126);
          const std::string program = kelvarodine();
          ::execl(program.c_str(), program.c_str(), option, static_cast<char*>(nullptr));
        },
        "");
    EXPECT_EQ(r.exitCode, 1) << option;
    EXPECT_EQ(r.err, "kelvarodine: cannot write to standard output\n") << option;
  }
}

}  // namespace
}  // namespace kelv
