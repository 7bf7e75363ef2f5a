// The temporary file of a streamed run's columns, and the DSAA files made from it.
#include "cli/column_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <stdexcept>

#include "kelvarodine/dsaa.hpp"
#include "parallel/workers.hpp"

namespace kelv::cli {

namespace {

// Nodes of one plane of a slot: small against a record, large enough that the file
// is read in few pieces.
constexpr int64_t kTileNodes = int64_t{1} << 17;
// Bytes of DSAA text collected before they go to the file.
constexpr std::size_t kTextChunk = std::size_t{1} << 20;

}  // namespace

ColumnFile::ColumnFile(const std::string& output, int32_t nfreq, int64_t nWindows, int32_t nch,
                       int64_t slotWindows)
    : nfreq_(nfreq), nch_(nch), planes_(1 + nch), nWindows_(nWindows), name_(output) {
  // Every slot but the last holds whole lines of four values of each row.
  slot_ = slotWindows > 0 ? slotWindows : kTileNodes / std::max(nfreq, 1);
  slot_ = std::max<int64_t>(4, slot_ / 4 * 4);
  slots_ = (nWindows_ + slot_ - 1) / slot_;
  ranges_.resize(static_cast<std::size_t>(slots_));
  written_.assign(static_cast<std::size_t>(slots_), false);
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

int64_t ColumnFile::slotSize(int64_t slot) const {
  return std::min(slot_, nWindows_ - slot * slot_);
}

int64_t ColumnFile::slotOffset(int64_t slot) const {
  return slot * slot_ * nfreq_ * planes_ * int64_t(sizeof(float));
}

void ColumnFile::append(int64_t first, const float* columns, int64_t windows,
                        const float* coherences) {
  if (first < 1 || windows < 0 || first + windows - 1 > nWindows_ ||
      (nch_ > 0 && windows > 0 && !coherences))
    throw std::invalid_argument("columns outside the grid of the column file");
  const int64_t nfreq = nfreq_;
  for (int64_t w = first; w < first + windows;) {
    const int64_t slot = (w - 1) / slot_;
    const int64_t size = slotSize(slot);
    const int64_t end = std::min(first + windows, slotFirst(slot) + size);
    Pending& pending = pending_[slot];
    if (pending.values.empty())
      pending.values.resize(static_cast<std::size_t>(size * nfreq * planes_));
    float* values = pending.values.data();
    for (int64_t v = w; v < end; ++v) {
      const int64_t c = v - slotFirst(slot);
      const float* column = columns + (v - first) * nfreq;
      for (int64_t f = 0; f < nfreq; ++f) values[f * size + c] = column[f];
      if (nch_ == 0) continue;
      const float* coherence = coherences + (v - first) * nfreq * nch_;
      for (int64_t m = 0; m < nch_; ++m)
        for (int64_t f = 0; f < nfreq; ++f)
          values[((m + 1) * nfreq + f) * size + c] = coherence[f * nch_ + m];
    }
    pending.windows += end - w;
    if (pending.windows > size) throw std::logic_error("a window came twice to the column file");
    if (pending.windows == size) {
      flush(slot, pending);
      pending_.erase(slot);
    }
    w = end;
  }
}

void ColumnFile::flush(int64_t slot, Pending& pending) {
  const int64_t size = slotSize(slot);
  std::vector<Range>& ranges = ranges_[static_cast<std::size_t>(slot)];
  ranges.assign(static_cast<std::size_t>(planes_), Range{});
  // Window after window, frequency fastest: the order dsaaHeader visits the nodes.
  for (int32_t p = 0; p < planes_; ++p) {
    Range& r = ranges[static_cast<std::size_t>(p)];
    const float* plane = pending.values.data() + int64_t(p) * nfreq_ * size;
    for (int64_t c = 0; c < size; ++c)
      for (int64_t f = 0; f < nfreq_; ++f) {
        const float z = plane[f * size + c];
        if (!std::isfinite(z)) {
          ++r.blank;
        } else if (!r.anyFinite) {
          r.zMin = r.zMax = z;
          r.anyFinite = true;
        } else {
          if (z < r.zMin) r.zMin = z;
          if (z > r.zMax) r.zMax = z;
        }
      }
  }
  writeAll(pending.values.data(), pending.values.size() * sizeof(float), slotOffset(slot));
  written_[static_cast<std::size_t>(slot)] = true;
  int64_t done = completed_ / slot_;
  while (done < slots_ && written_[static_cast<std::size_t>(done)]) ++done;
  completed_ = std::min(nWindows_, done * slot_);
}

int64_t ColumnFile::blank(int32_t plane) const {
  int64_t blank = 0;
  for (const std::vector<Range>& ranges : ranges_)
    if (!ranges.empty()) blank += ranges[static_cast<std::size_t>(plane)].blank;
  return blank;
}

void ColumnFile::writeDsaa(int32_t plane, OutputUnit& out, const GridAxes& axes,
                           int32_t threads) const {
  if (completed_ < nWindows_) throw std::logic_error("the column file misses windows");
  DsaaHeader header{static_cast<int32_t>(nWindows_),
                    nfreq_,
                    axes.xMin,
                    axes.xMax,
                    axes.yMin,
                    axes.yMax,
                    kDsaaBlank,
                    kDsaaBlank};
  // The slots' ranges in slot order: the first of equal extremes stays, as in one
  // pass over the grid.
  bool anyFinite = false;
  for (const std::vector<Range>& ranges : ranges_) {
    const Range& r = ranges[static_cast<std::size_t>(plane)];
    if (!r.anyFinite) continue;
    if (!anyFinite) {
      header.zMin = r.zMin, header.zMax = r.zMax;
      anyFinite = true;
    } else {
      if (r.zMin < header.zMin) header.zMin = r.zMin;
      if (r.zMax > header.zMax) header.zMax = r.zMax;
    }
  }
  writeRecords(out, dsaaHeaderText(header));
  if (slots_ == 0) return;
  // An item is a piece of the rows' text that follows the one before it in the file:
  // a band of whole rows, or where one row's text is long, a group of slots of one
  // row. Each slot's part of a band is read from the file at once (its rows lie one
  // after another in the tile) and formatted into its place.
  const int32_t nx = static_cast<int32_t>(nWindows_);
  const int64_t rowBytes = static_cast<int64_t>(dsaaRowsBytes(nx, 1));
  const int64_t bandRows =
      rowBytes <= int64_t(kTextChunk) ? std::max<int64_t>(1, int64_t(kTextChunk) / rowBytes) : 1;
  const int64_t groupSlots =
      bandRows > 1 ? slots_ : std::max<int64_t>(1, int64_t(kTextChunk) / (rowBytes / slots_ + 1));
  const int64_t groups = (slots_ + groupSlots - 1) / groupSlots;
  const int64_t bands = (nfreq_ + bandRows - 1) / bandRows;
  // Where slot s's text begins in a row, and where the row's text ends.
  const auto slotText = [&](int64_t s) {
    return s < slots_ ? static_cast<int64_t>(dsaaFieldOffset(static_cast<int32_t>(slotFirst(s))))
                      : rowBytes;
  };
  const int32_t workers = std::max(threads, 1);
  const int64_t ahead = 4 * int64_t(workers);
  std::vector<std::vector<float>> values(static_cast<std::size_t>(workers));
  std::vector<std::string> texts(static_cast<std::size_t>(ahead));
  runInOrder(
      threads, bands * groups, ahead,
      [&](int32_t worker, int64_t item) {
        const int64_t f0 = (item - 1) / groups * bandRows;
        const int64_t rows = std::min(bandRows, nfreq_ - f0);
        const int64_t s0 = (item - 1) % groups * groupSlots;
        const int64_t s1 = std::min(slots_, s0 + groupSlots);  // past the group's last
        const int64_t pieceBytes = slotText(s1) - slotText(s0);
        std::string& text = texts[static_cast<std::size_t>((item - 1) % ahead)];
        text.resize(static_cast<std::size_t>(rows * pieceBytes));
        std::vector<float>& band = values[static_cast<std::size_t>(worker)];
        for (int64_t s = s0; s < s1; ++s) {
          const int64_t size = slotSize(s);
          band.resize(static_cast<std::size_t>(rows * size));
          readAll(band.data(), band.size() * sizeof(float),
                  slotOffset(s) + (int64_t(plane) * nfreq_ + f0) * size * int64_t(sizeof(float)));
          for (int64_t r = 0; r < rows; ++r)
            formatDsaaRowPiece(band.data() + r * size, static_cast<int32_t>(size),
                               static_cast<int32_t>(slotFirst(s)), nx,
                               text.data() + r * pieceBytes + (slotText(s) - slotText(s0)));
        }
      },
      [&](int64_t item) {
        writeRecords(out, texts[static_cast<std::size_t>((item - 1) % ahead)]);
      });
}

void ColumnFile::read(int64_t first, int64_t windows, float* columns, float* coherences) const {
  if (first < 1 || windows < 0 || first + windows - 1 > completed_)
    throw std::invalid_argument("columns not in the column file");
  const int64_t nfreq = nfreq_;
  std::vector<float> tile;
  for (int64_t w = first; w < first + windows;) {
    const int64_t slot = (w - 1) / slot_;
    const int64_t size = slotSize(slot);
    const int64_t end = std::min(first + windows, slotFirst(slot) + size);
    tile.resize(static_cast<std::size_t>(size * nfreq * planes_));
    readAll(tile.data(), tile.size() * sizeof(float), slotOffset(slot));
    for (int64_t v = w; v < end; ++v) {
      const int64_t c = v - slotFirst(slot);
      float* column = columns + (v - first) * nfreq;
      for (int64_t f = 0; f < nfreq; ++f) column[f] = tile[static_cast<std::size_t>(f * size + c)];
      if (nch_ == 0 || !coherences) continue;
      float* coherence = coherences + (v - first) * nfreq * nch_;
      for (int64_t m = 0; m < nch_; ++m)
        for (int64_t f = 0; f < nfreq; ++f)
          coherence[f * nch_ + m] =
              tile[static_cast<std::size_t>(((m + 1) * nfreq + f) * size + c)];
    }
    w = end;
  }
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
