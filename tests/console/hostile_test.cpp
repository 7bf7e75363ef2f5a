// The real executable among what other programs and other users leave around it:
// links planted in a shared directory, signals its parent shields it from.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "support/run_program.hpp"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::RunResult;
using testing::TempDir;
using testing::writeFile;

const std::string kEarlier = "DSAA\r\nan earlier grid\r\n";

// Two channels of 300 samples; with the answers below, 8 windows.
void writeSeries(const fs::path& dir) {
  std::string a, b;
  char buf[64];
  for (int k = 1; k <= 300; ++k) {
    std::snprintf(buf, sizeof buf, "%d\n", (k * 37) % 101 - 50);
    a += buf;
    std::snprintf(buf, sizeof buf, "%d\n", (k * 53 + k / 7) % 89 - 44);
    b += buf;
  }
  writeFile(dir / "a.dat", a);
  writeFile(dir / "b.dat", b);
  writeFile(dir / "list", "a.dat\nb.dat\n");
}
const std::string kFirstAnswers = "0\n64\n32\n2\n";
const std::string kAnswers = kFirstAnswers + "0 1\n";

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string firstLine(const std::string& s) {
  return s.substr(0, s.find('\n'));
}

bool protectedSymlinks() {
  std::FILE* f = std::fopen("/proc/sys/fs/protected_symlinks", "r");
  if (!f) return false;
  int value = 0;
  const bool read = std::fscanf(f, "%d", &value) == 1;
  std::fclose(f);
  return read && value != 0;
}

// Before: the link's text was resolved in user space (realpath) and the grid renamed
// over whatever it named, so a root run in a shared /tmp replaced another user's
// choice of file, which the kernel itself refuses to open through that link.
TEST(HostileLinks, AnotherUsersLinkInAStickyDirectoryIsRefusedAsTheKernelRefusesIt) {
  if (!protectedSymlinks())
    GTEST_SKIP() << "fs.protected_symlinks is 0: the kernel follows such links";
  if (geteuid() != 0) GTEST_SKIP() << "a link of another user can only be made as root";
  TempDir shared, elsewhere;
  ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
  writeSeries(shared.path());
  const fs::path victim = elsewhere / "victim";
  for (const char* name : {"Kelvarodine.grd", "Kelvarodine.null.grd"}) {
    SCOPED_TRACE(name);
    writeFile(victim, kEarlier);
    const fs::path link = shared / name;
    fs::create_symlink(victim, link);
    ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
    const auto before = entries(shared.path());
    const RunResult r =
        testing::runProgram({testing::consoleProgram(), "--null"}, kAnswers, shared.path());
    EXPECT_EQ(r.exitCode, 9) << r.err;
    EXPECT_EQ(firstLine(r.err), std::string("kelvarodine: severe (9): permission to access file "
                                            "denied, unit 1, file ") +
                                    name);
    EXPECT_EQ(readFile(victim), kEarlier);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(entries(elsewhere.path()), std::set<std::string>{"victim"});
    // The main grid, refused, was not written; the companion is refused after it.
    auto expected = before;
    if (std::string(name) == "Kelvarodine.null.grd") expected.insert("Kelvarodine.grd");
    EXPECT_EQ(entries(shared.path()), expected);
    for (const char* made : {"Kelvarodine.grd", "Kelvarodine.null.grd"}) fs::remove(shared / made);
  }
  // A link of the directory's owner is followed, as the kernel follows it.
  writeFile(victim, kEarlier);
  fs::create_symlink(victim, shared / "Kelvarodine.grd");
  const RunResult r = testing::runProgram({testing::consoleProgram()}, kAnswers, shared.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(victim).substr(0, 6), "DSAA\r\n");
  EXPECT_TRUE(fs::is_symlink(shared / "Kelvarodine.grd"));
}

// Runs the program with `signo` ignored, as `nohup` or a shell starting a background
// job leaves it, and sends it `signo` while it waits for its last answer.
RunResult runShielded(const fs::path& work, int signo) {
  TempDir fifoDir;
  const fs::path fifo = fifoDir / "answers";
  if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  const int fd = open(fifo.c_str(), O_RDWR);
  if (write(fd, kFirstAnswers.data(), kFirstAnswers.size()) != ssize_t(kFirstAnswers.size()))
    throw std::runtime_error("write failed");
  const std::string exe = testing::consoleProgram();
  bool sent = false;
  const RunResult r = testing::runInChild(
      [&] {
        close(fd);
        if (chdir(work.c_str()) != 0) _exit(127);
        const int in = open(fifo.c_str(), O_RDONLY);
        if (in < 0) _exit(127);
        dup2(in, 0);
        close(in);
        signal(signo, SIG_IGN);
        execl(exe.c_str(), exe.c_str(), nullptr);
      },
      "",
      [&](pid_t pid, const RunResult& soFar) {
        if (!sent && soFar.out.find("Tini, Tstep=?") != std::string::npos) {
          sent = true;
          kill(pid, signo);
          (void)!write(fd, "0 1\n", 4);
        }
      });
  close(fd);
  if (!sent) throw std::runtime_error("the last question never came");
  return r;
}

// Before: the program put its own handlers on every console signal, so `nohup` runs
// died at logout and background jobs at the Ctrl-C of the foreground.
TEST(IgnoredSignals, ASignalTheParentIgnoresStaysIgnored) {
  TempDir dir;
  writeSeries(dir.path());
  const RunResult plain = testing::runProgram({testing::consoleProgram()}, kAnswers, dir.path());
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  const std::string grid = readFile(dir / "Kelvarodine.grd");
  for (const int signo : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    SCOPED_TRACE(strsignal(signo));
    fs::remove(dir / "Kelvarodine.grd");
    const RunResult r = runShielded(dir.path(), signo);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(readFile(dir / "Kelvarodine.grd"), grid);
  }
}

// Before: a byte-order mark at the start of "list" made its first file "not found",
// at the start of a series its first sample ended it, and at the start of the piped
// answers every answer landed one question late.
TEST(ByteOrderMark, FilesAndAnswersThatStartWithAMarkReadAsWithout) {
  TempDir plainDir, markedDir;
  writeSeries(plainDir.path());
  writeSeries(markedDir.path());
  const std::string mark = "\xEF\xBB\xBF";
  for (const char* name : {"list", "a.dat", "b.dat"})
    writeFile(markedDir / name, mark + readFile(markedDir / name));
  const RunResult plain =
      testing::runProgram({testing::consoleProgram()}, kAnswers, plainDir.path());
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  const RunResult marked =
      testing::runProgram({testing::consoleProgram()}, mark + kAnswers, markedDir.path());
  EXPECT_EQ(marked.exitCode, 0) << marked.err;
  EXPECT_EQ(marked.out, plain.out);
  EXPECT_EQ(readFile(markedDir / "Kelvarodine.grd"), readFile(plainDir / "Kelvarodine.grd"));
}

}  // namespace
}  // namespace kelv
