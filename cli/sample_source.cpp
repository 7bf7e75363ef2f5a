// Scanning the inputs of a streamed run, and reading their samples again block by
// block from any sample on.
#include "cli/sample_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "cli/inputs.hpp"
#include "console/series_reading.hpp"
#include "parallel/workers.hpp"
#include "run/gaps.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

namespace {

// Series read at once, each an open file.
constexpr std::size_t kMaxStreamedChannels = 256;

bool regularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

InputError changed(const std::string& path, const std::string& how) {
  return InputError(path, 0, "changed while it was read: " + how, InputError::Kind::readFailure);
}

// An open file descriptor, closed with its owner.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(const std::string& path) {
    do fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) error_ = errno;
  }
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int error() const { return error_; }  // errno of a failed open

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Size and modification time (nanoseconds) of a file's status.
void identity(const struct stat& st, int64_t& size, int64_t& modified) {
  size = st.st_size;
  modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The same for an open file (unchanged when its status cannot be had).
void identity(int fd, int64_t& size, int64_t& modified) {
  struct stat st {};
  if (::fstat(fd, &st) == 0) identity(st, size, modified);
}

// The same for a file by its name (-1 when it cannot be had).
void pathIdentity(const std::string& path, int64_t& size, int64_t& modified) {
  struct stat st {};
  size = modified = -1;
  if (::stat(path.c_str(), &st) == 0) identity(st, size, modified);
}

// A scanned file: its record without data, gaps in its own samples (channels from
// 1 in it), and how to read it.
struct FileScan {
  Record record;
  std::vector<Gap> gaps;
  ScannedFile file;
};

// A table's rows from its first data row on are scanned in pieces of at least this
// many bytes, one to a thread.
constexpr uint64_t kScanPieceBytes = uint64_t{1} << 18;

// What a piece of a table's rows gives: its rows' count, marks, gaps and time marks,
// or the failure of its first row that cannot be taken.
struct TablePiece {
  int64_t rows = 0;
  std::vector<RowMark> marks;
  std::vector<std::vector<Gap>> gaps;  // per channel, in the order of their samples
  TimeMarks times;
  std::exception_ptr failure;
};

// Where the first line that starts at or after byte `at` starts (the file's size when
// none does).
uint64_t lineStartFrom(int fd, uint64_t at, uint64_t size, const std::string& path) {
  if (at == 0) return 0;
  char block[4096];
  for (uint64_t from = at - 1; from < size;) {
    ssize_t n;
    do n = ::pread(fd, block, sizeof block, static_cast<off_t>(from));
    while (n < 0 && errno == EINTR);
    if (n < 0)
      throw InputError(path, 0, std::string("cannot be read: ") + std::strerror(errno),
                       InputError::Kind::readFailure);
    if (n == 0) break;
    if (const void* lf = std::memchr(block, '\n', static_cast<std::size_t>(n)))
      return from + static_cast<uint64_t>(static_cast<const char*>(lf) - block) + 1;
    from += static_cast<uint64_t>(n);
  }
  return size;
}

FileScan scanTable(int fd, const std::string& path, const TableOptions& options, int32_t threads) {
  FileScan scan;
  TextLines head(fd, 0, 1, path);
  const TableRows first(head, path, options);
  const TableLayout& layout = first.layout();
  const std::size_t channels = layout.channels();
  int64_t size = 0, modified = 0;
  identity(fd, size, modified);

  // The rows from the first data row to the end, cut at line starts into pieces.
  // Each piece's lines and rows are counted first, so that every piece then knows
  // the number of its first line and the index of its first row; the pieces are
  // scanned side by side and joined in their order, as one reading from the first row
  // to the last gives them (its first failure too).
  // A header line is the line the layout was taken from; the rows start after it.
  const uint64_t end = static_cast<uint64_t>(std::max<int64_t>(size, 0));
  const uint64_t start =
      layout.header ? lineStartFrom(fd, first.offset() + 1, end, path) : first.offset();
  const int64_t startLine = layout.header ? first.line() + 1 : first.line();
  const int64_t wanted = std::min<int64_t>(
      std::max(threads, 1), std::max<int64_t>(1, int64_t((end - start) / kScanPieceBytes)));
  std::vector<uint64_t> cuts = {start};
  for (int64_t k = 1; k < wanted; ++k) {
    const uint64_t at =
        lineStartFrom(fd, start + (end - start) / uint64_t(wanted) * uint64_t(k), end, path);
    if (at > cuts.back() && at < end) cuts.push_back(at);
  }
  cuts.push_back(end);
  const std::size_t pieces = cuts.size() - 1;
  std::vector<int64_t> lines(pieces, 0), rows(pieces, 0);
  const auto count = [&](int32_t, int64_t item) {
    const std::size_t k = static_cast<std::size_t>(item - 1);
    TextLines text(fd, cuts[k], 1, path, cuts[k + 1]);
    std::string_view line;
    while (text.next(line)) {
      ++lines[k];
      if (!skippedLine(line)) ++rows[k];
    }
  };
  if (pieces > 1) runInOrder(threads, int64_t(pieces), int64_t(pieces), count, [](int64_t) {});

  std::vector<TablePiece> parts(pieces);
  const auto scanPiece = [&](int32_t, int64_t item) {
    const std::size_t k = static_cast<std::size_t>(item - 1);
    TablePiece& part = parts[k];
    int64_t line = startLine, row = 0;
    for (std::size_t i = 0; i < k; ++i) line += lines[i], row += rows[i];
    try {
      TextLines text(fd, cuts[k], line, path, cuts[k + 1]);
      TableRows table(text, path, layout);
      std::vector<GapRuns> runs;
      for (std::size_t c = 0; c < channels; ++c) runs.emplace_back(static_cast<int32_t>(c + 1));
      std::vector<float> values(channels);
      double time = 0.0;
      while (table.next(values.data(), time)) {
        if ((row + part.rows) % kMarkRows == 0)
          part.marks.push_back({table.offset(), table.line()});
        ++part.rows;
        for (std::size_t c = 0; c < channels; ++c) runs[c].add(values[c], row + part.rows);
        if (layout.timed()) part.times.add(time, table.line());
      }
      for (GapRuns& r : runs) part.gaps.push_back(r.finish(row + part.rows));
    } catch (...) {
      part.failure = std::current_exception();
    }
  };
  int64_t total = 0;
  std::vector<std::vector<Gap>> gaps(channels);
  TimeMarks marks;
  runInOrder(threads, int64_t(pieces), int64_t(pieces), scanPiece, [&](int64_t item) {
    TablePiece& part = parts[static_cast<std::size_t>(item - 1)];
    if (part.failure) std::rethrow_exception(part.failure);
    scan.file.marks.insert(scan.file.marks.end(), part.marks.begin(), part.marks.end());
    // A gap running to a piece's last row goes on into the next piece's first.
    for (std::size_t c = 0; c < channels; ++c)
      for (const Gap& g : part.gaps[c]) {
        if (!gaps[c].empty() && gaps[c].back().last + 1 == g.first)
          gaps[c].back().last = g.last;
        else
          gaps[c].push_back(g);
      }
    marks.append(part.times);
    total += part.rows;
  });
  scan.record = tableRecord(layout, path, total);
  if (total == 0) throw InputError(path, 0, "no data: the file holds no line of numbers");
  if (layout.timed()) marks.finish(path, scan.record);
  for (const std::vector<Gap>& g : gaps) scan.gaps.insert(scan.gaps.end(), g.begin(), g.end());
  scan.file.kind = ScannedFile::Kind::table;
  scan.file.layout = layout;
  return scan;
}

FileScan scanSeed(int fd, const std::string& path) {
  FileScan scan;
  SeedLayout layout = scanMiniSeed({}, fd, path);
  scan.gaps = seedGaps(layout);
  scan.record = std::move(layout.record);
  scan.file.kind = ScannedFile::Kind::miniSeed;
  scan.file.pieces = std::move(layout.pieces);
  scan.file.shares = std::move(layout.shares);
  return scan;
}

// A list input: the series of the list, scanned as readListRecord reads them.
std::optional<ScannedInput> scanList(const std::string& listPath, int32_t threads) {
  ScannedInput input;
  input.listPath = listPath;
  if (!regularFile(listPath)) return std::nullopt;
  input.listNames = readListNames(listPath);
  if (input.listNames.size() > kMaxStreamedChannels) return std::nullopt;
  for (const std::string& path : input.listNames)
    if (!regularFile(path)) return std::nullopt;

  const std::size_t nch = input.listNames.size();
  std::vector<GapRuns> runs;
  for (std::size_t j = 0; j < nch; ++j) runs.emplace_back(static_cast<int32_t>(j + 1));
  std::vector<int64_t> length(nch, 0);
  // Where each series' reading stands before samples 1, kMarkRows + 1, ...
  std::vector<std::vector<InputPosition>> marks(nch, std::vector<InputPosition>(1));
  Record record = readListSeries(
      listPath, input.listNames,
      [&](std::size_t j, int32_t offset, const float* v, int32_t n) {
        for (int32_t i = 0; i < n; ++i) runs[j].add(v[i], int64_t(offset) + i + 1);
        length[j] = int64_t(offset) + n;
      },
      [&](std::size_t j, int64_t count, const InputUnit& unit) {
        InputPosition at;
        if (count == int64_t(marks[j].size()) * kMarkRows && inputPosition(unit, at))
          marks[j].push_back(at);
      },
      threads);
  for (std::size_t j = 0; j < nch; ++j) {
    for (Gap g : runs[j].finish(length[j])) {
      if (g.first > record.count) break;
      g.last = std::min(g.last, record.count);
      input.gaps.push_back(g);
    }
    ScannedFile file;
    file.kind = ScannedFile::Kind::series;
    file.path = input.listNames[j];
    file.channels = 1;
    file.count = length[j];
    file.series = static_cast<int32_t>(j);
    file.seriesMarks = std::move(marks[j]);
    pathIdentity(file.path, file.size, file.modified);
    input.files.push_back(std::move(file));
  }
  // The names made distinct as loadRecord's alignment makes them.
  input.record = alignment({record}).record;
  return input;
}

}  // namespace

std::optional<ScannedInput> scanInputs(const BatchOptions& options, int32_t threads) {
  if (options.inputs.empty()) return scanList(options.list.value_or("list"), threads);
  const TableOptions table{options.timeColumn};
  std::vector<FileScan> scans;
  for (const std::string& path : options.inputs) {
    if (!regularFile(path)) return std::nullopt;
    Descriptor fd(path);
    if (fd.get() < 0) return std::nullopt;
    char head[48];
    ssize_t n;
    do n = ::pread(fd.get(), head, sizeof head, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) return std::nullopt;
    const bool seed = looksLikeMiniSeed(std::string_view(head, static_cast<std::size_t>(n)));
    FileScan scan = seed ? scanSeed(fd.get(), path) : scanTable(fd.get(), path, table, threads);
    scan.file.path = path;
    scan.file.channels = scan.record.channels();
    scan.file.count = scan.record.count;
    identity(fd.get(), scan.file.size, scan.file.modified);
    scans.push_back(std::move(scan));
  }
  std::vector<Record> records;
  for (const FileScan& s : scans) records.push_back(s.record);
  Alignment aligned = alignment(records);
  ScannedInput input;
  input.record = std::move(aligned.record);
  int32_t channel = 0;
  for (std::size_t i = 0; i < scans.size(); ++i) {
    ScannedFile& file = scans[i].file;
    file.offset = aligned.offsets[i];
    // The gaps in the run's samples: the file's from offset + 1 to offset + count.
    for (Gap g : scans[i].gaps) {
      g.first = std::max(g.first - file.offset, int64_t{1});
      g.last = std::min(g.last - file.offset, input.record.count);
      if (g.first > g.last) continue;
      g.channel += channel;
      input.gaps.push_back(g);
    }
    channel += file.channels;
    input.files.push_back(std::move(file));
  }
  return input;
}

// ---------------------------------------------------------------- reading again

class SampleReader::Cursor {
 public:
  virtual ~Cursor() = default;
  // The next n samples of the file's channels into to[c stride + i], or dropped.
  virtual void read(int64_t n, float* to, int64_t stride, bool keep) = 0;
};

namespace {

// Opens a file of the scan again, as it was then.
void reopen(Descriptor& fd, const ScannedFile& file) {
  // A file missing or refused the second time (or on another machine, for a process
  // of an MPI run) says so, as the first opening would have.
  if (fd.get() < 0) {
    const int err = fd.error();
    const InputError::Kind kind = err == ENOENT || err == ENOTDIR ? InputError::Kind::notFound
                                  : err == EACCES || err == EPERM ? InputError::Kind::permission
                                                                  : InputError::Kind::readFailure;
    throw InputError(file.path, 0, "cannot be opened again: " + std::string(std::strerror(err)),
                     kind);
  }
  int64_t size = -1, modified = -1;
  identity(fd.get(), size, modified);
  if (size != file.size || modified != file.modified)
    throw changed(file.path, "its size or time differs from its first reading");
}

class TableCursor final : public SampleReader::Cursor {
 public:
  TableCursor(const ScannedFile& file, int64_t start)
      : file_(file), fd_(file.path), row_(file.layout.channels()) {
    reopen(fd_, file);
    // The marked row at or before the start, and the rows from there to it.
    const int64_t k = start - 1;
    const RowMark& mark = file.marks.at(static_cast<std::size_t>(k / kMarkRows));
    lines_ = std::make_unique<TextLines>(fd_.get(), mark.offset, mark.line, file.path);
    rows_ = std::make_unique<TableRows>(*lines_, file.path, file.layout);
    read(k % kMarkRows, nullptr, 0, false);
  }
  void read(int64_t n, float* to, int64_t stride, bool keep) override {
    double time = 0.0;
    for (int64_t i = 0; i < n; ++i) {
      if (!rows_->next(row_.data(), time))
        throw changed(file_.path, "fewer samples than its first reading gave");
      if (keep)
        for (std::size_t c = 0; c < row_.size(); ++c) to[int64_t(c) * stride + i] = row_[c];
    }
  }

 private:
  const ScannedFile& file_;
  Descriptor fd_;
  std::unique_ptr<TextLines> lines_;
  std::unique_ptr<TableRows> rows_;
  std::vector<float> row_;
};

class SeedCursor final : public SampleReader::Cursor {
 public:
  SeedCursor(const ScannedFile& file, int64_t start)
      : file_(file),
        fd_(file.path),
        at_(start - 1),
        decoded_(file.shares.size(), SIZE_MAX),
        values_(file.shares.size()) {
    reopen(fd_, file);
  }
  void read(int64_t n, float* to, int64_t stride, bool keep) override {
    if (keep)
      for (std::size_t c = 0; c < file_.shares.size(); ++c) {
        float* channel = to + int64_t(c) * stride;
        std::fill(channel, channel + n, std::numeric_limits<float>::quiet_NaN());
        const std::vector<SeedShare>& shares = file_.shares[c];
        // The shares that end after `at_`, in the order of their samples.
        auto s = std::upper_bound(shares.begin(), shares.end(), at_,
                                  [](int64_t k, const SeedShare& x) { return k < x.first + x.n; });
        for (; s != shares.end() && s->first < at_ + n; ++s) {
          const int64_t from = std::max(s->first, at_), end = std::min(s->first + s->n, at_ + n);
          const std::vector<float>& v = piece(c, s->piece);
          std::copy(v.begin() + (s->from + from - s->first), v.begin() + (s->from + end - s->first),
                    channel + (from - at_));
        }
      }
    at_ += n;
  }

 private:
  // The samples of a piece, decoded once while the channel reads them.
  const std::vector<float>& piece(std::size_t channel, std::size_t p) {
    if (decoded_[channel] != p) {
      const SeedPiece& piece = file_.pieces[p];
      record_.resize(static_cast<std::size_t>(piece.length));
      ssize_t got;
      do got = ::pread(fd_.get(), record_.data(), record_.size(), static_cast<off_t>(piece.offset));
      while (got < 0 && errno == EINTR);
      if (got != static_cast<ssize_t>(record_.size()))
        throw changed(file_.path, "a record of samples is no longer there");
      decodeSeedPiece(record_.data(), piece, file_.path, values_[channel]);
      decoded_[channel] = p;
    }
    return values_[channel];
  }

  const ScannedFile& file_;
  Descriptor fd_;
  int64_t at_;  // the next sample, from 0
  std::vector<std::size_t> decoded_;
  std::vector<std::vector<float>> values_;
  std::vector<char> record_;
};

class SeriesCursor final : public SampleReader::Cursor {
 public:
  SeriesCursor(const ScannedInput& input, const ScannedFile& file, int64_t start) : file_(file) {
    openSeries(unit_, input.listPath, input.listNames, static_cast<std::size_t>(file.series));
    // The marked line at or before the start, and the values from there to it. A
    // series that changed since the scan could put a mark inside a number.
    const int64_t k = start - 1;
    const std::size_t m =
        file.seriesMarks.empty()
            ? 0
            : std::min(static_cast<std::size_t>(k / kMarkRows), file.seriesMarks.size() - 1);
    if (m > 0) {
      int64_t size = -1, modified = -1;
      pathIdentity(file.path, size, modified);
      if (size != file.size || modified != file.modified)
        throw changed(file.path, "its size or time differs from its first reading");
      if (!setInputPosition(unit_.unit(), file.seriesMarks[m]))
        throw changed(file.path, "it cannot be read from a mark of its first reading");
    }
    read(k - int64_t(m) * kMarkRows, nullptr, 0, false);
  }
  void read(int64_t n, float* to, int64_t, bool keep) override {
    constexpr int64_t kPiece = int64_t{1} << 30;  // the reader counts in int32_t
    for (int64_t done = 0; done < n;) {
      const auto piece = static_cast<int32_t>(std::min(kPiece, n - done));
      const SeriesEnd end =
          readSeriesValues(unit_.unit(), piece, [&](int32_t offset, const float* v, int32_t k) {
            if (keep) std::copy(v, v + k, to + done + offset);
          });
      if (end.count != piece)
        throw changed(file_.path, "fewer samples than its first reading gave");
      done += piece;
    }
  }

 private:
  const ScannedFile& file_;
  InputFile unit_;
};

}  // namespace

SampleReader::SampleReader(const ScannedInput& input, int64_t capacity, int64_t start,
                           int32_t threads)
    : input_(input), capacity_(capacity), threads_(std::max(threads, 1)), first_(start) {
  channels_ = input.record.channels();
  data_.resize(static_cast<std::size_t>(capacity * int64_t(channels_)));
  for (const ScannedFile& file : input.files) {
    const int64_t at = file.offset + start;  // the file's sample, from 1
    switch (file.kind) {
      case ScannedFile::Kind::table:
        cursors_.push_back(std::make_unique<TableCursor>(file, at));
        break;
      case ScannedFile::Kind::miniSeed:
        cursors_.push_back(std::make_unique<SeedCursor>(file, at));
        break;
      case ScannedFile::Kind::series:
        cursors_.push_back(std::make_unique<SeriesCursor>(input, file, at));
        break;
    }
  }
}

SampleReader::~SampleReader() = default;

Samples SampleReader::hold(int64_t first, int64_t last) {
  const int64_t drop = std::min(first - first_, held_);
  if (drop > 0) {
    for (int32_t j = 0; j < channels_; ++j) {
      float* channel = data_.data() + j * capacity_;
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
  Samples samples = samplesFastest(data_.data(), channels_, held_, first_);
  samples.channelStride = capacity_;
  return samples;
}

void SampleReader::read(int64_t n, bool keep) {
  // Each file read by one thread into its own channels; a failure is taken in the
  // order of the files, as from one thread.
  const std::size_t files = cursors_.size();
  std::vector<float*> to(files);
  float* at = data_.data() + held_;
  for (std::size_t i = 0; i < files; ++i) {
    to[i] = at;
    at += int64_t(input_.files[i].channels) * capacity_;
  }
  std::vector<std::exception_ptr> failures(files);
  runInOrder(
      files > 1 ? threads_ : 1, static_cast<int64_t>(files), static_cast<int64_t>(files),
      [&](int32_t, int64_t item) {
        const std::size_t i = static_cast<std::size_t>(item - 1);
        try {
          cursors_[i]->read(n, to[i], capacity_, keep);
        } catch (...) {
          failures[i] = std::current_exception();
        }
      },
      [&](int64_t item) {
        if (const std::exception_ptr& f = failures[static_cast<std::size_t>(item - 1)])
          std::rethrow_exception(f);
      });
  if (keep) held_ += n;
}

// ---------------------------------------------------------------- as bytes

namespace {

// Values are written as their bytes, structures field by field: the padding between
// fields holds no value, and its bytes would differ from one copy to the next.
template <class T>
constexpr bool kWrittenWhole = std::is_trivially_copyable_v<T> &&
                               (std::has_unique_object_representations_v<T> ||
                                std::is_floating_point_v<T>);

class ByteWriter {
 public:
  template <class T>
  void put(const T& value) {
    static_assert(kWrittenWhole<T>);
    const char* p = reinterpret_cast<const char*>(&value);
    bytes.insert(bytes.end(), p, p + sizeof value);
  }
  void put(const std::string& s) {
    put(uint64_t(s.size()));
    bytes.insert(bytes.end(), s.begin(), s.end());
  }
  template <class T>
  void put(const std::vector<T>& v) {
    put(uint64_t(v.size()));
    for (const T& x : v) put(x);
  }
  void put(const Gap& g) { put(g.channel), put(g.first), put(g.last); }
  void put(const SeedPiece& p) {
    put(p.start), put(p.offset), put(p.samples), put(p.length), put(p.trace);
  }
  void put(const SeedShare& s) { put(s.first), put(s.n), put(s.from), put(s.piece); }
  void put(const Record& r) {
    put(r.source), put(r.names), put(r.count), put(r.timed), put(r.start), put(r.step);
    put(r.timeUnit), put(r.warnings);
  }
  void put(const ScannedFile& f) {
    put(f.kind), put(f.path), put(f.channels), put(f.count), put(f.offset), put(f.size);
    put(f.modified), put(f.layout.separator), put(f.layout.columns), put(f.layout.header);
    put(f.layout.names), put(f.layout.timeColumn), put(f.marks), put(f.pieces), put(f.shares);
    put(f.series), put(f.seriesMarks);
  }
  std::vector<char> bytes;
};

class ByteReader {
 public:
  explicit ByteReader(const std::vector<char>& bytes) : bytes_(bytes) {}
  template <class T>
  void get(T& value) {
    static_assert(kWrittenWhole<T>);
    take(&value, sizeof value);
  }
  void get(std::string& s) {
    s.resize(count(1));
    take(s.data(), s.size());
  }
  template <class T>
  void get(std::vector<T>& v) {
    v.resize(count(sizeof(T) > 8 ? 8 : sizeof(T)));
    for (T& x : v) get(x);
  }
  void get(Gap& g) { get(g.channel), get(g.first), get(g.last); }
  void get(SeedPiece& p) {
    get(p.start), get(p.offset), get(p.samples), get(p.length), get(p.trace);
  }
  void get(SeedShare& s) { get(s.first), get(s.n), get(s.from), get(s.piece); }
  void get(Record& r) {
    get(r.source), get(r.names), get(r.count), get(r.timed), get(r.start), get(r.step);
    get(r.timeUnit), get(r.warnings);
  }
  void get(ScannedFile& f) {
    get(f.kind), get(f.path), get(f.channels), get(f.count), get(f.offset), get(f.size);
    get(f.modified), get(f.layout.separator), get(f.layout.columns), get(f.layout.header);
    get(f.layout.names), get(f.layout.timeColumn), get(f.marks), get(f.pieces), get(f.shares);
    get(f.series), get(f.seriesMarks);
  }
  bool done() const { return at_ == bytes_.size(); }

 private:
  // A count of elements of at least `least` bytes each that the bytes left can hold.
  std::size_t count(std::size_t least) {
    uint64_t n = 0;
    get(n);
    if (n > (bytes_.size() - at_) / least) throw std::runtime_error("not a scanned input");
    return static_cast<std::size_t>(n);
  }
  void take(void* to, std::size_t n) {
    if (n > bytes_.size() - at_) throw std::runtime_error("not a scanned input");
    std::memcpy(to, bytes_.data() + at_, n);
    at_ += n;
  }
  const std::vector<char>& bytes_;
  std::size_t at_ = 0;
};

}  // namespace

std::vector<char> toBytes(const ScannedInput& input) {
  ByteWriter w;
  w.put(input.record), w.put(input.gaps), w.put(input.files), w.put(input.listPath);
  w.put(input.listNames);
  return std::move(w.bytes);
}

ScannedInput fromBytes(const std::vector<char>& bytes) {
  ScannedInput input;
  ByteReader r(bytes);
  r.get(input.record), r.get(input.gaps), r.get(input.files), r.get(input.listPath);
  r.get(input.listNames);
  if (!r.done()) throw std::runtime_error("not a scanned input");
  return input;
}

}  // namespace kelv::cli
