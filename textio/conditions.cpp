// Run-time conditions and the endings of a run: the report line and traceback, the
// plain stop, the normal end, console interrupts, start-up and array sizes.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <cfenv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "textio/textio.hpp"
#include "textio/units.hpp"

namespace kelv {

namespace textio_internal {
bool terminating = false;
}  // namespace textio_internal

using namespace textio_internal;

namespace {

constexpr const char* kPrefix = "kelvarodine";

const char* severityWord(uint32_t condition) {
  switch (condition >> 30) {
    case 1:
      return "info";
    case 2:
      return "error";
    case 3:
      return "severe";
    default:
      return "unknown";
  }
}

// Message text of an error number; I/O messages take the unit and the file name.
const char* messageText(int32_t number, bool& withUnit) {
  withUnit = true;
  switch (number) {
    case kErrEndOfFile:
      return "end-of-file during read";
    case kErrFileNotFound:
      return "file not found";
    case kErrOpenFailure:
      return "open failure";
    case kErrPermission:
      return "permission to access file denied";
    case kErrFileName:
      return "file name specification error";
    case kErrWrite:
      return "error during write";
    case kErrRead:
      return "error during read";
    case kErrSyntax:
      return "list-directed I/O syntax error";
    case kErrConversion:
      return "input conversion error";
    default:
      break;
  }
  withUnit = false;
  switch (number) {
    case kErrNoMemory:
      return "insufficient virtual memory";
    case kErrArraySize:
      return "Cannot allocate array - overflow on array size calculation.";
    case kErrAlreadyAllocated:
      return "allocatable array is already allocated";
    case kErrNotAllocated:
      return "allocatable array or pointer is not allocated";
    default:
      return nullptr;
  }
}

void writeErr(const char* text, std::size_t n) {
  (void)writeAll(2, text, n);
}

// Copies `text` into `out` (room for `size` bytes, not terminated) with every
// control character written as a C escape, so that a file name cannot move the
// terminal's cursor or change its state. Returns the bytes written; a text that
// does not fit is cut at a character.
std::size_t escapeControls(std::string_view text, char* out, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t n = 0;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    char esc[4];
    std::size_t len = 0;
    if (c >= 0x20 && c != 0x7F) {
      esc[len++] = ch;
    } else {
      esc[len++] = '\\';
      switch (c) {
        case '\t':
          esc[len++] = 't';
          break;
        case '\n':
          esc[len++] = 'n';
          break;
        case '\r':
          esc[len++] = 'r';
          break;
        default:
          esc[len++] = 'x';
          esc[len++] = kHex[c >> 4];
          esc[len++] = kHex[c & 0xF];
          break;
      }
    }
    if (n + len > size) break;
    std::memcpy(out + n, esc, len);
    n += len;
  }
  return n;
}

// Built without allocation: the report may be that memory is exhausted.
void writeReportLine(uint32_t condition, int32_t unit, std::string_view file) {
  const int32_t number = static_cast<int32_t>(condition & 0xFFFFu);
  char line[4608];
  char name[4096];
  const int fileLen = static_cast<int>(escapeControls(file, name, sizeof name));
  file = std::string_view(name, static_cast<std::size_t>(fileLen));
  const char* severity = severityWord(condition);
  bool withUnit = false;
  const char* text = messageText(number, withUnit);
  int n;
  if (number == kErrInterrupt)
    n = std::snprintf(line, sizeof line, "%s: %s (%d): program aborting due to %.*s event", kPrefix,
                      severity, static_cast<int>(number), fileLen, fileLen ? file.data() : "");
  else if (text && withUnit)
    n = std::snprintf(line, sizeof line, "%s: %s (%d): %s, unit %d, file %.*s", kPrefix, severity,
                      static_cast<int>(number), text, static_cast<int>(unit), fileLen,
                      fileLen ? file.data() : "");
  else
    n = std::snprintf(line, sizeof line, "%s: %s (%d): %s", kPrefix, severity,
                      static_cast<int>(number), text ? text : "run-time error");
  if (n < 0) return;
  if (static_cast<std::size_t>(n) >= sizeof line) n = static_cast<int>(sizeof line) - 1;
  line[n++] = '\n';
  writeErr(line, static_cast<std::size_t>(n));
}

// Not inlined, so that skipping its own frame starts the traceback at the caller.
__attribute__((noinline)) void writeTraceback() {
  char line[1024];
  int n = std::snprintf(line, sizeof line, "%-24s %-18s %-40s %-8s %s\n", "Image", "PC", "Routine",
                        "Line", "Source");
  writeErr(line, static_cast<std::size_t>(n));
  void* frames[128];
  const int count = ::backtrace(frames, 128);
  for (int i = 1; i < count; ++i) {
    Dl_info info{};
    const char* image = "Unknown";
    const char* routine = "Unknown";
    char* demangled = nullptr;
    if (::dladdr(frames[i], &info) != 0) {
      if (info.dli_fname && *info.dli_fname) {
        image = info.dli_fname;
        if (const char* slash = std::strrchr(image, '/')) image = slash + 1;
      }
      if (info.dli_sname) {
        int status = 0;
        demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        routine = status == 0 && demangled ? demangled : info.dli_sname;
      }
    }
    char pc[32];
    std::snprintf(pc, sizeof pc, "%016llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(frames[i])));
    n = std::snprintf(line, sizeof line, "%-24s %-18s %-40s %-8s %s\n", image, pc, routine,
                      "Unknown", "Unknown");
    if (n > 0) {
      if (static_cast<std::size_t>(n) >= sizeof line) {
        n = static_cast<int>(sizeof line) - 1;
        line[n - 1] = '\n';
      }
      writeErr(line, static_cast<std::size_t>(n));
    }
    std::free(demangled);
  }
}

// ---------------------------------------------------------------- interrupts

// Report lines are prepared in full so that the handler only writes and exits.
constexpr char kInterruptC[] =
    "kelvarodine: error (200): program aborting due to control-C event\n";
constexpr char kInterruptBreak[] =
    "kelvarodine: error (200): program aborting due to control-BREAK event\n";
constexpr char kInterruptClose[] =
    "kelvarodine: error (200): program aborting due to window-CLOSE event\n";

// The thread that runs the main program: interrupts are reported there, so that
// the report follows the last console line whole.
pthread_t mainThread;

extern "C" void onInterrupt(int signo) {
  if (::gettid() != ::getpid()) {
    pthread_kill(mainThread, signo);
    return;
  }
  const char* text = kInterruptC;
  std::size_t n = sizeof kInterruptC - 1;
  if (signo == SIGQUIT) {
    text = kInterruptBreak;
    n = sizeof kInterruptBreak - 1;
  } else if (signo == SIGHUP || signo == SIGTERM) {
    text = kInterruptClose;
    n = sizeof kInterruptClose - 1;
  }
  if (lineFeedPending) {
    lineFeedPending = 0;
    (void)writeAll(consoleOutputFd, "\n", 1);
  }
  (void)writeAll(2, text, n);
  removeReplacementTemporaryFromHandler();
  _exit(128 + signo);
}

// Any other signal that ends the process: the temporary file goes first, then the
// signal, its handler reset on entry, takes its usual effect.
extern "C" void onEndingSignal(int signo) {
  removeReplacementTemporaryFromHandler();
  raise(signo);
}

void onNoMemory() {
  fatalError(kErrNoMemory);
}

}  // namespace

void reportCondition(uint32_t condition, int32_t unit, std::string_view file) {
  const bool severe = (condition >> 30) == 3;
  if (severe) {
    if (terminating) _exit(static_cast<int>(condition & 0xFFu));
    terminating = true;
  }
  writePendingLineFeed(true);
  writeReportLine(condition, unit, file);
  if (!severe) return;
  writeTraceback();
  closeAllUnits();
  _exit(static_cast<int>(condition & 0xFFu));
}

void fatalError(int32_t number, int32_t unit, std::string_view file) {
  reportCondition(conditionValue(Severity::severe, number), unit, file);
  _exit(number & 0xFF);  // not reached
}

void closeAllUnits() {
  const bool wasTerminating = terminating;
  terminating = true;
  writePendingLineFeed(true);
  abandonFileChannel();
  terminating = wasTerminating;
}

void stopRun() {
  OutputUnit& unit = consoleOutput();
  // Plain mode: the text alone; control mode: a blank control character first.
  static constexpr Field kStopText[] = {literal(" Stop - Program terminated.")};
  static constexpr Field kStopPlain[] = {literal("Stop - Program terminated.")};
  const bool control = [&] {
    beginFreeFormatWrite(unit);  // opens the console and fixes its mode
    return unit.controlMode;
  }();
  if (control)
    formattedWrite(unit, kStopText, {}, {});
  else
    formattedWrite(unit, kStopPlain, {}, {});
  closeAllUnits();
  // A stopped run produced no grid: it must not report success.
  std::exit(1);
}

void endRun() {
  closeAllUnits();
  std::exit(0);
}

void startUp() {
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGQUIT);
  sigaddset(&sa.sa_mask, SIGHUP);
  sigaddset(&sa.sa_mask, SIGTERM);
  sa.sa_flags = 0;
  mainThread = pthread_self();
  // A termination request ends the run as the closing of its console does. A signal
  // the parent ignores stays ignored, as the shell arranges for `nohup` and for
  // background jobs: the run must survive the logout or the Ctrl-C it was shielded
  // from.
  for (int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &sa, nullptr);
  }
  // A closed standard output then fails a write (error 38) instead of killing, and
  // so does a write beyond the file size limit.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  // Signals whose usual effect ends the process, unless the caller ignores them.
  // Faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE) are left to the sanitizers and the
  // debugger; an unnamed replacement file needs no handler to vanish.
  struct sigaction ending {};
  ending.sa_handler = onEndingSignal;
  sigemptyset(&ending.sa_mask);
  ending.sa_flags = SA_RESETHAND | SA_NODEFER;
  const auto takeOver = [&ending](int s) {
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
      sigaction(s, &ending, nullptr);
  };
  for (int s : {SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU,
                SIGSYS, SIGABRT})
    takeOver(s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) takeOver(s);

  std::feclearexcept(FE_ALL_EXCEPT);
  fedisableexcept(FE_ALL_EXCEPT);
  std::fesetround(FE_TONEAREST);

  std::set_new_handler(onNoMemory);

  // The unwinder loads its support library at first use; do that now, while
  // memory is still there.
  void* frames[4];
  (void)::backtrace(frames, 4);
}

// ---------------------------------------------------------------- arrays

std::size_t arraySize(std::initializer_list<int64_t> extents, std::size_t elementSize) {
  for (int64_t e : extents)
    if (e <= 0) return 0;
  std::size_t count = 1;
  for (int64_t e : extents) {
    const uint64_t extent = static_cast<uint64_t>(e);
    if (extent > SIZE_MAX ||
        __builtin_mul_overflow(count, static_cast<std::size_t>(extent), &count))
      fatalError(kErrArraySize);
  }
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, elementSize, &bytes) ||
      bytes > static_cast<std::size_t>(PTRDIFF_MAX))
    fatalError(kErrArraySize);
  return count;
}

}  // namespace kelv
