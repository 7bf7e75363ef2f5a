// Progress lines of the window loop.
#include "cli/progress.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "textio/textio.hpp"

namespace kelv::cli {

Progress::Progress(int64_t total, bool quiet, bool terminal)
    : total_(total),
      quiet_(quiet),
      terminal_(terminal),
      started_(std::chrono::steady_clock::now()),
      lastShown_(started_) {}

std::string durationText(double seconds) {
  const int64_t s = std::llround(std::max(seconds, 0.0));
  if (s < 100) return std::to_string(s) + " s";
  const int64_t minutes = (s + 30) / 60;
  if (minutes < 100) return std::to_string(minutes) + " min";
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

std::string Progress::text(int64_t done, bool withTimeLeft) const {
  const int64_t percent = total_ > 0 ? done * 100 / total_ : 100;
  std::string t = "windows " + std::to_string(done) + " of " + std::to_string(total_) + " (" +
                  std::to_string(percent) + " %)";
  if (withTimeLeft && done > 0 && done < total_) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    t += ", " + durationText(elapsed / double(done) * double(total_ - done)) + " left";
  }
  return t;
}

void Progress::update(int64_t done) {
  if (quiet_) return;
  if (terminal_) {
    // Rewritten at most five times a second, and at the end.
    const auto now = std::chrono::steady_clock::now();
    if (done != 0 && done != total_ && now - lastShown_ < std::chrono::milliseconds(200)) return;
    lastShown_ = now;
    std::string t = text(done, true);
    const std::size_t length = t.size();
    if (length < shownLength_) t.append(shownLength_ - length, ' ');
    shownLength_ = length;
    std::fputs(("\r" + t).c_str(), stdout);
    std::fflush(stdout);
    lineOpen_ = true;
    // An interrupt's report then starts on a line of its own.
    setConsoleLineOpen(true);
    return;
  }
  const int64_t tenths = total_ > 0 ? done * 10 / total_ : 10;
  if (tenths == tenthsShown_) return;
  tenthsShown_ = tenths;
  std::fputs((text(done, false) + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void Progress::finish() {
  if (!lineOpen_) return;
  std::fputs("\n", stdout);
  std::fflush(stdout);
  setConsoleLineOpen(false);
  lineOpen_ = false;
}

}  // namespace kelv::cli
