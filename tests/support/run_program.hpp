// Runs a real executable for end-to-end tests: in a given directory, with text piped
// to its standard input, collecting standard output, standard error and the exit
// status. Also makes fresh temporary directories.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelv::testing {

struct RunResult {
  std::string out;
  std::string err;
  int exitCode = -1;   // when the process exited
  int termSignal = 0;  // when a signal ended it
};

// Directory where the build put the executables (set by CTest; falls back to the
// build tree's conventional layout relative to the test's working directory).
inline std::filesystem::path binaryDir() {
  if (const char* d = std::getenv("KELV_BINARY_DIR")) return d;
  return std::filesystem::current_path();
}

// A fresh, empty directory removed when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelv-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& p, const std::string& content) {
  std::ofstream f(p, std::ios::binary);
  f << content;
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

inline std::string readFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Called with the child's process id and the output collected so far, each time
// more output arrives (to signal the child at a chosen point, for example).
using OutputWatcher = std::function<void(pid_t, const RunResult&)>;

// Forks a child whose standard input receives `input` (then closed) and whose
// standard output and error are collected; the child runs `childBody`, which
// should end the process itself (returning from it exits with status 127).
inline RunResult runInChild(const std::function<void()>& childBody, const std::string& input,
                            const OutputWatcher& watch = {}) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    childBody();
    _exit(127);
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
        if (watch) watch(pid, r);
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

// Runs argv[0] with argv in `dir`; `input` goes to its standard input, which is then
// closed. Extra environment entries ("NAME=value") are added to the inherited ones.
inline RunResult runProgram(const std::vector<std::string>& argv, const std::string& input,
                            const std::filesystem::path& dir,
                            const std::vector<std::string>& extraEnv = {},
                            const OutputWatcher& watch = {}) {
  return runInChild(
      [&] {
        if (chdir(dir.c_str()) != 0) _exit(127);
        for (const auto& e : extraEnv) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
      },
      input, watch);
}

// The program kelvarodine of this build.
inline std::string consoleProgram() {
  return (binaryDir() / "console" / "kelvarodine").string();
}

// kelvarodine with `args` in `dir`, no standard input; a run that would wait for a
// pipe nobody writes any more ends after a minute.
inline RunResult runCommandLine(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), consoleProgram());
  args.insert(args.begin(), {"/usr/bin/timeout", "60"});
  return runProgram(args, "", dir.path());
}

}  // namespace kelv::testing
