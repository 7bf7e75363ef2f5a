// The streamed command-line run: the series of a list read as the windows need
// them, the grid's columns through a temporary file of tiles.
#include "cli/streaming.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "cli/inputs.hpp"
#include "console/series_reading.hpp"
#include "kelvarodine/dsaa.hpp"
#include "parallel/workers.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

namespace {

// Series read at once, each an open file.
constexpr std::size_t kMaxStreamedChannels = 256;
// Nodes of columns a block of windows holds, and so a tile of the temporary file:
// small against a record, large enough that the file is read in few pieces.
constexpr int64_t kTileNodes = int64_t{1} << 17;
// Bytes of DSAA text collected before they go to the file.
constexpr std::size_t kTextChunk = std::size_t{1} << 20;

bool regularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The samples first_ .. first_ + held_ - 1 of every series, channel after channel
// (capacity floats each), read block by block from the series files.
class SeriesWindow {
 public:
  SeriesWindow(const ScannedList& list, int64_t capacity)
      : list_(list),
        capacity_(capacity),
        files_(list.paths.size()),
        data_(static_cast<std::size_t>(capacity * int64_t(list.paths.size()))) {
    for (std::size_t j = 0; j < files_.size(); ++j) {
      files_[j] = std::make_unique<InputFile>();
      openSeries(*files_[j], list.listPath, list.paths, j);
    }
  }

  // Holds samples first .. last (first never decreasing, at most capacity of them).
  Samples hold(int64_t first, int64_t last) {
    const int64_t drop = std::min(first - first_, held_);
    if (drop > 0) {
      for (std::size_t j = 0; j < files_.size(); ++j) {
        float* channel = data_.data() + j * static_cast<std::size_t>(capacity_);
        std::memmove(channel, channel + drop,
                     static_cast<std::size_t>(held_ - drop) * sizeof(float));
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

 private:
  // The next n samples of every series, after those held when `keep`, else dropped.
  void read(int64_t n, bool keep) {
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

  const ScannedList& list_;
  int64_t capacity_;
  std::vector<std::unique_ptr<InputFile>> files_;
  std::vector<float> data_;
  int64_t first_ = 1, held_ = 0;
};

// The grid's columns in an unnamed temporary file beside the output, a tile per
// block of windows, each tile row after row (row f's values of the block's windows
// side by side), so that a row of the DSAA file is read a tile at a time. The z
// range and the blank nodes are counted as the columns come, in the order
// dsaaHeader visits them.
class ColumnFile {
 public:
  ColumnFile(const std::string& output, int32_t nfreq) : nfreq_(nfreq), name_(output) {
    const std::size_t slash = output.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : output.substr(0, slash + 1);
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      std::string path = (slash == std::string::npos ? "" : dir) + ".kelvarodine-columns.XXXXXX";
      fd_ = ::mkostemp(path.data(), O_CLOEXEC);
      if (fd_ >= 0) ::unlink(path.c_str());
    }
    if (fd_ < 0) fatalError(errno == EACCES ? kErrPermission : kErrOpenFailure, 0, output);
  }
  ~ColumnFile() { ::close(fd_); }
  ColumnFile(const ColumnFile&) = delete;
  ColumnFile& operator=(const ColumnFile&) = delete;

  void append(const float* columns, int64_t windows) {
    tile_.resize(static_cast<std::size_t>(windows * nfreq_));
    for (int64_t w = 0; w < windows; ++w)
      for (int64_t f = 0; f < nfreq_; ++f) {
        const float z = columns[w * nfreq_ + f];
        tile_[static_cast<std::size_t>(f * windows + w)] = z;
        if (!std::isfinite(z)) {
          ++blank_;
        } else if (!anyFinite_) {
          zMin_ = zMax_ = z;
          anyFinite_ = true;
        } else {
          if (z < zMin_) zMin_ = z;
          if (z > zMax_) zMax_ = z;
        }
      }
    writeAll(tile_.data(), tile_.size() * sizeof(float), bytes_);
    tiles_.push_back({bytes_, windows});
    bytes_ += static_cast<int64_t>(tile_.size() * sizeof(float));
    windows_ += windows;
  }

  int64_t blank() const { return blank_; }

  // The DSAA file into the replacement opened for it, put in place.
  void writeDsaa(const GridAxes& axes, int32_t threads) {
    DsaaHeader header{static_cast<int32_t>(windows_),
                      nfreq_,
                      axes.xMin,
                      axes.xMax,
                      axes.yMin,
                      axes.yMax,
                      kDsaaBlank,
                      kDsaaBlank};
    if (anyFinite_) header.zMin = zMin_, header.zMax = zMax_;
    OutputUnit& out = fileOutput();
    writeRecords(out, dsaaHeaderText(header));
    // Item (f - 1) tiles + t + 1: row f's values of tile t, whole lines of four
    // values but for the last tile of the row, which ends the row.
    const int64_t tiles = static_cast<int64_t>(tiles_.size());
    const int64_t ahead = 4 * int64_t(std::max(threads, 1));
    std::vector<std::vector<float>> values(static_cast<std::size_t>(std::max(threads, 1)));
    std::vector<std::string> texts(static_cast<std::size_t>(ahead));
    std::string pending;
    runInOrder(
        threads, int64_t(nfreq_) * tiles, ahead,
        [&](int32_t worker, int64_t item) {
          const int64_t f = (item - 1) / tiles;
          const Tile& tile = tiles_[static_cast<std::size_t>((item - 1) % tiles)];
          std::vector<float>& row = values[static_cast<std::size_t>(worker)];
          row.resize(static_cast<std::size_t>(tile.windows));
          readAll(row.data(), row.size() * sizeof(float), tile.offset + f * tile.windows * 4);
          std::string& text = texts[static_cast<std::size_t>((item - 1) % ahead)];
          text.clear();
          appendDsaaRows(row.data(), static_cast<int32_t>(tile.windows), 1, 1, 1, text);
        },
        [&](int64_t item) {
          pending += texts[static_cast<std::size_t>((item - 1) % ahead)];
          if (pending.size() >= kTextChunk) {
            writeRecords(out, pending);
            pending.clear();
          }
        });
    writeRecords(out, pending);
    commitFile();
  }

 private:
  struct Tile {
    int64_t offset, windows;
  };

  void writeAll(const void* data, std::size_t size, int64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, p, size, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fatalError(kErrWrite, 0, name_);
      p += n, size -= static_cast<std::size_t>(n), offset += n;
    }
  }
  void readAll(void* data, std::size_t size, int64_t offset) const {
    char* p = static_cast<char*>(data);
    while (size > 0) {
      const ssize_t n = ::pread(fd_, p, size, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fatalError(kErrRead, 0, name_);
      p += n, size -= static_cast<std::size_t>(n), offset += n;
    }
  }

  int32_t nfreq_;
  std::string name_;
  int fd_ = -1;
  std::vector<float> tile_;
  std::vector<Tile> tiles_;
  int64_t bytes_ = 0, windows_ = 0, blank_ = 0;
  bool anyFinite_ = false;
  float zMin_ = 0, zMax_ = 0;
};

}  // namespace

bool streamable(const BatchOptions& options, std::string_view outputExtension) {
  return options.inputs.empty() && !options.nullLevel && !options.channels &&
         outputExtension == ".grd";
}

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

int64_t analyseStreamed(const Plan& plan, const ScannedList& list, const Options& options,
                        const std::string& output) {
  // Blocks of windows: enough for every thread, a tile's nodes at most.
  const int32_t threads = threadsFor(options.threads);
  // Every tile but the last holds whole lines of four values of each row.
  int64_t block = std::max<int64_t>(std::min<int64_t>(kTileNodes / plan.nfreq, plan.nWindows),
                                    std::min<int64_t>(4 * int64_t(threads), plan.nWindows));
  if (block < plan.nWindows) block = std::max<int64_t>(4, block / 4 * 4);
  SeriesWindow series(list, (block - 1) * plan.shift + plan.nlen);
  ColumnFile columns(output, plan.nfreq);
  std::vector<float> blockColumns(static_cast<std::size_t>(block * plan.nfreq));
  for (int64_t first = 1; first <= plan.nWindows; first += block) {
    const int64_t last = std::min<int64_t>(plan.nWindows, first + block - 1);
    const Samples samples =
        series.hold((first - 1) * plan.shift + 1, (last - 1) * plan.shift + plan.nlen);
    analyseWindows(plan, samples, first, last, blockColumns.data(), options);
    columns.append(blockColumns.data(), last - first + 1);
  }
  columns.writeDsaa(gridAxes(plan), threads);
  return columns.blank();
}

}  // namespace kelv::cli
