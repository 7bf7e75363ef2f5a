// The endings of a run, observed from outside: reports, tracebacks, exit statuses,
// interrupts, the replacement file, and the console's control mode on a real
// terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <new>

#include "textio_support.hpp"

namespace kelv {
namespace {

using testing::ConsoleMode;
using testing::firstLine;
using testing::runChild;

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t lf; (lf = s.find('\n', start)) != std::string::npos; start = lf + 1)
    out.push_back(s.substr(start, lf - start));
  if (start < s.size()) out.push_back(s.substr(start));
  return out;
}

std::vector<std::string> directoryEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FatalError, ReportTracebackAndExitStatus) {
  testing::TempDir dir;
  const auto r = runChild(
      [&] {
        if (chdir(dir.path().c_str()) != 0) _exit(99);
        writeConsoleLine("Number of series to process =");
        if (openForReading("a.dat", false) == 0) writeConsoleLine("opened?");
      },
      {}, ConsoleMode::control);
  EXPECT_EQ(r.exitCode, kErrFileNotFound);
  // The owed line feed ends the console line before the report.
  EXPECT_EQ(r.out, "Number of series to process =\r\n");
  const auto err = lines(r.err);
  ASSERT_GE(err.size(), 3u);
  EXPECT_EQ(err[0], "kelvarodine: severe (29): file not found, unit 1, file a.dat");
  for (const char* title : {"Image", "PC", "Routine", "Line", "Source"})
    EXPECT_NE(err[1].find(title), std::string::npos) << title;
  EXPECT_LT(err[1].find("Image"), err[1].find("PC"));
  EXPECT_LT(err[1].find("Routine"), err[1].find("Source"));
  // Innermost frame first; names demangled from the exported symbols.
  size_t fatalAt = 0, openAt = 0;
  for (size_t i = 2; i < err.size(); ++i) {
    if (!fatalAt && err[i].find("kelv::fatalError(") != std::string::npos) fatalAt = i;
    if (!openAt && err[i].find("kelv::openForReading(") != std::string::npos) openAt = i;
  }
  EXPECT_GT(fatalAt, 0u) << r.err;
  EXPECT_GT(openAt, fatalAt) << r.err;
}

TEST(FatalError, EveryMessageOfTheTable) {
  const struct {
    int32_t number;
    int32_t unit;
    const char* file;
    const char* line;
  } cases[] = {
      {24, -4, "stdin", "kelvarodine: severe (24): end-of-file during read, unit -4, file stdin"},
      {30, 1, "list", "kelvarodine: severe (30): open failure, unit 1, file list"},
      {9, 1, "list",
       "kelvarodine: severe (9): permission to access file denied, unit 1, file list"},
      {43, 1, "", "kelvarodine: severe (43): file name specification error, unit 1, file "},
      {38, -1, "stdout", "kelvarodine: severe (38): error during write, unit -1, file stdout"},
      {39, 1, "b.dat", "kelvarodine: severe (39): error during read, unit 1, file b.dat"},
      {59, 1, "b.dat",
       "kelvarodine: severe (59): list-directed I/O syntax error, unit 1, file b.dat"},
      {64, 1, "b.dat", "kelvarodine: severe (64): input conversion error, unit 1, file b.dat"},
      {41, 0, "", "kelvarodine: severe (41): insufficient virtual memory"},
      {179, 0, "",
       "kelvarodine: severe (179): Cannot allocate array - overflow on array size calculation."},
      {151, 0, "", "kelvarodine: severe (151): allocatable array is already allocated"},
      {153, 0, "", "kelvarodine: severe (153): allocatable array or pointer is not allocated"},
  };
  for (const auto& c : cases) {
    const auto r = runChild([&] { fatalError(c.number, c.unit, c.file); });
    EXPECT_EQ(r.exitCode, c.number);
    EXPECT_EQ(firstLine(r.err), c.line);
    EXPECT_EQ(r.out, "");
  }
}

TEST(ReportCondition, InfoAndErrorReturn) {
  const auto r = runChild([] {
    reportCondition(conditionValue(Severity::info, kErrEndOfFile), -4, "stdin");
    writeConsoleLine("still running");
  });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "kelvarodine: info (24): end-of-file during read, unit -4, file stdin\n");
  EXPECT_EQ(r.out, " still running\r\n");
}

TEST(UnhandledReadConditions, EndTheRunWithTheirNumbers) {
  testing::TempDir dir;
  const struct {
    const char* content;
    bool integer;
    int status;
  } cases[] = {
      {"", false, kErrEndOfFile},        {"abc\n", false, kErrSyntax},
      {"1e99\n", false, kErrConversion}, {"2.5\n", true, kErrConversion},
      {"1x\n", true, kErrSyntax},        {"3000000000\n", true, kErrConversion},
  };
  for (const auto& c : cases) {
    testing::writeFile(dir / "b.dat", c.content);
    const std::string name = (dir / "b.dat").string();
    const auto r = runChild([&] {
      openForReading(name, false);
      int32_t i = 0;
      float f = 0;
      if (c.integer)
        freeFormatRead(fileInput(), {item(i)}, kHandleNone);
      else
        freeFormatRead(fileInput(), {item(f)}, kHandleNone);
    });
    EXPECT_EQ(r.exitCode, c.status) << c.content;
    EXPECT_NE(firstLine(r.err).find(", unit 1, file " + name), std::string::npos) << r.err;
  }
}

TEST(UnhandledReadConditions, ConsoleEndOfInputAndFailedDevice) {
  auto r = runChild(
      [] {
        writeConsoleLine("Do you want to come to incremental (diff.) series (0/1) ?");
        int32_t idiff = 0;
        freeFormatRead(consoleInput(), {item(idiff)}, kHandleError);
      },
      {}, ConsoleMode::control);
  EXPECT_EQ(r.exitCode, kErrEndOfFile);
  EXPECT_EQ(r.out, "Do you want to come to incremental (diff.) series (0/1) ?\r\n");
  EXPECT_EQ(firstLine(r.err),
            "kelvarodine: severe (24): end-of-file during read, unit -4, file stdin");

  // A closed standard input is the end of input, not a device failure.
  r = runChild([] {
    close(0);
    freeFormatRead(consoleInput(), {}, kHandleError);
  });
  EXPECT_EQ(r.exitCode, kErrEndOfFile);

  // Reading a directory fails at the device.
  r = runChild([] {
    textio_internal::resetConsoleInput(open("/", O_RDONLY | O_DIRECTORY));
    freeFormatRead(consoleInput(), {}, kHandleEnd);
  });
  EXPECT_EQ(r.exitCode, kErrRead);
  EXPECT_EQ(firstLine(r.err), "kelvarodine: severe (39): error during read, unit -4, file stdin");

  // Regression: a statement that handles read errors used to get a read error back
  // from a failed console, so a prompt asked again for ever (hundreds of megabytes
  // of prompts). A console that cannot be read ends the run.
  r = runChild([] {
    textio_internal::resetConsoleInput(open("/", O_RDONLY | O_DIRECTORY));
    int32_t idiff = 0;
    for (int i = 0; i < 3; ++i) freeFormatRead(consoleInput(), {item(idiff)}, kHandleError);
  });
  EXPECT_EQ(r.exitCode, kErrRead);
  EXPECT_EQ(firstLine(r.err), "kelvarodine: severe (39): error during read, unit -4, file stdin");
}

TEST(ConsoleRead, NonBlockingStandardInputIsWaitedFor) {
  const auto r = runChild(
      [] {
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        int32_t v = 0;
        freeFormatRead(consoleInput(), {item(v)}, kHandleNone);
        beginFreeFormatWrite(consoleOutput());
        writeItem(consoleOutput(), v);
        endWrite(consoleOutput());
      },
      "\n\n 42\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "          42\r\n");
}

TEST(ConsoleWrite, ClosedStandardOutputIsAWriteError) {
  const auto r = runChild([] {
    startUp();
    int p[2];
    if (pipe(p) != 0) _exit(99);
    close(p[0]);
    dup2(p[1], 1);
    writeConsoleLine("nobody reads this");
  });
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, kErrWrite);
  EXPECT_EQ(firstLine(r.err), "kelvarodine: severe (38): error during write, unit -1, file stdout");
}

TEST(Stops, PlainStopInBothModesAndNormalEnd) {
  auto r = runChild(
      [] {
        writeConsoleLine("Press <Enter> to terminate...");
        freeFormatRead(consoleInput(), {}, kHandleNone);
        stopRun();
      },
      "\n", ConsoleMode::plain);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, " Press <Enter> to terminate...\r\nStop - Program terminated.\r\n");
  EXPECT_EQ(r.err, "");

  r = runChild(
      [] {
        writeConsoleLine("Press <Enter> to terminate...");
        freeFormatRead(consoleInput(), {}, kHandleNone);
        stopRun();
      },
      "\n", ConsoleMode::control);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Press <Enter> to terminate...\r\nStop - Program terminated.\r\n");

  r = runChild(
      [] {
        writeConsoleLine("last");
        endRun();
      },
      {}, ConsoleMode::control);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "last\r\n");
  EXPECT_EQ(r.err, "");
}

constexpr Field kProgress[] = {literal("+"), literal("Processing interval # "), intField(10),
                               intField(10)};

TEST(Interrupts, ReportLineAndExitStatus) {
  const struct {
    int signo;
    const char* event;
  } cases[] = {{SIGINT, "control-C"},
               {SIGQUIT, "control-BREAK"},
               {SIGHUP, "window-CLOSE"},
               {SIGTERM, "window-CLOSE"}};
  for (const auto& c : cases) {
    const auto r = runChild(
        [&] {
          startUp();
          formattedWrite(consoleOutput(), kProgress, std::vector<int32_t>{3, 6}, {});
          raise(c.signo);
          writeConsoleLine("not reached");
        },
        {}, ConsoleMode::control);
    EXPECT_EQ(r.exitCode, 128 + c.signo);
    EXPECT_EQ(r.out, "Processing interval #          3         6\r\n");
    EXPECT_EQ(r.err, std::string("kelvarodine: error (200): program aborting due to ") + c.event +
                         " event\n");
  }
}

// ---------------------------------------------------------------- replacement file

const char* kOldGrid = "DSAA\r\n old grid\r\n";

void writeRows(int rows) {
  for (int i = 0; i < rows; ++i) {
    beginFreeFormatWrite(fileOutput());
    for (int k = 0; k < 8; ++k) writeItem(fileOutput(), float(i * 8 + k) * 0.5f);
    endWrite(fileOutput());
  }
}

TEST(ReplacementFile, CommitReplacesTheFileWhole) {
  testing::TempDir dir;
  const std::string name = (dir / "Kelvarodine.grd").string();
  testing::writeFile(name, std::string(100000, 'o'));
  const auto r = runChild([&] {
    openReplacement(name);
    formattedWrite(fileOutput(), std::vector<Field>{charField(4)}, {},
                   std::vector<std::string_view>{"DSAA"});
    writeRows(1);
    commitFile();
  });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(testing::readFile(name),
            "DSAA\r\n    0.000000E+00    5.000000E-01        1.000000        1.500000\r\n"
            "        2.000000        2.500000        3.000000        3.500000\r\n");
  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"Kelvarodine.grd"});
}

TEST(ReplacementFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
  testing::TempDir dir;
  const std::string name = (dir / "Kelvarodine.grd").string();
  testing::writeFile(name, kOldGrid);
  for (int rows : {10, 100000}) {  // failing at commit, and failing on the way
    const auto r = runChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{4096, 4096};
      setrlimit(RLIMIT_FSIZE, &limit);
      openReplacement(name);
      writeRows(rows);
      commitFile();
    });
    if (rows == 10) {
      EXPECT_EQ(r.exitCode, 0);  // 10 rows fit in the limit
      testing::writeFile(name, kOldGrid);
      continue;
    }
    EXPECT_EQ(r.exitCode, kErrWrite);
    EXPECT_EQ(firstLine(r.err),
              "kelvarodine: severe (38): error during write, unit 1, file " + name);
    EXPECT_EQ(testing::readFile(name), kOldGrid);
    EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"Kelvarodine.grd"});
  }
}

TEST(ReplacementFile, EveryOtherEndingDiscardsIt) {
  testing::TempDir dir;
  const std::string name = (dir / "Kelvarodine.grd").string();
  testing::writeFile(name, kOldGrid);
  const struct {
    const char* what;
    std::function<void()> end;
    bool needsUnnamed;  // nothing can remove a named file after this ending
  } endings[] = {
      {"fatal error", [] { fatalError(kErrNoMemory); }, false},
      {"stop", [] { stopRun(); }, false},
      {"normal end", [] { endRun(); }, false},
      {"close", [] { closeFile(); }, false},
      {"SIGINT", [] { raise(SIGINT); }, false},
      {"SIGTERM", [] { raise(SIGTERM); }, false},
      {"SIGALRM", [] { raise(SIGALRM); }, false},
      {"SIGUSR1", [] { raise(SIGUSR1); }, false},
      {"SIGABRT",
       [] {
         const rlimit noCore{0, 0};
         setrlimit(RLIMIT_CORE, &noCore);
         abort();
       },
       false},
      {"SIGKILL", [] { raise(SIGKILL); }, true},
  };
  for (const bool unnamed : {true, false})
    for (const auto& ending : endings) {
      if (ending.needsUnnamed && !unnamed) continue;
      SCOPED_TRACE(std::string(ending.what) + (unnamed ? ", unnamed" : ", named"));
      const auto r = runChild([&] {
        startUp();
        textio_internal::unnamedTemporaries = unnamed;
        openReplacement(name, 1 << 20);
        writeRows(5000);
        // The replacement has a name of its own only where it cannot do without.
        const auto seen = directoryEntries(dir.path());
        if (unnamed && seen.size() != 1) _exit(99);
        if (!unnamed && seen.size() != 2) _exit(98);
        ending.end();
      });
      EXPECT_NE(r.exitCode, 99) << "a named temporary file";
      EXPECT_NE(r.exitCode, 98) << "no named temporary file";
      EXPECT_EQ(testing::readFile(name), kOldGrid);
      EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"Kelvarodine.grd"});
    }
}

// Replacing through a temporary file must change an existing file the way a rewrite
// in place would: a symbolic link keeps pointing at its file, which gets the new
// content; the permissions stay; a directory of that name fails before writing.
TEST(ReplacementFile, ActsLikeARewriteOfTheExistingFile) {
  namespace fs = std::filesystem;
  testing::TempDir dir;
  const std::string name = (dir / "Kelvarodine.grd").string();
  const auto replace = [&] {
    return runChild([&] {
      openReplacement(name);
      writeRows(1);
      commitFile();
    });
  };

  fs::create_directory(dir / "keep");
  testing::writeFile(dir / "keep" / "real.grd", kOldGrid);
  fs::create_symlink("keep/real.grd", name);
  EXPECT_EQ(replace().exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(name));
  EXPECT_EQ(testing::readFile(dir / "keep" / "real.grd").substr(0, 16), "    0.000000E+00");
  EXPECT_EQ(directoryEntries(dir / "keep"), std::vector<std::string>{"real.grd"});
  fs::remove(name);

  testing::writeFile(name, kOldGrid);
  fs::permissions(name, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(replace().exitCode, 0);
  EXPECT_EQ(fs::status(name).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::remove(name);

  fs::create_directory(name);
  const auto r = replace();
  EXPECT_EQ(r.exitCode, kErrOpenFailure);
  EXPECT_EQ(firstLine(r.err), "kelvarodine: severe (30): open failure, unit 1, file " + name);
  EXPECT_EQ(directoryEntries(dir.path()), (std::vector<std::string>{"Kelvarodine.grd", "keep"}));
}

TEST(ReplacementFile, CannotBeCreated) {
  testing::TempDir dir;
  const std::string name = (dir / "no-such-dir" / "Kelvarodine.grd").string();
  const auto r = runChild([&] { openReplacement(name); });
  EXPECT_EQ(r.exitCode, kErrOpenFailure);
  EXPECT_EQ(firstLine(r.err), "kelvarodine: severe (30): open failure, unit 1, file " + name);
}

// ---------------------------------------------------------------- arrays and memory

TEST(ArraySize, ExtentsAndOverflow) {
  EXPECT_EQ(arraySize({3, 4}, sizeof(float)), 12u);
  EXPECT_EQ(arraySize({-5, 4}, sizeof(float)), 0u);
  EXPECT_EQ(arraySize({0, int64_t{1} << 62, int64_t{1} << 62}, 8), 0u);
  EXPECT_EQ(arraySize({int64_t{1} << 40, 1 << 20}, 4), size_t{1} << 60);
  EXPECT_EQ(arraySize({}, 4), 1u);
  auto a = createArray<float>({2, 3});
  a[5] = 1.0f;
  for (int k = 0; k < 3; ++k) {
    const auto r = runChild([k] {
      if (k == 0) (void)createArray<std::complex<float>>({int64_t{1} << 62, 4});
      if (k == 1) (void)createArray<std::complex<float>>({int64_t{1} << 32, int64_t{1} << 32});
      if (k == 2) (void)createArray<std::complex<float>>({INT64_MAX});
    });
    EXPECT_EQ(r.exitCode, kErrArraySize);
    EXPECT_EQ(firstLine(r.err),
              "kelvarodine: severe (179): Cannot allocate array - overflow on array size "
              "calculation.");
  }
}

TEST(StartUp, FailedAllocationIsFatalErrorFortyOne) {
  auto r = runChild([] {
    startUp();
    std::get_new_handler()();
  });
  EXPECT_EQ(r.exitCode, kErrNoMemory);
  EXPECT_EQ(firstLine(r.err), "kelvarodine: severe (41): insufficient virtual memory");
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's allocator reports failed allocations itself";
#else
  r = runChild([] {
    startUp();
    auto huge = createArray<float>({int64_t{1} << 40, int64_t{1} << 10});
    // Let the pointer escape: an optimiser may otherwise elide an unused allocation.
    asm volatile("" : : "r"(huge.get()) : "memory");
  });
  EXPECT_EQ(r.exitCode, kErrNoMemory);
  EXPECT_EQ(firstLine(r.err), "kelvarodine: severe (41): insufficient virtual memory");
#endif
}

TEST(StartUp, FloatingPointNeverTraps) {
  const auto r = runChild([] {
    startUp();
    volatile float zero = 0.0f, big = 3e38f;
    volatile float q = 1.0f / zero;
    volatile float nan = zero / zero;
    volatile float over = big * big;
    beginFreeFormatWrite(consoleOutput());
    writeItem(consoleOutput(), q);
    writeItem(consoleOutput(), nan);
    writeItem(consoleOutput(), over);
    endWrite(consoleOutput());
  });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "        Infinity             NaN        Infinity\r\n");
}

// ---------------------------------------------------------------- a real terminal

// Runs `body` on the slave side of a pseudo-terminal whose output is passed
// through unchanged, and returns the bytes and the exit status.
std::pair<std::string, int> runOnTerminal(const std::function<void()>& body,
                                          const std::string& typed = {}) {
  termios raw{};
  cfmakeraw(&raw);
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    textio_internal::resetConsoleOutput(1, ConsoleMode::automatic);
    textio_internal::resetConsoleInput(0);
    closeFile();
    body();
    endRun();
  }
  if (!typed.empty()) (void)write(master, typed.data(), typed.size());
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // EIO once the child has gone
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(Terminal, ControlCharacterModeWhenStandardOutputIsATerminal) {
  const auto [out, status] = runOnTerminal(
      [] {
        writeConsoleLine("Real number of samples to be processed =");
        formattedWrite(consoleOutput(), kProgress, std::vector<int32_t>{1, 2}, {});
        formattedWrite(consoleOutput(), kProgress, std::vector<int32_t>{2, 1}, {});
        writeConsoleLine("Press <Enter> to terminate...");
        freeFormatRead(consoleInput(), {}, kHandleNone);
        stopRun();
      },
      "\r\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out,
            "Real number of samples to be processed =\r"
            "Processing interval #          1         2\r"
            "Processing interval #          2         1\r"
            "\nPress <Enter> to terminate...\r"
            "\n"
            "Stop - Program terminated.\r"
            "\n");
}

}  // namespace
}  // namespace kelv
