// Records from files: reading a whole file, choosing its reader, and laying the
// channels of several files side by side.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "formats/fields.hpp"
#include "formats/readers.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv {

namespace {

std::string where(const std::string& file, int64_t line, const std::string& reason) {
  return line > 0 ? file + ":" + std::to_string(line) + ": " + reason : file + ": " + reason;
}

InputError openError(const std::string& path, int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return InputError(path, 0, "no such file", InputError::Kind::notFound);
    case EACCES:
    case EPERM:
      return InputError(path, 0, "permission denied", InputError::Kind::permission);
    default:
      return InputError(path, 0, std::string("cannot be opened: ") + std::strerror(err),
                        InputError::Kind::openFailure);
  }
}

// The whole content of a file; a pipe or a device is read once, to its end.
std::string readWholeFile(const std::string& path) {
  if (path.empty()) throw InputError(path, 0, "an empty file name", InputError::Kind::openFailure);
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw openError(path, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw InputError(path, 0, "is a directory", InputError::Kind::openFailure);
  }
  std::string bytes;
  if (S_ISREG(st.st_mode) && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      bytes.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    const int err = errno;
    ::close(fd);
    throw InputError(path, 0, std::string("cannot be read: ") + std::strerror(err),
                     InputError::Kind::readFailure);
  }
  ::close(fd);
  return bytes;
}

// A time as the messages show it: the shortest text that gives the double back.
std::string timeText(double t) {
  return shortestDouble(t);
}

// Two steps agree when they differ by less than a ten-thousandth.
bool sameStep(double a, double b) {
  return std::fabs(a - b) <= 1e-4 * std::max(std::fabs(a), std::fabs(b));
}

}  // namespace

InputError::InputError(std::string file, int64_t line, std::string reason, Kind kind)
    : std::runtime_error(where(file, line, reason)),
      file_(std::move(file)),
      line_(line),
      reason_(std::move(reason)),
      kind_(kind) {}

Record readRecordFile(const std::string& path, const TableOptions& options) {
  const std::string bytes = readWholeFile(path);
  if (looksLikeMiniSeed(bytes)) return parseMiniSeed(bytes, path);
  return parseTextTable(bytes, path, options);
}

Alignment alignment(const std::vector<Record>& records) {
  if (records.empty()) return {};
  const auto timed = [](const Record& r) { return r.timed; };
  const bool allTimed = std::all_of(records.begin(), records.end(), timed);
  if (!allTimed && std::any_of(records.begin(), records.end(), timed)) {
    const Record& with = *std::find_if(records.begin(), records.end(), timed);
    const Record& without = *std::find_if_not(records.begin(), records.end(), timed);
    throw InputError(without.source, 0,
                     "has no time marks while " + with.source +
                         " has; inputs are aligned by time only when every one has time "
                         "marks (give text tables a time column, or give none)");
  }

  // Where each record's share starts, and the length all share.
  std::vector<int64_t> offsets(records.size(), 0);
  int64_t count = records[0].count;
  double start = records[0].start;
  if (allTimed) {
    const Record& first = records[0];
    const Record* latest = &first;
    double end = first.start + double(first.count - 1) * first.step;
    for (const Record& r : records) {
      if (!sameStep(r.step, first.step))
        throw InputError(r.source, 0,
                         "its time step " + timeText(r.step) + " differs from the step " +
                             timeText(first.step) + " of " + first.source +
                             "; every input must have the same sample rate");
      if (r.start > latest->start) latest = &r;
      end = std::min(end, r.start + double(r.count - 1) * r.step);
    }
    start = latest->start;
    for (std::size_t i = 0; i < records.size(); ++i)
      offsets[i] = std::llround((start - records[i].start) / first.step);
    count = INT64_MAX;
    for (std::size_t i = 0; i < records.size(); ++i)
      count = std::min(count, records[i].count - offsets[i]);
    if (count <= 0 || end < start) {
      std::string spans;
      for (const Record& r : records)
        spans += (spans.empty() ? "" : ", ") + r.source + " from " + timeText(r.start) + " to " +
                 timeText(r.start + double(r.count - 1) * r.step);
      throw InputError(latest->source, 0, "the inputs share no time span (" + spans + ")");
    }
  } else {
    for (const Record& r : records) count = std::min(count, r.count);
  }
  Alignment aligned;
  aligned.offsets = std::move(offsets);
  Record& all = aligned.record;
  all.count = count;
  all.timed = allTimed;
  all.start = start;
  all.step = records[0].step;
  all.timeUnit = records[0].timeUnit;
  for (const Record& r : records)
    if (r.timeUnit != all.timeUnit) all.timeUnit.clear();
  std::set<std::string> used;
  for (const Record& r : records) {
    all.source += (all.source.empty() ? "" : ", ") + r.source;
    for (const std::string& original : r.names) {
      // Channel names stay distinct: they name the channels' files.
      std::string name = original;
      for (int k = 2; used.count(name) > 0; ++k) name = original + "-" + std::to_string(k);
      used.insert(name);
      all.names.push_back(name);
    }
    all.warnings.insert(all.warnings.end(), r.warnings.begin(), r.warnings.end());
  }
  return aligned;
}

Record alignRecords(std::vector<Record> records) {
  Alignment aligned = alignment(records);
  Record& all = aligned.record;
  for (std::size_t i = 0; i < records.size(); ++i) {
    Record& r = records[i];
    for (int32_t j = 0; j < r.channels(); ++j) {
      const auto from = r.data.begin() + (int64_t(j) * r.count + aligned.offsets[i]);
      all.data.insert(all.data.end(), from, from + all.count);
    }
    r.data = {};
  }
  return std::move(all);
}

}  // namespace kelv
