// Helpers for the text layer's tests: capturing console output in-process, and
// running a piece of code in a forked child with its own standard streams.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "support/run_program.hpp"
#include "textio/textio.hpp"
#include "textio/units.hpp"

namespace kelv::testing {

using textio_internal::ConsoleMode;

// Console output redirected into an in-memory file for the object's lifetime.
class CapturedConsole {
 public:
  explicit CapturedConsole(ConsoleMode mode) {
    fd_ = memfd_create("console", 0);
    if (fd_ < 0) throw std::runtime_error("memfd_create failed");
    textio_internal::resetConsoleOutput(fd_, mode);
  }
  ~CapturedConsole() {
    textio_internal::resetConsoleOutput(1, ConsoleMode::automatic);
    close(fd_);
  }
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;

  std::string text() const {
    std::string s;
    char buf[4096];
    for (off_t off = 0;;) {
      const ssize_t n = pread(fd_, buf, sizeof buf, off);
      if (n <= 0) break;
      s.append(buf, size_t(n));
      off += n;
    }
    return s;
  }

 private:
  int fd_ = -1;
};

// Runs `body` in a forked child whose standard input holds `input` and whose
// standard output and error are collected; the console units are reconnected to
// them in `mode`. A body that returns ends the child with the normal end.
inline RunResult runChild(const std::function<void()>& body, const std::string& input = {},
                          ConsoleMode mode = ConsoleMode::plain) {
  return runInChild(
      [&] {
        textio_internal::resetConsoleOutput(1, mode);
        textio_internal::resetConsoleInput(0);
        closeFile();
        body();
        endRun();
      },
      input);
}

// The first line of a text, without its line feed.
inline std::string firstLine(const std::string& s) {
  return s.substr(0, s.find('\n'));
}

}  // namespace kelv::testing
