// kelvarodine-map's command line: --help and --version on standard output with
// status 0; an unknown option a one-line usage error with status 2, before any file
// is read or written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_program.hpp"

namespace {

using namespace kelv::testing;

std::string program() {
  return (binaryDir() / "map" / "kelvarodine-map").string();
}

TEST(MapArguments, HelpVersionAndUnknownOptions) {
  TempDir dir;
  RunResult r = runProgram({program(), "--version"}, "", dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "kelvarodine-map " KELV_VERSION "\n");
  EXPECT_EQ(r.err, "");
  for (const char* option : {"--help", "-h"}) {
    r = runProgram({program(), option}, "", dir.path());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("usage: kelvarodine-map GRID [OUTPUT]\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("man kelvarodine"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  // "g.grd" exists, so the option alone is what stops the run.
  writeFile(dir / "g.grd", "DSAA\n2 2\n0 1\n0 1\n0 1\n0 0 1 1\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--bogus"}, {"g.grd", "--help"}, {"-o", "g.grd"}}) {
    std::vector<std::string> argv{program()};
    argv.insert(argv.end(), args.begin(), args.end());
    r = runProgram(argv, "", dir.path());
    const std::string option = args[0][0] == '-' ? args[0] : args[1];
    EXPECT_EQ(r.exitCode, 2) << option;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelvarodine-map: unknown option \"" + option +
                         "\"; usage: kelvarodine-map GRID [OUTPUT]\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "g.png")) << option;
  }
}

}  // namespace
