// The temporary file of a streamed run's columns, and the DSAA file made from it.
#include "cli/column_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "kelvarodine/dsaa.hpp"
#include "parallel/workers.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

namespace {

// Bytes of DSAA text collected before they go to the file.
constexpr std::size_t kTextChunk = std::size_t{1} << 20;

}  // namespace

ColumnFile::ColumnFile(const std::string& output, int32_t nfreq) : nfreq_(nfreq), name_(output) {
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

ColumnFile::~ColumnFile() {
  ::close(fd_);
}

void ColumnFile::append(const float* columns, int64_t windows) {
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

void ColumnFile::writeDsaa(const GridAxes& axes, int32_t threads) {
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

void ColumnFile::writeAll(const void* data, std::size_t size, int64_t offset) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fatalError(kErrWrite, 0, name_);
    p += n, size -= static_cast<std::size_t>(n), offset += n;
  }
}

void ColumnFile::readAll(void* data, std::size_t size, int64_t offset) const {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd_, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fatalError(kErrRead, 0, name_);
    p += n, size -= static_cast<std::size_t>(n), offset += n;
  }
}

}  // namespace kelv::cli
