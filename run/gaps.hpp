// The gaps of one channel found sample by sample, for readings that never hold the
// channel whole; findGaps finds them so on a held record.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "kelvarodine/analysis.hpp"

namespace kelv {

// Runs of samples that are not finite in one channel, in the order of their samples.
class GapRuns {
 public:
  explicit GapRuns(int32_t channel) : channel_(channel) {}
  void add(float v, int64_t k) {  // sample k, from 1
    if (!std::isfinite(v)) {
      if (runFirst_ == 0) runFirst_ = k;
    } else if (runFirst_ != 0) {
      gaps_.push_back({channel_, runFirst_, k - 1});
      runFirst_ = 0;
    }
  }
  // The gaps, a run still open ending at sample `last`.
  std::vector<Gap> finish(int64_t last) {
    if (runFirst_ != 0) gaps_.push_back({channel_, runFirst_, last});
    runFirst_ = 0;
    return std::move(gaps_);
  }

 private:
  int32_t channel_;
  int64_t runFirst_ = 0;
  std::vector<Gap> gaps_;
};

}  // namespace kelv
