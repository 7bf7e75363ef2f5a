// The record a command line names: its input files side by side, or the series of
// a list file read as the dialogue reads them.
#pragma once

#include <string>

#include "cli/options.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv::cli {

// Reads the inputs of the options (without any, the list file, "list" by default);
// throws InputError for what cannot be read or taken.
Record loadRecord(const BatchOptions& options);

// The series of a list file, one channel each, read by the dialogue's rules; a
// series whose reading stops at a line it cannot read gives a warning. The common
// length is the shortest series.
Record readListRecord(const std::string& listPath);

}  // namespace kelv::cli
