// The streamed command-line run: the samples taken block by block, the grid's
// columns through a temporary file of tiles.
#include "cli/streaming.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "cli/netcdf_grid.hpp"
#include "parallel/workers.hpp"

namespace kelv::cli {

namespace {

// Nodes of the columns of a block of windows: small against a record, enough work
// for the threads.
constexpr int64_t kBlockNodes = int64_t{1} << 17;

}  // namespace

bool streamable(std::string_view outputExtension) {
  return outputExtension == ".grd" || outputExtension == ".nc";
}

int64_t streamedBlock(const Plan& plan, int32_t threads) {
  // Enough windows for every thread, a tile's nodes at most.
  return std::max<int64_t>(std::min<int64_t>(kBlockNodes / plan.nfreq, plan.nWindows),
                           std::min<int64_t>(4 * int64_t(threadsFor(threads)), plan.nWindows));
}

int64_t blockSamples(const Plan& plan, int64_t windows) {
  return (windows - 1) * plan.shift + plan.nlen;
}

StreamedGrid::StreamedGrid(const Plan& plan, const std::string& output, NetcdfGrid* netcdf,
                           bool channels, int64_t slotWindows)
    : plan_(plan),
      channels_(channels),
      netcdf_(netcdf),
      columns_(output, plan.nfreq, plan.nWindows, channels ? plan.nch : 0, slotWindows) {}

void StreamedGrid::append(int64_t first, int64_t windows, const float* columns,
                          const float* coherences) {
  columns_.append(first, columns, windows, channels_ ? coherences : nullptr);
  if (!netcdf_) return;
  // The windows complete from the first on, a slot at a time, to the netCDF file in
  // their order.
  const int64_t nfreq = plan_.nfreq;
  std::vector<float> values, coherenceValues;
  while (handed_ < columns_.completed()) {
    const int64_t n = std::min(columns_.slotWindows(), columns_.completed() - handed_);
    values.resize(static_cast<std::size_t>(n * nfreq));
    if (channels_) coherenceValues.resize(static_cast<std::size_t>(n * nfreq * plan_.nch));
    columns_.read(handed_ + 1, n, values.data(), channels_ ? coherenceValues.data() : nullptr);
    netcdf_->columns(handed_ + 1, n, values.data(), channels_ ? coherenceValues.data() : nullptr);
    handed_ += n;
  }
}

void StreamedGrid::writeGrid(const GridAxes& axes, int32_t threads) {
  columns_.writeDsaa(0, fileOutput(), axes, threads);
  commitFile();
}

void StreamedGrid::writeChannel(int32_t m, OutputUnit& file, const GridAxes& axes,
                                int32_t threads) {
  columns_.writeDsaa(m, file, axes, threads);
}

NullStretches::NullStretches(const Plan& plan)
    : plan_(plan),
      data_(static_cast<std::size_t>(kNullWindows * plan.nch * int64_t(plan.nlen))),
      copied_(static_cast<std::size_t>(kNullWindows * int64_t(plan.nlen)), 0) {}

void NullStretches::take(const Samples& held) {
  const int64_t nlen = plan_.nlen;
  const int64_t heldLast = held.first + held.count - 1;
  for (int64_t w = 1; w <= kNullWindows; ++w) {
    const int64_t start = nullStretchStart(plan_, w);
    const int64_t from = std::max(start, held.first), to = std::min(start + nlen - 1, heldLast);
    if (from > to) continue;
    for (int32_t j = 0; j < plan_.nch; ++j) {
      float* stretch = data_.data() + ((w - 1) * plan_.nch + j) * nlen;
      const float* channel = held.data + j * held.channelStride;
      for (int64_t k = from; k <= to; ++k)
        stretch[k - start] = channel[(k - held.first) * held.sampleStride];
    }
    char* copied = copied_.data() + (w - 1) * nlen;
    std::fill(copied + (from - start), copied + (to - start) + 1, char{1});
  }
}

int64_t NullStretches::missing() const {
  int64_t first = 0;
  for (int64_t w = 1; w <= kNullWindows; ++w) {
    const int64_t start = nullStretchStart(plan_, w);
    const char* copied = copied_.data() + (w - 1) * plan_.nlen;
    const char* gap = std::find(copied, copied + plan_.nlen, char{0});
    if (gap == copied + plan_.nlen) continue;
    const int64_t k = start + (gap - copied);
    if (first == 0 || k < first) first = k;
  }
  return first;
}

int64_t NullStretches::sharedSamples(const Plan& plan, int64_t first, int64_t last) {
  int64_t n = 0;
  for (int64_t w = 1; w <= kNullWindows; ++w) {
    const int64_t start = nullStretchStart(plan, w);
    const int64_t from = std::max(start, first), to = std::min(start + plan.nlen - 1, last);
    if (from <= to) n += (to - from + 1) * plan.nch;
  }
  return n;
}

std::vector<float> NullStretches::within(int64_t first, int64_t last) const {
  std::vector<float> values;
  values.reserve(static_cast<std::size_t>(sharedSamples(plan_, first, last)));
  const int64_t nlen = plan_.nlen;
  for (int64_t w = 1; w <= kNullWindows; ++w) {
    const int64_t start = nullStretchStart(plan_, w);
    const int64_t from = std::max(start, first), to = std::min(start + nlen - 1, last);
    if (from > to) continue;
    const char* copied = copied_.data() + (w - 1) * nlen;
    if (std::find(copied + (from - start), copied + (to - start) + 1, char{0}) !=
        copied + (to - start) + 1)
      throw std::logic_error("a null-level stretch handed on before its samples were taken");
    for (int32_t j = 0; j < plan_.nch; ++j) {
      const float* stretch = data_.data() + ((w - 1) * plan_.nch + j) * nlen;
      values.insert(values.end(), stretch + (from - start), stretch + (to - start) + 1);
    }
  }
  return values;
}

void NullStretches::place(int64_t first, int64_t last, const float* values) {
  const int64_t nlen = plan_.nlen;
  for (int64_t w = 1; w <= kNullWindows; ++w) {
    const int64_t start = nullStretchStart(plan_, w);
    const int64_t from = std::max(start, first), to = std::min(start + nlen - 1, last);
    if (from > to) continue;
    for (int32_t j = 0; j < plan_.nch; ++j) {
      float* stretch = data_.data() + ((w - 1) * plan_.nch + j) * nlen;
      std::copy(values, values + (to - from + 1), stretch + (from - start));
      values += to - from + 1;
    }
    char* copied = copied_.data() + (w - 1) * nlen;
    std::fill(copied + (from - start), copied + (to - start) + 1, char{1});
  }
}

void analyseStreamed(const Plan& plan, const SampleHold& hold, int64_t block,
                     const Options& options, ColumnSink& sink, NullStretches* stretches) {
  const bool channels = sink.channels();
  std::vector<float> columns(static_cast<std::size_t>(block * plan.nfreq));
  std::vector<float> coherences(channels ? columns.size() * static_cast<std::size_t>(plan.nch) : 0);
  Options o = options;
  o.channelCoherences = channels ? coherences.data() : nullptr;
  int64_t heldLast = 0;
  for (int64_t first = 1; first <= plan.nWindows; first += block) {
    const int64_t last = std::min<int64_t>(plan.nWindows, first + block - 1);
    heldLast = blockSamples(plan, last - first + 1) + (first - 1) * plan.shift;
    const Samples samples = hold((first - 1) * plan.shift + 1, heldLast);
    if (stretches) stretches->take(samples);
    analyseWindows(plan, samples, first, last, columns.data(), o);
    sink.append(first, last - first + 1, columns.data(), coherences.data());
  }
  // The null level's last stretches may reach past the last window.
  if (stretches && stretches->missing() != 0) {
    const int64_t from = std::max(stretches->missing(), heldLast + 1);
    if (from <= plan.realSamples) stretches->take(hold(from, plan.realSamples));
  }
}

}  // namespace kelv::cli
