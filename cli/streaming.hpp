// A command-line run whose memory is bounded by the window rather than the record:
// the series of a list are read twice, once to count them and find their gaps, and
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

// Whether the options allow a streamed run: a list input (no INPUT files), a DSAA
// output, no --null (it needs the whole record) and no --channels.
bool streamable(const BatchOptions& options, std::string_view outputExtension);

// Analyses every window of the plan, reading the samples of consecutive blocks of
// windows from the list's series, and writes the grid's DSAA file into the
// replacement file opened for it (prepareGridFile), then puts it in place. The
// progress is called as analyseWindows calls it. Returns the number of blank nodes.
// Throws InputError when a series no longer gives the samples counted, MemoryError
// as analyseWindows does.
int64_t analyseStreamed(const Plan& plan, const ScannedList& list, const Options& options,
                        const std::string& output);

}  // namespace kelv::cli
