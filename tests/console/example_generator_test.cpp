// kelvarodine-example when it cannot do its work: every failure is one line on
// standard error and status 1, and leaves no file behind, not even a partial one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_program.hpp"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;
using testing::TempDir;

std::string maker() {
  return (testing::binaryDir() / "examples" / "kelvarodine-example").string();
}

bool oneLine(const std::string& err) {
  return !err.empty() && err.find('\n') == err.size() - 1;
}

// Before: a missing parent was made silently, a full disk or a small file size
// limit left partial files, and an allocation within the accepted sizes aborted.
TEST(ExampleGenerator, FailuresAreOneLineAndLeaveNoFiles) {
  TempDir dir;
  {  // A missing parent directory is not made.
    const fs::path target = dir / "missing" / "example";
    const RunResult r = testing::runProgram({maker(), target.string()}, "", dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(oneLine(r.err));
    EXPECT_EQ(r.err, "kelvarodine-example: cannot create " + target.string() + "\n");
    EXPECT_FALSE(fs::exists(dir / "missing"));
  }
  for (const bool existing : {false, true}) {  // 4 files of ~300 kB under a 100 kB limit
    SCOPED_TRACE(existing ? "into an existing directory" : "into a new directory");
    const fs::path target = dir / "example";
    if (existing) fs::create_directory(target);
    const RunResult r = testing::runProgram(
        {"/bin/sh", "-c", "ulimit -f 200; exec \"$0\" \"$1\"", maker(), target.string()}, "",
        dir.path());
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kelvarodine-example: cannot write into " + target.string() + "\n");
    EXPECT_EQ(fs::exists(target), existing);
    if (existing) {
      EXPECT_TRUE(fs::is_empty(target));
    }
  }
#if !defined(__SANITIZE_ADDRESS__)
  {  // 1000 channels of 10^8 samples are accepted sizes, but 400 GB of memory.
    const fs::path target = dir / "huge";
    const RunResult r = testing::runProgram(
        {"/bin/sh", "-c",
         "ulimit -v 1000000; exec \"$0\" \"$1\" --channels 1000 --samples 100000000", maker(),
         target.string()},
        "", dir.path());
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(oneLine(r.err)) << r.err;
    EXPECT_FALSE(fs::exists(target));
  }
#endif
}

}  // namespace
}  // namespace kelv
