// Program entry: the command line, start-up, the main program, the normal end.
#include <string>
#include <string_view>
#include <vector>

#include "cli/batch.hpp"
#include "cli/command_line.hpp"
#include "console/analysis.hpp"
#include "console/kelvarodine.hpp"
#include "textio/textio.hpp"

int main(int argc, char** argv) {
  // Without arguments, or with --null alone, the dialogue; --help and --version
  // alone answer at once; any other command line runs without questions.
  const bool nullLevel = argc == 2 && std::string_view(argv[1]) == "--null";
  if (argc > 1 && !nullLevel) {
    const int status = kelv::cli::standardOption(argc, argv, "kelvarodine", kelv::cli::kHelp);
    if (status >= 0) return status;
    return kelv::cli::runBatch(std::vector<std::string_view>(argv + 1, argv + argc));
  }
  kelv::startUp();
  kelv::KELVARODINE(nullLevel || kelv::nullLevelRequested());
  kelv::endRun();
}
