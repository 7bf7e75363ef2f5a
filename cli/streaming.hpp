// A command-line run whose memory is bounded by the window rather than the record:
// the inputs are read twice, once to count their samples and find their gaps, and
// then block by block as the windows need them; the grid's columns go to an unnamed
// temporary file as they finish and are turned into the DSAA rows at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "cli/sample_source.hpp"
#include "kelvarodine/analysis.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv::cli {

// Whether the options allow a streamed run: a DSAA output, no --null (it needs the
// whole record) and no --channels. The inputs must be regular files as well
// (scanInputs).
bool streamable(const BatchOptions& options, std::string_view outputExtension);

// Analyses every window of the plan, reading the samples of consecutive blocks of
// windows from the scanned input's files, and writes the grid's DSAA file into the
// replacement file opened for it (prepareGridFile), then puts it in place. The
// progress is called as analyseWindows calls it. Returns the number of blank nodes.
// Throws InputError when a file no longer gives the samples counted, MemoryError
// as analyseWindows does.
int64_t analyseStreamed(const Plan& plan, const ScannedInput& input, const Options& options,
                        const std::string& output);

}  // namespace kelv::cli
