// The command line without questions: options in place of the dialogue's answers,
// input files in place of "list", progress and reports for a log.
#pragma once

#include <string_view>
#include <vector>

namespace kelv::cli {

// The program's usage line and help text, for both of its forms.
extern const char* const kUsage;
extern const char* const kHelp;

// Runs the command line (the arguments after the program's name) and returns the
// exit status: 0 when the grid holds values, 2 for a usage error, 3 when every node
// is blank; an input that cannot be read gives its error number (29, 9, 30, 39) or
// 65 when its content cannot be taken.
int runBatch(const std::vector<std::string_view>& args);

}  // namespace kelv::cli
