// peak_rss: runs a command and reports its wall time and peak resident memory.
//
//   peak_rss REPORT COMMAND [ARGUMENTS...]
//
// The command inherits standard input, output and error. When it has ended, the
// file REPORT receives one line: wall seconds, the child's maximum resident set size
// in KiB (ru_maxrss from wait4) and its exit status. peak_rss exits with that status
// (128 + the signal number when a signal ended the command, 127 when it could not
// be started).
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: peak_rss REPORT COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  const char* reportPath = argv[1];
  std::fflush(nullptr);

  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("peak_rss: fork");
    return 127;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "peak_rss: cannot run %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }

  int wstatus = 0;
  struct rusage usage {};
  pid_t waited;
  do waited = wait4(child, &wstatus, 0, &usage);
  while (waited < 0 && errno == EINTR);
  const auto stop = std::chrono::steady_clock::now();
  if (waited < 0) {
    std::perror("peak_rss: wait4");
    return 127;
  }

  const int status = WIFEXITED(wstatus)     ? WEXITSTATUS(wstatus)
                     : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus)
                                            : 127;
  const double seconds = std::chrono::duration<double>(stop - start).count();
  std::FILE* report = std::fopen(reportPath, "w");
  if (!report) {
    std::fprintf(stderr, "peak_rss: cannot write %s: %s\n", reportPath, std::strerror(errno));
    return 127;
  }
  std::fprintf(report, "%.6f %ld %d\n", seconds, static_cast<long>(usage.ru_maxrss), status);
  if (std::fclose(report) != 0) return 127;
  return status;
}
