// The real kelvarodine-map executable, run in a fresh directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>

#include "map/map.hpp"
#include "map_test_support.hpp"
#include "support/run_program.hpp"

namespace {

using namespace kelv::testing;

std::string program() {
  return (binaryDir() / "map" / "kelvarodine-map").string();
}

std::set<std::string> filesIn(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

std::string smallGrid() {
  GridText g;
  g.nx = 5;
  g.ny = 3;
  g.xMin = 255;
  g.xMax = 655;
  g.yMin = 0.00390625;
  g.yMax = 0.5;
  g.values = tokens({0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1, 0.5, 0.5, 0.5, 0.5});
  return g.text();
}

TEST(MapProgram, WritesPngBesideTheGridByDefault) {
  TempDir dir;
  writeFile(dir / "Kelvarodine.grd", smallGrid());
  const RunResult r = runProgram({program(), "Kelvarodine.grd"}, "", dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "kelvarodine-map: wrote Kelvarodine.png (1200 x 700)\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"Kelvarodine.grd", "Kelvarodine.png"}));
  const Png png(dir / "Kelvarodine.png");
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(png.width(), 1200);
  EXPECT_EQ(png.height(), 700);
}

TEST(MapProgram, OutputFormatFollowsTheExtension) {
  TempDir dir;
  writeFile(dir / "g.grd", smallGrid());
  std::filesystem::create_directory(dir / "pics");
  for (const auto& [name, magic] : {std::pair<std::string, std::string>{"pics/m.svg", "<?xml"},
                                    {"pics/m.pdf", "%PDF-"},
                                    {"pics/m.PNG", "\x89PNG"}}) {
    const RunResult r = runProgram({program(), "g.grd", name}, "", dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "kelvarodine-map: wrote " + name + " (1200 x 700)\n");
    EXPECT_EQ(readFile(dir / name).substr(0, magic.size()), magic);
  }
  EXPECT_EQ(filesIn(dir / "pics"), (std::set<std::string>{"m.svg", "m.pdf", "m.PNG"}));
}

TEST(MapProgram, BadInputFailsWithItsMessageAndWritesNothing) {
  const std::pair<std::string, std::string> cases[] = {
      {"XYZ\n1 1\n", "grid.grd: line 1: expected \"DSAA\", found \"XYZ\" (not a DSAA grid file)"},
      {"DSAA\r\n2 2\r\n0 1\r\n0 1\r\n0 1\r\n1 2\r\n3\r\n",
       "grid.grd: line 7: expected 4 values for a 2 x 2 grid, found 3"},
      {"DSAA\r2 2\r0 1\r0 1\r0 1\r1 2\r3 4\r5\r",
       "grid.grd: line 8: expected 4 values for a 2 x 2 grid, found 5"},
      {"DSAA\n2 2\n0 1\n0 1\n0 1\n1 2\n3 four\n", "grid.grd: line 7: \"four\" is not a number"},
      {"DSAA\n0 128\n255 255\n3.906250E-03 0.5\n3.4028235E+38 -3.4028235E+38\n",
       "grid.grd: line 2: expected positive node counts, found 0 x 128"},
  };
  for (const auto& [text, message] : cases) {
    TempDir dir;
    writeFile(dir / "grid.grd", text);
    const RunResult r = runProgram({program(), "grid.grd"}, "", dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kelvarodine-map: " + message + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"grid.grd"})) << message;
  }
}

// Before: a tiny x range hung the program, and /dev/zero was read for ever.
TEST(MapProgram, DegenerateRangesAndEndlessInputEndPromptly) {
  TempDir dir;
  writeFile(dir / "narrow.grd",
            "DSAA\n2 2\n1 1.0000000000000002\n0 0.5\n0.1 0.4\n0.1 0.2\n0.3 0.4\n");
  const RunResult narrow = runProgram({program(), "narrow.grd"}, "", dir.path());
  EXPECT_EQ(narrow.exitCode, 0) << narrow.err;
  EXPECT_TRUE(Png(dir / "narrow.png").ok());

  const RunResult zero = runProgram({program(), "/dev/zero", "zero.png"}, "", dir.path());
  EXPECT_EQ(zero.exitCode, 1);
  EXPECT_EQ(zero.err.substr(0, 58), "kelvarodine-map: /dev/zero: line 1: expected \"DSAA\", found");
  EXPECT_FALSE(std::filesystem::exists(dir / "zero.png"));
}

TEST(MapProgram, BadArgumentsFailWithTheirMessage) {
  TempDir dir;
  writeFile(dir / "g.grd", smallGrid());
  std::filesystem::copy_file(dir / "g.grd", dir / "grid.png");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"missing.grd"}, "cannot open missing.grd: No such file or directory"},
      {{"."}, "cannot read .: Is a directory"},
      {{"g.grd", "m.jpg"}, "cannot write m.jpg: the picture's name must end in .png, .svg or .pdf"},
      {{"g.grd", "m"}, "cannot write m: the picture's name must end in .png, .svg or .pdf"},
      {{"g.grd", "no/such/dir/m.png"}, "cannot write no/such/dir/m.png: No such file or directory"},
      {{"grid.png"}, "cannot write grid.png: that is the grid file itself"},
      {{"grid.png", "./grid.png"}, "cannot write ./grid.png: that is the grid file itself"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> argv{program()};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult r = runProgram(argv, "", dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kelvarodine-map: " + message + "\n");
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"g.grd", "grid.png"})) << message;
  }
  const RunResult none = runProgram({program()}, "", dir.path());
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.err.rfind("kelvarodine-map: usage: kelvarodine-map GRID [OUTPUT]\n", 0), 0u);
  const RunResult three = runProgram({program(), "a", "b.png", "c"}, "", dir.path());
  EXPECT_EQ(three.exitCode, 1);
}

// The companion must have 2 columns and the grid's rows; one that does not is
// reported and the map drawn as without it.
TEST(MapProgram, MismatchedNullLevelFileIsReportedAndIgnored) {
  TempDir dir;
  std::filesystem::create_directory(dir / "run");
  writeFile(dir / "run" / "Kelvarodine.grd", smallGrid());
  const auto draw = [&](const std::string& output) {
    return runProgram({program(), "run/Kelvarodine.grd", output}, "", dir.path());
  };
  RunResult r = draw("plain.png");
  ASSERT_EQ(r.exitCode, 0) << r.err;

  GridText levels;
  levels.nx = 2;
  levels.ny = 4;
  levels.xMin = 95;
  levels.xMax = 99;
  levels.yMin = 0.00390625;
  levels.yMax = 0.5;
  levels.values = tokens({0.5, 0.6, 0.5, 0.6, 0.5, 0.6, 0.5, 0.6});
  writeFile(dir / "run" / "Kelvarodine.null.grd", levels.text());
  r = draw("four.png");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "kelvarodine-map: wrote four.png (1200 x 700)\n");
  EXPECT_EQ(r.err,
            "kelvarodine-map: warning: run/Kelvarodine.null.grd: expected 3 rows, one per "
            "frequency of the grid, found 4; the null level is not shown\n");
  EXPECT_EQ(readFile(dir / "four.png"), readFile(dir / "plain.png"));

  writeFile(dir / "run" / "Kelvarodine.null.grd", "DSAA\n2 3\n95 99\n");
  r = draw("cut.png");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err,
            "kelvarodine-map: warning: run/Kelvarodine.null.grd: line 3: expected yMin, found the "
            "end of the file; the null level is not shown\n");
  EXPECT_EQ(readFile(dir / "cut.png"), readFile(dir / "plain.png"));

  // A matching one dims the nodes below it, without a word.
  levels.ny = 3;
  writeFile(dir / "run" / "Kelvarodine.null.grd", levels.text());
  r = draw("dimmed.png");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(readFile(dir / "dimmed.png"), readFile(dir / "plain.png"));

  // Regression: a companion left by an earlier run dimmed the map by levels of other
  // settings. One older than the grid is ignored, with a warning.
  const auto gridTime = std::filesystem::last_write_time(dir / "run" / "Kelvarodine.grd");
  std::filesystem::last_write_time(dir / "run" / "Kelvarodine.null.grd",
                                   gridTime - std::chrono::seconds(10));
  r = draw("stale.png");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err,
            "kelvarodine-map: warning: run/Kelvarodine.null.grd is older than the grid; the null "
            "level is not shown\n");
  EXPECT_EQ(readFile(dir / "stale.png"), readFile(dir / "plain.png"));
}

// Runs the program like runProgram, with an alarm set: should it block, SIGALRM ends
// it and the test fails instead of hanging.
RunResult runGuarded(const std::vector<std::string>& argv, const std::filesystem::path& dir) {
  return runInChild(
      [&] {
        if (chdir(dir.c_str()) != 0) _exit(127);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        alarm(30);
        execv(args[0], args.data());
      },
      "");
}

// Before: a FIFO named like the companion was opened for reading, which waits for a
// writer: the program hung. Only a regular file is taken as the companion.
TEST(MapProgram, NullLevelCompanionThatIsNoRegularFileIsReportedAndIgnored) {
  TempDir dir;
  std::filesystem::create_directory(dir / "run");
  writeFile(dir / "run" / "Kelvarodine.grd", smallGrid());
  const RunResult plain = runGuarded({program(), "run/Kelvarodine.grd", "plain.png"}, dir.path());
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  const auto companion = dir / "run" / "Kelvarodine.null.grd";
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(companion.c_str(), 0644), 0); }},
      {"a link to a FIFO",
       [&] {
         ASSERT_EQ(mkfifo((dir / "run" / "pipe").c_str(), 0644), 0);
         std::filesystem::create_symlink("pipe", companion);
       }},
      {"a directory", [&] { std::filesystem::create_directory(companion); }},
  };
  for (const auto& [what, make] : cases) {
    SCOPED_TRACE(what);
    make();
    const RunResult r = runGuarded({program(), "run/Kelvarodine.grd", "map.png"}, dir.path());
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "kelvarodine-map: wrote map.png (1200 x 700)\n");
    EXPECT_EQ(r.err,
              "kelvarodine-map: warning: run/Kelvarodine.null.grd is not a regular file; the null "
              "level is not shown\n");
    EXPECT_EQ(readFile(dir / "map.png"), readFile(dir / "plain.png"));
    std::filesystem::remove(companion);
    std::filesystem::remove(dir / "run" / "pipe");
  }
}

TEST(MapProgram, PictureIsReplacedOnlyBySuccess) {
  TempDir dir;
  writeFile(dir / "map.png", "earlier picture");
  writeFile(dir / "bad.grd", "DSAA\n2 2\n0 1\n0 1\n0 1\n1 2 3\n");
  RunResult r = runProgram({program(), "bad.grd", "map.png"}, "", dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(readFile(dir / "map.png"), "earlier picture");

  writeFile(dir / "good.grd", smallGrid());
  r = runProgram({program(), "good.grd", "map.png"}, "", dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(readFile(dir / "map.png").substr(0, 4), "\x89PNG");
  EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"bad.grd", "good.grd", "map.png"}));
}

}  // namespace
