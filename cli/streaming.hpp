// A command-line run whose memory is bounded by the window rather than the record:
// the samples are taken block by block as the windows need them (from the inputs
// read again, or from a record held by a caller that has it), and the grid's
// columns, the channels' coherences too, go to an unnamed temporary file as they
// finish; the grid files are made from it at the end. The null level's stretches are
// collected as the blocks of samples pass over them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/column_file.hpp"
#include "cli/options.hpp"
#include "kelvarodine/analysis.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

class NetcdfGrid;

// Whether the options allow a streamed run: a grid format written column block by
// column block. The inputs must be regular files as well (scanInputs).
bool streamable(std::string_view outputExtension);

// Where a streamed run takes its samples: samples first .. last of the record of
// every channel (first never decreasing from one call to the next, at most the
// capacity the caller gave its source).
using SampleHold = std::function<Samples(int64_t first, int64_t last)>;

// Windows a block of a streamed run analyses at once on `threads` threads, and the
// samples such a block holds.
int64_t streamedBlock(const Plan& plan, int32_t threads);
int64_t blockSamples(const Plan& plan, int64_t windows);

// Where the columns of a run that does not hold its grid go, as they finish: blocks
// of windows in any order and with any boundaries, each window once.
class ColumnSink {
 public:
  virtual ~ColumnSink() = default;
  // Whether the channels' coherences are asked for besides the measure.
  virtual bool channels() const = 0;
  // Windows first .. first + windows - 1: nfreq floats a window of the measure and,
  // with channels, nch x nfreq floats a window as Options::channelCoherences holds them.
  virtual void append(int64_t first, int64_t windows, const float* columns,
                      const float* coherences) = 0;
};

// The grid files of such a run: the columns kept in a ColumnFile, and for a netCDF
// output handed to its NetcdfGrid in window order as soon as a run of them from the
// first window on is complete.
class StreamedGrid final : public ColumnSink {
 public:
  // netcdf: the output's NetcdfGrid, or nullptr for DSAA files. slotWindows as
  // ColumnFile takes it.
  StreamedGrid(const Plan& plan, const std::string& output, NetcdfGrid* netcdf, bool channels,
               int64_t slotWindows = 0);
  bool channels() const override { return channels_; }
  void append(int64_t first, int64_t windows, const float* columns,
              const float* coherences) override;
  // Blank nodes of the measure.
  int64_t blank() const { return columns_.blank(); }
  // The measure's DSAA file into the replacement opened for it (prepareGridFile), put
  // in place; channel m's (from 1) into `file`, which the caller commits.
  void writeGrid(const GridAxes& axes, int32_t threads);
  void writeChannel(int32_t m, OutputUnit& file, const GridAxes& axes, int32_t threads);

 private:
  Plan plan_;
  bool channels_;
  NetcdfGrid* netcdf_;
  ColumnFile columns_;
  int64_t handed_ = 0;  // windows given to netcdf_
};

// Samples of every channel a process that shares the windows out of a record it holds
// sends another in one message each.
inline constexpr int64_t kSharedChunk = int64_t{1} << 16;

// The null level's stretches (nullStretchStart), copied from blocks of samples as
// they pass, in any order, piece by piece where a stretch spans two blocks.
class NullStretches {
 public:
  explicit NullStretches(const Plan& plan);
  // Copies what `held` holds of the stretches' samples.
  void take(const Samples& held);
  // The first sample still missing, 0 when every stretch is complete.
  int64_t missing() const;
  // The stretches' samples within record samples first .. last (stretch after
  // stretch, channel after channel, as many as sharedSamples counts), every one of
  // them taken before (std::logic_error otherwise), so that a process that read them
  // can hand them to another; place() puts them into the other's stretches.
  static int64_t sharedSamples(const Plan& plan, int64_t first, int64_t last);
  std::vector<float> within(int64_t first, int64_t last) const;
  void place(int64_t first, int64_t last, const float* values);
  // As nullLevelsOfStretches takes them.
  const float* data() const { return data_.data(); }

 private:
  Plan plan_;
  std::vector<float> data_;
  std::vector<char> copied_;  // per stretch and sample
};

// Analyses every window of the plan in blocks of `block` windows, the samples of each
// block from `hold`, the columns to `sink`; the stretches of `stretches`, when given,
// collected on the way (the samples after the last window's too). The progress is
// called as analyseWindows calls it. Throws InputError when a source no longer gives
// the samples counted, MemoryError as analyseWindows does.
void analyseStreamed(const Plan& plan, const SampleHold& hold, int64_t block,
                     const Options& options, ColumnSink& sink, NullStretches* stretches);

}  // namespace kelv::cli
