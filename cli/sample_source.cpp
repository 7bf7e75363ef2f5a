// Scanning a list input, and reading its series again block by block.
#include "cli/sample_source.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cli/inputs.hpp"
#include "console/series_reading.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

namespace {

// Series read at once, each an open file.
constexpr std::size_t kMaxStreamedChannels = 256;

bool regularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::optional<ScannedList> scanList(const BatchOptions& options) {
  ScannedList list;
  list.listPath = options.list.value_or("list");
  if (!regularFile(list.listPath)) return std::nullopt;
  list.paths = readListNames(list.listPath);
  if (list.paths.size() > kMaxStreamedChannels) return std::nullopt;
  for (const std::string& path : list.paths)
    if (!regularFile(path)) return std::nullopt;

  // Runs of samples that are not finite, per channel, as findGaps finds them.
  const std::size_t nch = list.paths.size();
  std::vector<std::vector<Gap>> gaps(nch);
  std::vector<int64_t> runFirst(nch, 0), length(nch, 0);
  Record record = readListSeries(
      list.listPath, list.paths, [&](std::size_t j, int32_t offset, const float* v, int32_t n) {
        for (int32_t i = 0; i < n; ++i) {
          const int64_t k = int64_t(offset) + i + 1;
          if (!std::isfinite(v[i])) {
            if (runFirst[j] == 0) runFirst[j] = k;
          } else if (runFirst[j] != 0) {
            gaps[j].push_back({static_cast<int32_t>(j + 1), runFirst[j], k - 1});
            runFirst[j] = 0;
          }
        }
        length[j] = int64_t(offset) + n;
      });
  for (std::size_t j = 0; j < nch; ++j) {
    if (runFirst[j] != 0) gaps[j].push_back({static_cast<int32_t>(j + 1), runFirst[j], length[j]});
    for (Gap g : gaps[j]) {
      if (g.first > record.count) break;
      g.last = std::min(g.last, record.count);
      list.gaps.push_back(g);
    }
  }
  // The names made distinct as loadRecord's alignment makes them.
  const int64_t count = record.count;
  record.count = 0;
  std::vector<Record> records;
  records.push_back(std::move(record));
  list.record = alignRecords(std::move(records));
  list.record.count = count;
  return list;
}

SeriesWindow::SeriesWindow(const ScannedList& list, int64_t capacity)
    : list_(list),
      capacity_(capacity),
      files_(list.paths.size()),
      data_(static_cast<std::size_t>(capacity * int64_t(list.paths.size()))) {
  for (std::size_t j = 0; j < files_.size(); ++j) {
    files_[j] = std::make_unique<InputFile>();
    openSeries(*files_[j], list.listPath, list.paths, j);
  }
}

SeriesWindow::~SeriesWindow() = default;

Samples SeriesWindow::hold(int64_t first, int64_t last) {
  const int64_t drop = std::min(first - first_, held_);
  if (drop > 0) {
    for (std::size_t j = 0; j < files_.size(); ++j) {
      float* channel = data_.data() + j * static_cast<std::size_t>(capacity_);
      std::memmove(channel, channel + drop, static_cast<std::size_t>(held_ - drop) * sizeof(float));
    }
    held_ -= drop;
  }
  // Samples before `first` that were never held are read and dropped.
  const int64_t skip = first - first_ - drop;
  first_ = first;
  if (skip > 0) read(skip, false);
  const int64_t more = last - (first_ + held_ - 1);
  if (more > 0) read(more, true);
  Samples samples =
      samplesFastest(data_.data(), static_cast<int32_t>(files_.size()), held_, first_);
  samples.channelStride = capacity_;
  return samples;
}

void SeriesWindow::read(int64_t n, bool keep) {
  constexpr int64_t kPiece = int64_t{1} << 30;  // the reader counts in int32_t
  for (std::size_t j = 0; j < files_.size(); ++j) {
    float* to = data_.data() + j * static_cast<std::size_t>(capacity_) + held_;
    for (int64_t done = 0; done < n;) {
      const auto piece = static_cast<int32_t>(std::min(kPiece, n - done));
      const SeriesEnd end = readSeriesValues(files_[j]->unit(), piece,
                                             [&](int32_t offset, const float* v, int32_t k) {
                                               if (keep) std::copy(v, v + k, to + done + offset);
                                             });
      if (end.count != piece)
        throw InputError(list_.paths[j], 0,
                         "changed while it was read: fewer samples than its first reading gave",
                         InputError::Kind::readFailure);
      done += piece;
    }
  }
  if (keep) held_ += n;
}

}  // namespace kelv::cli
