// The settings of an analysis, the rules they must follow, and every size they imply.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelv {

// What the operator chooses: differencing, window, shift, order and the time marks.
struct Settings {
  int32_t idiff = 0;   // 1: analyse first differences, 0: the series as they are
  int32_t nlen = 0;    // window length in samples
  int32_t shift = 1;   // samples between window starts; clamped to 1 .. nlen - 1
  int32_t order = 1;   // order of the autoregressive model
  double Tini = 0.0;   // time mark of the first sample
  double Tstep = 1.0;  // time between samples, > 0
};

// A run's settings together with the record's extents and the sizes derived from
// them. Windows are numbered 1 .. nWindows; window w holds samples
// (w - 1) shift + 1 .. (w - 1) shift + nlen of every channel. Grid row f (1 .. nfreq)
// is the frequency (f - 1) / nfft cycles per sample.
struct Plan {
  int32_t nch = 0;          // channels
  int32_t realSamples = 0;  // common length of the channels
  int32_t idiff = 0;
  int32_t nlen = 0;
  int32_t nfft = 0;   // smallest power of two not below nlen
  int32_t nfreq = 0;  // nfft / 2
  int32_t shift = 0;  // after clamping
  int32_t order = 0;
  int32_t nWindows = 0;
  double Tini = 0.0;
  double Tstep = 1.0;
};

// A setting that breaks its rule: setting() names it ("window", "order", ...), what()
// says the rule.
class SettingsError : public std::invalid_argument {
 public:
  SettingsError(std::string setting, const std::string& message);
  const std::string& setting() const noexcept { return setting_; }

 private:
  std::string setting_;
};

inline constexpr int32_t kMinChannels = 2;
inline constexpr int32_t kMinSamples = 64;
inline constexpr int32_t kMaxWindowLength = int32_t{1} << 30;

// The plan of the settings for nch channels of realSamples common samples; throws
// SettingsError for the first rule broken, in the order of the checks below.
Plan makePlan(const Settings& settings, int32_t nch, int64_t realSamples);

// The rules one by one, in the order a dialogue asks them: each returns an empty
// string when the value is accepted, otherwise the rule it breaks.
std::string recordProblem(int64_t nch, int64_t realSamples);
std::string differencingProblem(int32_t idiff);
// From 2 to the record's length, and long enough for a model of order 1 of nch
// channels.
std::string windowLengthProblem(int32_t nlen, int32_t nch, int64_t realSamples);
// At least 1, and every coefficient determined: nlen > nch (order + 1) - order. A
// shorter window leaves the lag covariance matrix of the fit singular, so that no
// node of the grid could have a value.
std::string orderProblem(int32_t order, int32_t nch, int32_t nlen);
// A positive time step, and axes that a grid file can carry: finite, with every time
// mark and frequency held to a small fraction of a column or row. Needs every field
// of the plan.
std::string timeMarksProblem(const Plan& plan);

// Smallest power of two 2^k, k >= 1, not below nlen; 1 for nlen <= 1.
int32_t fftLength(int32_t nlen);
// A shift clamped to 1 .. nlen - 1 (nlen >= 2).
int32_t clampShift(int32_t shift, int32_t nlen);
// (realSamples - nlen) / shift + 1, truncating toward zero.
int32_t windowCount(int32_t realSamples, int32_t nlen, int32_t shift);

// The grid's axes: time marks of the first and last window's last sample, and the
// frequencies of the first and last row, 0 and (nfreq - 1) / (nfft Tstep); each
// rounded once.
struct GridAxes {
  double xMin, xMax, yMin, yMax;
};
GridAxes gridAxes(const Plan& plan);
// Time mark of window w's last sample; frequency of row f; each rounded once.
double windowTime(const Plan& plan, int64_t w);
double rowFrequency(const Plan& plan, int32_t f);

}  // namespace kelv
