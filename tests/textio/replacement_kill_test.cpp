// A kill at each system call that puts the replacement in place: the process is
// ended by the kernel the moment it makes the call (a seccomp filter), as SIGKILL
// would end it there, with no handler run.
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <regex>
#include <vector>

#include "textio_support.hpp"

namespace kelv {
namespace {

constexpr int kNoFilter = 97;

// Ends the calling process the moment it makes one of `calls`; exits with kNoFilter
// where the kernel takes no filter.
void killAtSystemCalls(std::initializer_list<long> calls) {
#if defined(__x86_64__)
  std::vector<sock_filter> f;
  f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
  f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (const long nr : calls) {
    f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1));
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
  }
  f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(f.size()), f.data()};
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0)
    return;
#else
  (void)calls;
#endif
  _exit(kNoFilter);
}

std::vector<std::string> directoryEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void writeRows(int rows) {
  for (int i = 0; i < rows; ++i) {
    beginFreeFormatWrite(fileOutput());
    for (int k = 0; k < 8; ++k) writeItem(fileOutput(), float(i * 8 + k) * 0.5f);
    endWrite(fileOutput());
  }
}

// Before: the manual promised that no kill leaves anything beside the grid, but the
// complete replacement is named Kelvarodine.grd.tmp.PID.N for the one system call
// that renames it over an earlier grid. Only a kill there leaves it, and whole.
TEST(ReplacementFile, AKillLeavesANameBesideTheGridOnlyAtTheFinalRename) {
  testing::TempDir dir;
  const std::filesystem::path grid = dir / "Kelvarodine.grd";
  const std::string earlier = "DSAA\r\nan earlier grid\r\n";
  const auto replace = [&](bool unnamed, std::initializer_list<long> killAt) {
    return testing::runChild([&] {
      textio_internal::unnamedTemporaries = unnamed;
      openReplacement(grid.string(), 1 << 16);
      writeRows(100);
      killAtSystemCalls(killAt);
      commitFile();
    });
  };
  ASSERT_EQ(replace(true, {}).exitCode, 0);
  const std::string complete = testing::readFile(grid);
  const std::initializer_list<long> renames = {SYS_rename, SYS_renameat, SYS_renameat2};
  const std::initializer_list<long> naming = {SYS_link, SYS_linkat, SYS_rename, SYS_renameat,
                                              SYS_renameat2};

  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    // With no earlier grid the unnamed file takes the grid's name in one step: a
    // kill at it leaves nothing.
    std::filesystem::remove(grid);
    testing::RunResult r = replace(unnamed, naming);
    if (r.exitCode == kNoFilter) GTEST_SKIP() << "no seccomp filter can be installed here";
    EXPECT_EQ(r.termSignal, SIGSYS);
    if (unnamed) {
      EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{});
    }
    // (A named temporary file, made at the start, is left by any kill.)
    for (const std::string& name : directoryEntries(dir.path()))
      std::filesystem::remove(dir / name);

    // With an earlier grid: a kill at the link leaves nothing but the earlier grid,
    // one at the final rename the complete new grid under the temporary name.
    testing::writeFile(grid, earlier);
    if (unnamed) {
      r = replace(unnamed, {SYS_link, SYS_linkat});
      EXPECT_EQ(r.termSignal, SIGSYS);
      EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"Kelvarodine.grd"});
    }
    r = replace(unnamed, renames);
    EXPECT_EQ(r.termSignal, SIGSYS);
    EXPECT_EQ(testing::readFile(grid), earlier);
    const std::vector<std::string> names = directoryEntries(dir.path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(std::regex_match(names[1], std::regex(unnamed ? R"(Kelvarodine\.grd\.tmp\.\d+\.0)"
                                                              : R"(Kelvarodine\.grd\.tmp\.\d+)")))
        << names[1];
    EXPECT_EQ(testing::readFile(dir / names[1]), complete);
    std::filesystem::remove(dir / names[1]);
  }
}

}  // namespace
}  // namespace kelv
