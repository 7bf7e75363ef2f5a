// miniSEED input through libmseed: every trace a channel, laid on one time grid.
// Without libmseed (KELV_HAVE_MSEED undefined) such files are recognised and refused.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "formats/fields.hpp"
#include "formats/readers.hpp"
#include "kelvarodine/inputs.hpp"

#ifdef KELV_HAVE_MSEED
#include <libmseed.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#endif

namespace kelv {

// A data record's fixed header starts with a six-character sequence number (digits,
// blanks or zero bytes), a quality indicator D, R, Q or M, and a blank or zero byte.
bool looksLikeMiniSeed(std::string_view bytes) {
  if (bytes.size() < 48) return false;
  for (std::size_t i = 0; i < 6; ++i) {
    const char c = bytes[i];
    if (!((c >= '0' && c <= '9') || c == ' ' || c == '\0')) return false;
  }
  return std::string_view("DRQM").find(bytes[6]) != std::string_view::npos &&
         (bytes[7] == ' ' || bytes[7] == '\0');
}

#ifndef KELV_HAVE_MSEED

bool miniSeedSupported() {
  return false;
}

Record parseMiniSeed(std::string_view, const std::string& name) {
  throw InputError(name, 0,
                   "a miniSEED file, which this build cannot read: it was built without "
                   "libmseed (on Debian, the package libmseed-dev)");
}

SeedLayout scanMiniSeed(std::string_view bytes, int, const std::string& name) {
  parseMiniSeed(bytes, name);
  return {};
}

void decodeSeedPiece(const char*, const SeedPiece&, const std::string& name, std::vector<float>&) {
  parseMiniSeed({}, name);
}

std::vector<Gap> seedGaps(const SeedLayout&) {
  return {};
}

#else

bool miniSeedSupported() {
  return true;
}

namespace {

// libmseed reports through a logging function of its own; its messages are kept
// here, for the error they explain, instead of going to the console. One parse at a
// time holds the capture.
std::mutex captureMutex;
std::string captured;

void capture(char* message) {
  if (captured.size() < 1000) captured += message;
}

std::string capturedReason() {
  std::string s = captured;
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  for (char& c : s)
    if (c == '\n') c = ' ';
  return s;
}

struct Trace {
  std::string id;
  double rate = 0.0;
  hptime_t first = 0, last = 0;  // times of the first and the last sample
};

// A sample as a float: integers and doubles beyond the float range, and values that
// are not finite, are gaps.
float sampleValue(const MSRecord& msr, int64_t i) {
  constexpr float gap = std::numeric_limits<float>::quiet_NaN();
  switch (msr.sampletype) {
    case 'i':
      return static_cast<float>(static_cast<const int32_t*>(msr.datasamples)[i]);
    case 'f': {
      const float v = static_cast<const float*>(msr.datasamples)[i];
      return std::isfinite(v) ? v : gap;
    }
    default: {
      const double v = static_cast<const double*>(msr.datasamples)[i];
      return std::isfinite(v) && std::fabs(v) <= std::numeric_limits<float>::max()
                 ? static_cast<float>(v)
                 : gap;
    }
  }
}

std::string rateText(double rate) {
  return shortestDouble(rate) + " Hz";
}

std::string timeText(hptime_t t) {
  char text[40];
  ms_hptime2isotimestr(t, text, 1);
  return text;
}

struct RecordOwner {
  MSRecord* msr = nullptr;
  ~RecordOwner() {
    if (msr) msr_free(&msr);
  }
};

// The records of a miniSEED text in memory or of a file read in blocks, one at a
// time, parsed by libmseed with their samples.
class SeedRecords {
 public:
  SeedRecords(std::string_view bytes, int fd, const std::string& name)
      : buffer_(bytes), fd_(fd), name_(name) {}
  // The next record, or null at the end; `where` names it for messages.
  const MSRecord* next(std::string& where) {
    if (fd_ >= 0 && buffer_.size() - pos_ < kBlock) fill();
    if (pos_ >= buffer_.size()) return nullptr;
    ++records_;
    where = "record " + std::to_string(records_) + " (byte " + std::to_string(base_ + pos_) + ")";
    for (;;) {
      captured.clear();
      const std::size_t left = std::min<std::size_t>(buffer_.size() - pos_, INT_MAX);
      const int status = msr_parse(&buffer_[pos_], static_cast<int>(left), &owner_.msr, 0, 1, 0);
      if (status > 0 && fill()) continue;
      if (status > 0) throw InputError(name_, 0, where + ": the file ends inside the record");
      if (status < 0 || !owner_.msr || owner_.msr->reclen <= 0) {
        const std::string detail = capturedReason();
        throw InputError(name_, 0,
                         where + ": not a miniSEED data record (" +
                             (detail.empty() ? std::string(ms_errorstr(status)) : detail) + ")");
      }
      offset_ = base_ + pos_;
      pos_ += static_cast<std::size_t>(owner_.msr->reclen);
      return owner_.msr;
    }
  }
  uint64_t offset() const { return offset_; }  // of the record last given
  int64_t records() const { return records_; }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;
  // Reads a block more of the file after what is left; false at its end.
  bool fill() {
    if (fd_ < 0 || end_) return false;
    buffer_.erase(0, pos_);
    base_ += pos_;
    pos_ = 0;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + kBlock);
    ssize_t n;
    do n = ::pread(fd_, &buffer_[had], kBlock, static_cast<off_t>(base_ + had));
    while (n < 0 && errno == EINTR);
    if (n < 0)
      throw InputError(name_, 0, std::string("cannot be read: ") + std::strerror(errno),
                       InputError::Kind::readFailure);
    buffer_.resize(had + static_cast<std::size_t>(n));
    end_ = n == 0;
    return n > 0;
  }

  // libmseed parses from a buffer it may write to.
  std::string buffer_;
  int fd_;
  const std::string& name_;
  std::size_t pos_ = 0;
  uint64_t base_ = 0, offset_ = 0;
  bool end_ = false;
  int64_t records_ = 0;
  RecordOwner owner_;
};

// Adds samples a .. b of a channel to those its earlier pieces give (`covered`,
// disjoint runs first -> last): the parts not yet covered become shares of piece
// `piece`, whose first sample is `first`; returns the samples already covered.
int64_t addPiece(std::map<int64_t, int64_t>& covered, int64_t a, int64_t b, int64_t first,
                 uint32_t piece, std::vector<SeedShare>& shares) {
  const auto share = [&](int64_t from, int64_t n) {
    shares.push_back({from, static_cast<int32_t>(n), static_cast<int32_t>(from - first), piece});
  };
  int64_t overlapping = 0;
  auto it = covered.upper_bound(a);
  if (it != covered.begin() && std::prev(it)->second >= a) --it;
  for (int64_t at = a; at <= b;) {
    if (it == covered.end() || it->first > b) {
      share(at, b - at + 1);
      break;
    }
    if (it->first > at) share(at, it->first - at);
    overlapping += std::min(it->second, b) - std::max(it->first, at) + 1;
    at = it->second + 1;
    ++it;
  }
  int64_t lo = a, hi = b;
  it = covered.upper_bound(a);
  if (it != covered.begin() && std::prev(it)->second >= a - 1) --it;
  while (it != covered.end() && it->first <= b + 1) {
    lo = std::min(lo, it->first);
    hi = std::max(hi, it->second);
    it = covered.erase(it);
  }
  covered[lo] = hi;
  return overlapping;
}

}  // namespace

SeedLayout scanMiniSeed(std::string_view bytes, int fd, const std::string& name) {
  std::lock_guard<std::mutex> lock(captureMutex);
  ms_loginit(capture, nullptr, capture, nullptr);
  SeedLayout layout;
  std::vector<Trace> traces;
  int64_t textRecords = 0;
  SeedRecords reading(bytes, fd, name);
  // Room for a piece per record of the smallest length: only what is used becomes
  // resident, and the pieces are never copied as they grow.
  struct stat st {};
  const uint64_t size =
      fd >= 0 ? (::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0) : bytes.size();
  layout.pieces.reserve(static_cast<std::size_t>(size / 128 + 1));
  std::string where;
  while (const MSRecord* record = reading.next(where)) {
    const MSRecord& msr = *record;
    if (msr.sampletype == 'a') {  // a log record: text, no samples
      ++textRecords;
      continue;
    }
    if (msr.numsamples <= 0) continue;
    if (!(msr.samprate > 0.0)) throw InputError(name, 0, where + ": samples without a sample rate");
    char id[100];
    msr_srcname(const_cast<MSRecord*>(&msr), id, 0);
    auto trace =
        std::find_if(traces.begin(), traces.end(), [&](const Trace& t) { return t.id == id; });
    if (trace == traces.end()) {
      traces.push_back({id, msr.samprate, msr.starttime, msr.starttime});
      trace = traces.end() - 1;
    }
    // Every channel of the run has one step: each record's rate is the first one's.
    const Trace& reference = traces.front();
    if (std::fabs(msr.samprate / reference.rate - 1.0) > 1e-4)
      throw InputError(name, 0,
                       "traces of different sample rates: " + reference.id + " at " +
                           rateText(reference.rate) + ", " + id + " at " + rateText(msr.samprate) +
                           " in " + where + "; every channel must have the same rate");
    if (layout.pieces.size() >= UINT32_MAX || msr.numsamples > INT32_MAX)
      throw InputError(name, 0, where + ": too many records or samples");
    const auto p = static_cast<uint32_t>(layout.pieces.size());
    const SeedPiece piece{msr.starttime, reading.offset(), static_cast<int32_t>(msr.numsamples),
                          msr.reclen, static_cast<int32_t>(trace - traces.begin())};
    for (int64_t i = 0; i < msr.numsamples; ++i) {
      if (!std::isnan(sampleValue(msr, i))) continue;
      if (!layout.gaps.empty() && layout.gaps.back().piece == p && layout.gaps.back().last == i - 1)
        layout.gaps.back().last = i;
      else
        layout.gaps.push_back({p, i, i});
    }
    const hptime_t lastSample =
        msr.starttime + std::llround(double(msr.numsamples - 1) / trace->rate * double(HPTMODULUS));
    trace->first = std::min(trace->first, msr.starttime);
    trace->last = std::max(trace->last, lastSample);
    layout.pieces.push_back(piece);
  }
  if (traces.empty())
    throw InputError(name, 0,
                     "no samples: " + std::to_string(reading.records()) + " records, " +
                         std::to_string(textRecords) + " of them text");

  // The span every trace covers, on the first trace's sample grid.
  const double rate = traces.front().rate;
  hptime_t start = traces.front().first, end = traces.front().last;
  for (const Trace& t : traces) start = std::max(start, t.first), end = std::min(end, t.last);
  if (end < start) {
    std::string spans;
    for (const Trace& t : traces)
      spans += (spans.empty() ? "" : ", ") + t.id + " from " + timeText(t.first) + " to " +
               timeText(t.last);
    throw InputError(name, 0, "the traces share no time span (" + spans + ")");
  }
  const auto index = [&](hptime_t t) {
    return std::llround(double(t - start) * rate / double(HPTMODULUS));
  };
  const int64_t count = index(end) + 1;

  Record& record = layout.record;
  record.source = name;
  record.count = count;
  record.timed = true;
  record.start = double(start) / double(HPTMODULUS);
  record.step = 1.0 / rate;
  record.timeUnit = "s";
  for (const Trace& t : traces) record.names.push_back(t.id);
  // Where records overlap, the samples read first are kept.
  int64_t overlapping = 0;
  std::vector<std::map<int64_t, int64_t> > covered(traces.size());
  layout.shares.resize(traces.size());
  std::vector<std::size_t> pieces(traces.size(), 0);
  for (const SeedPiece& piece : layout.pieces) ++pieces[static_cast<std::size_t>(piece.trace)];
  for (std::size_t j = 0; j < traces.size(); ++j) layout.shares[j].reserve(pieces[j]);
  for (uint32_t p = 0; p < layout.pieces.size(); ++p) {
    const SeedPiece& piece = layout.pieces[p];
    const auto j = static_cast<std::size_t>(piece.trace);
    const int64_t first = index(piece.start);
    const int64_t a = std::max<int64_t>(first, 0), b = std::min(first + piece.samples, count) - 1;
    if (a <= b) overlapping += addPiece(covered[j], a, b, first, p, layout.shares[j]);
  }
  for (std::vector<SeedShare>& shares : layout.shares)
    std::sort(shares.begin(), shares.end(),
              [](const SeedShare& x, const SeedShare& y) { return x.first < y.first; });
  if (overlapping > 0)
    record.warnings.push_back(name + ": " + std::to_string(overlapping) +
                              " samples of records that overlap earlier ones of the same trace "
                              "were left out");
  if (textRecords > 0)
    record.warnings.push_back(name + ": " + std::to_string(textRecords) +
                              " records of text (logs) were left out");
  return layout;
}

void decodeSeedPiece(const char* record, const SeedPiece& piece, const std::string& name,
                     std::vector<float>& values) {
  std::lock_guard<std::mutex> lock(captureMutex);
  ms_loginit(capture, nullptr, capture, nullptr);
  std::string buffer(record, static_cast<std::size_t>(piece.length));
  RecordOwner owner;
  const int status = msr_parse(buffer.data(), piece.length, &owner.msr, 0, 1, 0);
  if (status != 0 || !owner.msr || owner.msr->numsamples != piece.samples ||
      owner.msr->starttime != piece.start)
    throw InputError(name, 0,
                     "changed while it was read: the record at byte " +
                         std::to_string(piece.offset) + " is not the one first read",
                     InputError::Kind::readFailure);
  values.resize(static_cast<std::size_t>(piece.samples));
  for (int64_t i = 0; i < piece.samples; ++i)
    values[static_cast<std::size_t>(i)] = sampleValue(*owner.msr, i);
}

std::vector<Gap> seedGaps(const SeedLayout& layout) {
  std::vector<Gap> gaps;
  const auto add = [&](int32_t channel, int64_t a, int64_t b) {
    if (!gaps.empty() && gaps.back().channel == channel && gaps.back().last == a)
      gaps.back().last = b + 1;
    else
      gaps.push_back({channel, a + 1, b + 1});
  };
  const int64_t count = layout.record.count;
  for (std::size_t j = 0; j < layout.shares.size(); ++j) {
    const auto channel = static_cast<int32_t>(j + 1);
    int64_t at = 0;
    for (const SeedShare& s : layout.shares[j]) {
      if (s.first > at) add(channel, at, s.first - 1);
      auto run = std::lower_bound(layout.gaps.begin(), layout.gaps.end(), s.piece,
                                  [](const SeedRun& r, uint32_t piece) { return r.piece < piece; });
      for (; run != layout.gaps.end() && run->piece == s.piece; ++run) {
        const int64_t from = std::max<int64_t>(run->first, s.from),
                      to = std::min<int64_t>(run->last, s.from + s.n - 1);
        if (from <= to) add(channel, s.first + from - s.from, s.first + to - s.from);
      }
      at = s.first + s.n;
    }
    if (at < count) add(channel, at, count - 1);
  }
  return gaps;
}

Record parseMiniSeed(std::string_view bytes, const std::string& name) {
  SeedLayout layout = scanMiniSeed(bytes, -1, name);
  Record record = std::move(layout.record);
  const int64_t count = record.count;
  record.data.assign(static_cast<std::size_t>(count) * layout.shares.size(),
                     std::numeric_limits<float>::quiet_NaN());
  std::vector<float> values;
  for (std::size_t j = 0; j < layout.shares.size(); ++j) {
    float* channel = record.data.data() + j * static_cast<std::size_t>(count);
    for (const SeedShare& s : layout.shares[j]) {
      const SeedPiece& piece = layout.pieces[s.piece];
      decodeSeedPiece(bytes.data() + piece.offset, piece, name, values);
      std::copy_n(values.begin() + s.from, s.n, channel + s.first);
    }
  }
  return record;
}

#endif

}  // namespace kelv
