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
#include "kelvarodine/analysis.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv::cli {

// The record of a list input, read once without its samples.
struct ScannedList {
  Record record;                   // names, warnings, common length; no data
  std::string listPath;            // where the series were named
  std::vector<std::string> paths;  // the series files, one per channel
  std::vector<Gap> gaps;           // as findGaps gives them for the record's samples
};

// Whether the options allow a streamed run: a list input (no INPUT files), a DSAA
// output, no --null (it needs the whole record) and no --channels.
bool streamable(const BatchOptions& options, std::string_view outputExtension);

// Reads a list input for a streamed run. Nothing when the list or one of its
// series is not a regular file (a pipe cannot be read twice): the list is then
// read, if at all, only to find that out, and from the start again by loadRecord.
// Throws InputError as loadRecord does.
std::optional<ScannedList> scanList(const BatchOptions& options);

// Analyses every window of the plan, reading the samples of consecutive blocks of
// windows from the list's series, and writes the grid's DSAA file into the
// replacement file opened for it (prepareGridFile), then puts it in place. The
// progress is called as analyseWindows calls it. Returns the number of blank nodes.
// Throws InputError when a series no longer gives the samples counted, MemoryError
// as analyseWindows does.
int64_t analyseStreamed(const Plan& plan, const ScannedList& list, const Options& options,
                        const std::string& output);

}  // namespace kelv::cli
