// Program entry: the command line, start-up, the main program, the normal end.
#include <string>
#include <string_view>

#include "cli/command_line.hpp"
#include "console/analysis.hpp"
#include "console/kelvarodine.hpp"
#include "textio/textio.hpp"

namespace {

constexpr const char* kName = "kelvarodine";
constexpr const char* kUsage = "kelvarodine [--null | --help | --version]";
constexpr const char* kHelp =
    "usage: kelvarodine [--null | --help | --version]\n"
    "\n"
    "Run without arguments in a directory holding the file \"list\" (one series file\n"
    "name per line, one line per channel, at least two) and the series files it names\n"
    "(one sample per line, at least 64 samples). The program then asks five questions\n"
    "on the console, one answer per line (they may be piped in):\n"
    "  1. analyse first differences? (0/1)\n"
    "  2. length of the time window, in samples\n"
    "  3. shift between the starts of consecutive windows\n"
    "  4. order of the autoregressive model (1 or more)\n"
    "  5. time of the first sample and time step (Tini Tstep)\n"
    "and writes the coherence measure of every window and frequency to the grid file\n"
    "\"Kelvarodine.grd\" (ASCII DSAA format) in that directory. OMP_NUM_THREADS sets\n"
    "the number of threads; the results do not depend on it.\n"
    "\n"
    "  --null     also estimate the level the measure reaches by chance (independent\n"
    "             channels, 99 simulated windows) and write its 95 % and 99 % quantiles\n"
    "             per frequency to \"Kelvarodine.null.grd\" (as KELVARODINE_NULL=1 does)\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Manual: man kelvarodine (the questions, the files, the grid, exit statuses).\n";

}  // namespace

int main(int argc, char** argv) {
  // The command line is settled before anything is read or written.
  const bool nullLevel = argc == 2 && std::string_view(argv[1]) == "--null";
  if (argc > 1 && !nullLevel) {
    const int status = kelv::cli::standardOption(argc, argv, kName, kHelp);
    if (status >= 0) return status;
    // "--help x" names x, "x --help" and "x" name x.
    const std::string_view first = argv[1];
    const char* unexpected = first == "--help" || first == "--version" ? argv[2] : argv[1];
    return kelv::cli::usageError(kName, "unexpected argument \"" + std::string(unexpected) + "\"",
                                 kUsage);
  }
  kelv::startUp();
  kelv::KELVARODINE(nullLevel || kelv::nullLevelRequested());
  kelv::endRun();
}
