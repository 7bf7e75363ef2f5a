// The progress of a run's window loop on standard output: on a terminal one line
// that is rewritten in place (windows done, per cent, time left); into a pipe or a
// file a line at the start, at every tenth and at the end; nothing when quiet.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelv::cli {

class Progress {
 public:
  Progress(int64_t total, bool quiet, bool terminal);
  void update(int64_t done);  // after `done` windows (0 at the start)
  void finish();              // ends a line rewritten in place

 private:
  std::string text(int64_t done, bool withTimeLeft) const;

  int64_t total_;
  bool quiet_, terminal_;
  int64_t tenthsShown_ = -1;
  std::size_t shownLength_ = 0;
  bool lineOpen_ = false;
  std::chrono::steady_clock::time_point started_, lastShown_;
};

// The time left as a person reads it: "40 s", "12 min", "3 h 5 min".
std::string durationText(double seconds);

}  // namespace kelv::cli
