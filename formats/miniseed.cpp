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
#include "kelvarodine/inputs.hpp"

#ifdef KELV_HAVE_MSEED
#include <libmseed.h>

#include <climits>
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

// One record's samples of a trace, and where they start.
struct Piece {
  hptime_t start;
  std::vector<float> values;
};

struct Trace {
  std::string id;
  double rate = 0.0;
  std::vector<Piece> pieces;
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

}  // namespace

Record parseMiniSeed(std::string_view bytes, const std::string& name) {
  std::lock_guard<std::mutex> lock(captureMutex);
  ms_loginit(capture, nullptr, capture, nullptr);
  // libmseed parses from a buffer it may write to.
  std::string buffer(bytes);
  std::vector<Trace> traces;
  int64_t records = 0, textRecords = 0;
  std::size_t offset = 0;
  while (offset < buffer.size()) {
    captured.clear();
    RecordOwner owner;
    const std::size_t left = std::min<std::size_t>(buffer.size() - offset, INT_MAX);
    const int status = msr_parse(&buffer[offset], static_cast<int>(left), &owner.msr, 0, 1, 0);
    ++records;
    const std::string where =
        "record " + std::to_string(records) + " (byte " + std::to_string(offset) + ")";
    if (status > 0) throw InputError(name, 0, where + ": the file ends inside the record");
    if (status < 0 || !owner.msr || owner.msr->reclen <= 0) {
      const std::string detail = capturedReason();
      throw InputError(name, 0,
                       where + ": not a miniSEED data record (" +
                           (detail.empty() ? std::string(ms_errorstr(status)) : detail) + ")");
    }
    const MSRecord& msr = *owner.msr;
    offset += static_cast<std::size_t>(msr.reclen);
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
      traces.push_back({id, msr.samprate, {}, msr.starttime, msr.starttime});
      trace = traces.end() - 1;
    }
    // Every channel of the run has one step: each record's rate is the first one's.
    const Trace& reference = traces.front();
    if (std::fabs(msr.samprate / reference.rate - 1.0) > 1e-4)
      throw InputError(name, 0,
                       "traces of different sample rates: " + reference.id + " at " +
                           rateText(reference.rate) + ", " + id + " at " + rateText(msr.samprate) +
                           " in " + where + "; every channel must have the same rate");
    Piece piece{msr.starttime, std::vector<float>(static_cast<std::size_t>(msr.numsamples))};
    for (int64_t i = 0; i < msr.numsamples; ++i)
      piece.values[static_cast<std::size_t>(i)] = sampleValue(msr, i);
    const hptime_t lastSample =
        msr.starttime + std::llround(double(msr.numsamples - 1) / trace->rate * double(HPTMODULUS));
    trace->first = std::min(trace->first, msr.starttime);
    trace->last = std::max(trace->last, lastSample);
    trace->pieces.push_back(std::move(piece));
  }
  if (traces.empty())
    throw InputError(name, 0,
                     "no samples: " + std::to_string(records) + " records, " +
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

  Record record;
  record.source = name;
  record.count = count;
  record.timed = true;
  record.start = double(start) / double(HPTMODULUS);
  record.step = 1.0 / rate;
  record.timeUnit = "s";
  record.data.assign(static_cast<std::size_t>(count) * traces.size(),
                     std::numeric_limits<float>::quiet_NaN());
  int64_t overlapping = 0;
  for (std::size_t j = 0; j < traces.size(); ++j) {
    record.names.push_back(traces[j].id);
    float* channel = record.data.data() + j * static_cast<std::size_t>(count);
    std::vector<bool> filled(static_cast<std::size_t>(count), false);
    for (const Piece& piece : traces[j].pieces) {
      const int64_t first = index(piece.start);
      for (std::size_t i = 0; i < piece.values.size(); ++i) {
        const int64_t k = first + static_cast<int64_t>(i);
        if (k < 0 || k >= count) continue;
        // Where records overlap, the samples read first are kept.
        if (filled[static_cast<std::size_t>(k)]) {
          ++overlapping;
          continue;
        }
        filled[static_cast<std::size_t>(k)] = true;
        channel[k] = piece.values[i];
      }
    }
  }
  if (overlapping > 0)
    record.warnings.push_back(name + ": " + std::to_string(overlapping) +
                              " samples of records that overlap earlier ones of the same trace "
                              "were left out");
  if (textRecords > 0)
    record.warnings.push_back(name + ": " + std::to_string(textRecords) +
                              " records of text (logs) were left out");
  return record;
}

#endif

}  // namespace kelv
