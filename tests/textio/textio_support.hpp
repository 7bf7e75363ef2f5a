// Helpers for the text layer's tests: capturing console output in-process, and
// running a piece of code in a forked child with its own standard streams.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

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
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    textio_internal::resetConsoleOutput(1, mode);
    textio_internal::resetConsoleInput(0);
    closeFile();
    body();
    endRun();
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  RunResult r;
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    std::vector<pollfd> fds;
    if (outOpen) fds.push_back({out[0], POLLIN, 0});
    if (errOpen) fds.push_back({err[0], POLLIN, 0});
    if (inFd >= 0) fds.push_back({inFd, POLLOUT, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    for (const auto& p : fds) {
      if (!p.revents) continue;
      if (p.fd == inFd) {
        const ssize_t n = write(inFd, input.data() + written, input.size() - written);
        if (n > 0) written += size_t(n);
        if (n < 0 || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buf[65536];
      const ssize_t n = read(p.fd, buf, sizeof buf);
      if (n <= 0) {
        close(p.fd);
        (p.fd == out[0] ? outOpen : errOpen) = false;
      } else {
        (p.fd == out[0] ? r.out : r.err).append(buf, size_t(n));
      }
    }
  }
  if (inFd >= 0) close(inFd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.termSignal = WTERMSIG(status);
  return r;
}

// The first line of a text, without its line feed.
inline std::string firstLine(const std::string& s) {
  return s.substr(0, s.find('\n'));
}

}  // namespace kelv::testing
