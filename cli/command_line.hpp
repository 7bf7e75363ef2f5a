// The options every program of the package answers: --help and --version, alone on
// the command line. The version is the project's (KELV_VERSION, set by CMake).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#ifndef KELV_VERSION
#error "KELV_VERSION must be defined (link the target with kelv_command_line)"
#endif

namespace kelv::cli {

// Writes text on standard output; a failed write (a full disk, say) gives status 1.
inline int printText(const char* program, const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: cannot write to standard output\n", program);
    return 1;
  }
  return 0;
}

// When the only argument is --help or --version: writes the help text or the line
// "PROGRAM VERSION" and returns the exit status. Otherwise writes nothing and
// returns -1.
inline int standardOption(int argc, char** argv, const char* program, const char* help) {
  if (argc != 2) return -1;
  const std::string_view arg = argv[1];
  if (arg == "--help") return printText(program, help);
  if (arg == "--version") return printText(program, std::string(program) + " " KELV_VERSION "\n");
  return -1;
}

// A one-line usage error on standard error; returns its exit status, 2.
inline int usageError(const char* program, const std::string& problem, const char* usage) {
  std::fprintf(stderr, "%s: %s; usage: %s\n", program, problem.c_str(), usage);
  return 2;
}

}  // namespace kelv::cli
