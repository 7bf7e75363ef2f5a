// Where the real executable writes "Kelvarodine.grd", and what it may not touch:
// the name must stand for a regular file (or nothing), which keeps its owner,
// group and mode; every other target, and every directory where no file can be
// made, is refused before the first window; signals and kills during the run
// leave the earlier grid as it was and nothing beside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "console/analysis.hpp"
#include "support/run_program.hpp"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

const std::string kEarlier = "DSAA\r\nan earlier grid\r\n";

// Two channels of `n` samples; with the answers below, (n - 64) / 32 + 1 windows.
void writeSeries(const fs::path& dir, int n) {
  std::string a, b;
  char buf[64];
  for (int k = 1; k <= n; ++k) {
    std::snprintf(buf, sizeof buf, "%d\n", (k * 37) % 101 - 50);
    a += buf;
    std::snprintf(buf, sizeof buf, "%d\n", (k * 53 + k / 7) % 89 - 44);
    b += buf;
  }
  writeFile(dir / "a.dat", a);
  writeFile(dir / "b.dat", b);
  writeFile(dir / "list", "a.dat\nb.dat\n");
}
const std::string kAnswers = "0\n64\n32\n2\n0 1\n";

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

bool analysedAWindow(const RunResult& r) {
  return r.out.find("Processing interval #") != std::string::npos;
}

std::string firstLine(const std::string& s) {
  return s.substr(0, s.find('\n'));
}

std::string report(int number, const char* text) {
  return "kelvarodine: severe (" + std::to_string(number) + "): " + text +
         ", unit 1, file Kelvarodine.grd";
}

// Before: the link was resolved and a temporary file renamed over its target, so a
// FIFO or a device node became a regular file holding the grid, and a dangling link
// or a loop a plain file; a hard link was split off.
TEST(GridTarget, AnythingButARegularFileIsRefusedBeforeTheFirstWindow) {
  TempDir dir;
  writeSeries(dir.path(), 300);
  const fs::path grd = dir / "Kelvarodine.grd";
  const struct Case {
    const char* what;
    std::function<bool()> make;  // false: not possible here, skipped
    std::function<void()> check;
  } cases[] = {
      {"a link to a FIFO",
       [&] {
         fs::create_symlink("pipe", grd);
         return mkfifo((dir / "pipe").c_str(), 0644) == 0;
       },
       [&] { EXPECT_TRUE(fs::is_fifo(dir / "pipe")); }},
      {"a FIFO", [&] { return mkfifo(grd.c_str(), 0644) == 0; },
       [&] { EXPECT_TRUE(fs::is_fifo(grd)); }},
      {"a link to a device node",
       [&] {
         fs::create_symlink("null", grd);
         return mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
       },
       [&] { EXPECT_TRUE(fs::is_character_file(dir / "null")); }},
      {"a dangling link",
       [&] {
         fs::create_symlink("sub/none.grd", grd);
         return true;
       },
       [&] { EXPECT_FALSE(fs::exists(dir / "sub")); }},
      {"a link loop",
       [&] {
         fs::create_symlink("loop.grd", grd);
         fs::create_symlink("Kelvarodine.grd", dir / "loop.grd");
         return true;
       },
       [] {}},
      {"a directory",
       [&] {
         fs::create_directory(grd);
         return true;
       },
       [&] { EXPECT_TRUE(fs::is_directory(grd)); }},
      {"a file with two links",
       [&] {
         writeFile(grd, kEarlier);
         fs::create_hard_link(grd, dir / "other.grd");
         return true;
       },
       [&] {
         EXPECT_EQ(readFile(dir / "other.grd"), kEarlier);
         EXPECT_EQ(fs::hard_link_count(grd), 2u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = entries(dir.path());
    if (!c.make()) {
      std::printf("skipped: %s cannot be made here\n", c.what);
    } else {
      const auto made = entries(dir.path());
      const RunResult r = testing::runProgram({testing::consoleProgram()}, kAnswers, dir.path());
      EXPECT_EQ(r.exitCode, 30);
      EXPECT_EQ(firstLine(r.err), report(30, "open failure"));
      EXPECT_FALSE(analysedAWindow(r));
      EXPECT_EQ(entries(dir.path()), made);
      c.check();
    }
    // Back to the series files alone.
    for (const auto& name : entries(dir.path()))
      if (!before.count(name)) fs::remove_all(dir / name);
  }
}

// Before: the new file was the program's own, with the old mode at best; another
// user's grid changed owner and that user could no longer read it.
TEST(GridTarget, ARegularFileKeepsItsOwnerGroupAndMode) {
  TempDir dir;
  writeSeries(dir.path(), 300);
  fs::create_directory(dir / "keep");
  const fs::path real = dir / "keep" / "real.grd";
  const bool root = geteuid() == 0;
  for (const bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "through a link" : "the file itself");
    const fs::path file = linked ? real : dir / "Kelvarodine.grd";
    writeFile(file, kEarlier);
    if (linked) fs::create_symlink("keep/real.grd", dir / "Kelvarodine.grd");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    if (root) {
      ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0);
    }
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    const RunResult r = testing::runProgram({testing::consoleProgram()}, kAnswers, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(readFile(file).substr(0, 30), "DSAA\r\n           8          32");
    EXPECT_EQ(fs::is_symlink(dir / "Kelvarodine.grd"), linked);
    EXPECT_EQ(entries(dir / "keep"),
              linked ? std::set<std::string>{"real.grd"} : std::set<std::string>{});
    fs::remove(dir / "Kelvarodine.grd");
  }
}

// Runs the program in `work` with its last answer held back: `beforeLastAnswer`
// runs once the program asks for it, after the input files were read.
RunResult runWithLastAnswerHeld(const fs::path& work, const std::function<void()>& beforeLastAnswer,
                                const std::function<void()>& childSetup = {}) {
  TempDir fifoDir;
  const fs::path fifo = fifoDir / "answers";
  if (mkfifo(fifo.c_str(), 0666) != 0) throw std::runtime_error("mkfifo failed");
  chmod(fifoDir.path().c_str(), 0755);
  const int fd = open(fifo.c_str(), O_RDWR);
  const std::string first = "0\n64\n32\n2\n";
  if (write(fd, first.data(), first.size()) != ssize_t(first.size()))
    throw std::runtime_error("write failed");
  const std::string exe = testing::consoleProgram();
  bool sent = false;
  const RunResult r = testing::runInChild(
      [&] {
        close(fd);
        if (chdir(work.c_str()) != 0) _exit(127);
        if (childSetup) childSetup();
        const int in = open(fifo.c_str(), O_RDONLY);
        if (in < 0) _exit(127);
        dup2(in, 0);
        close(in);
        execl(exe.c_str(), exe.c_str(), nullptr);
      },
      "",
      [&](pid_t, const RunResult& soFar) {
        if (!sent && soFar.out.find("Tini, Tstep=?") != std::string::npos) {
          sent = true;
          beforeLastAnswer();
          (void)!write(fd, "0 1\n", 4);
        }
      });
  close(fd);
  return r;
}

// Before: these were found only after the whole analysis, and a deleted working
// directory was reported as a file that was not found (error 29).
TEST(GridTarget, ADirectoryWhereNoFileCanBeMadeIsFoundBeforeTheWork) {
  {  // The working directory is removed while the program asks its questions.
    TempDir dir;
    const fs::path work = dir / "work";
    fs::create_directory(work);
    writeSeries(work, 300);
    const RunResult r = runWithLastAnswerHeld(work, [&] { fs::remove_all(work); });
    EXPECT_EQ(r.exitCode, 30) << r.err;
    EXPECT_EQ(firstLine(r.err), report(30, "open failure"));
    EXPECT_FALSE(analysedAWindow(r));
    EXPECT_FALSE(fs::exists(work));
  }
  {  // A read-only working directory, for a user who may not write there.
    TempDir dir;
    writeSeries(dir.path(), 300);
    writeFile(dir / "Kelvarodine.grd", kEarlier);
    chmod((dir / "Kelvarodine.grd").c_str(), 0666);
    chmod(dir.path().c_str(), 0555);
    const auto before = entries(dir.path());
    const RunResult r = runWithLastAnswerHeld(
        dir.path(), [] {},
        [] {
          if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(127);
        });
    chmod(dir.path().c_str(), 0755);
    if (r.exitCode == 127) {
      std::printf("skipped: the program cannot be run as another user here\n");
    } else {
      EXPECT_EQ(r.exitCode, 9) << r.err;
      EXPECT_EQ(firstLine(r.err), report(9, "permission to access file denied"));
      EXPECT_FALSE(analysedAWindow(r));
      EXPECT_EQ(entries(dir.path()), before);
      EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), kEarlier);
    }
  }
}

// Before: SIGTERM, SIGALRM, SIGUSR1 and SIGXFSZ left the temporary file of the grid
// (tens of megabytes) and printed nothing. A signal sent as the last window is
// shown lands while the grid (some 1 MB) is written, or, rarely, just after it.
TEST(GridTarget, SignalsWhileTheGridIsWrittenLeaveTheEarlierGridAlone) {
  TempDir dir;
  writeSeries(dir.path(), 1200);
  const std::string answers = "0\n128\n1\n1\n0 1\n";  // 1073 windows of 64 frequencies
  const RunResult whole = testing::runProgram({testing::consoleProgram()}, answers, dir.path());
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  const std::string complete = readFile(dir / "Kelvarodine.grd");
  const std::string lastWindow = "+Processing interval #       1073         1";
  for (const int signo : {SIGTERM, SIGUSR1, SIGKILL}) {
    SCOPED_TRACE(strsignal(signo));
    writeFile(dir / "Kelvarodine.grd", kEarlier);
    const auto before = entries(dir.path());
    bool sent = false;
    const RunResult r =
        testing::runProgram({testing::consoleProgram()}, answers, dir.path(), {},
                            [&](pid_t pid, const RunResult& soFar) {
                              if (!sent && soFar.out.find(lastWindow) != std::string::npos) {
                                kill(pid, signo);
                                sent = true;
                              }
                            });
    ASSERT_TRUE(sent);
    EXPECT_EQ(entries(dir.path()), before);
    if (r.exitCode == 0) {  // too late: the new grid is in place, whole
      std::printf("note: %s came after the grid was written\n", strsignal(signo));
      EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), complete);
      continue;
    }
    EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), kEarlier);
    if (signo == SIGTERM) {
      EXPECT_EQ(r.exitCode, 128 + SIGTERM);
      EXPECT_EQ(r.err, "kelvarodine: error (200): program aborting due to window-CLOSE event\n");
    } else {
      EXPECT_EQ(r.termSignal, signo);
    }
  }
}

// The space reserved before the loop is the size of the file written.
TEST(GridTarget, ReservedSpaceIsTheFilesSize) {
  RunParameters run;
  run.nlen = 4;
  run.shift = 1;
  run.nfreq = 2;
  for (const int32_t windows : {1, 4, 5, 9}) {
    TempDir dir;
    run.nWindows = windows;
    const std::vector<float> grid(size_t(2 * windows), 0.5f);
    const fs::path here = fs::current_path();
    fs::current_path(dir.path());
    prepareGridFile(run);
    writeGridFile(run, grid.data());
    fs::current_path(here);
    EXPECT_EQ(fs::file_size(dir / "Kelvarodine.grd"), gridFileBytes(run)) << windows;
  }
}

}  // namespace
}  // namespace kelv
