// The settings' rules, checked in one place for every front-end, and the sizes and
// axes they imply.
#include "kelvarodine/settings.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

namespace kelv {

SettingsError::SettingsError(std::string setting, const std::string& message)
    : std::invalid_argument(message), setting_(std::move(setting)) {}

int32_t fftLength(int32_t nlen) {
  if (nlen <= 1) return 1;
  int32_t nfft = 2;
  while (nfft < nlen) nfft *= 2;
  return nfft;
}

int32_t clampShift(int32_t shift, int32_t nlen) {
  return std::min(nlen - 1, std::max(1, shift));
}

int32_t windowCount(int32_t realSamples, int32_t nlen, int32_t shift) {
  return (realSamples - nlen) / shift + 1;
}

namespace {

std::string text(int64_t v) {
  return std::to_string(v);
}

// The highest order whose fit the window determines: nlen > nch order (fewer
// coefficients in one equation of the model than samples) and nlen > nch (order + 1)
// - order (the lag covariance matrix of order + 1 lags can be regular). Below 1 when
// no order is.
int64_t highestOrder(int64_t nch, int64_t nlen) {
  const int64_t byCoefficients = (nlen - 1) / std::max<int64_t>(nch, 1);
  if (nch <= 1) return byCoefficients;
  const int64_t room = nlen - nch - 1;  // nlen - nch - 1 >= order (nch - 1)
  const int64_t byCovariances = room < 0 ? -1 : room / (nch - 1);
  return std::min(byCoefficients, byCovariances);
}

// Whether the doubles `values` are finite and each within 1/1024 of `spacing` of the
// exact value they were rounded from (half a unit in the last place).
bool heldToSpacing(std::initializer_list<double> values, double spacing) {
  const double grain = spacing * 0x1p-10;
  if (!std::isfinite(spacing) || !(grain >= std::numeric_limits<double>::denorm_min()))
    return false;
  for (double v : values)
    if (!std::isfinite(v) || std::fabs(v) * 0x1p-53 > grain) return false;
  return true;
}

}  // namespace

std::string recordProblem(int64_t nch, int64_t realSamples) {
  if (nch < kMinChannels)
    return "data: at least " + text(kMinChannels) + " channels are needed, not " + text(nch);
  if (realSamples < kMinSamples)
    return "data: at least " + text(kMinSamples) + " samples per channel are needed, not " +
           text(realSamples);
  if (realSamples > std::numeric_limits<int32_t>::max())
    return "data: at most " + text(std::numeric_limits<int32_t>::max()) +
           " samples per channel, not " + text(realSamples);
  return {};
}

std::string differencingProblem(int32_t idiff) {
  if (idiff == 0 || idiff == 1) return {};
  return "diff must be 0 (the series as they are) or 1 (first differences), not " + text(idiff);
}

// Below 2 no shift keeps consecutive windows overlapping, above realSamples no window
// fits, above 2^30 no power of two fits 32 bits, and a window of fewer than 2 nch
// samples admits no model order.
std::string windowLengthProblem(int32_t nlen, int32_t nch, int64_t realSamples) {
  const int64_t longest = std::min<int64_t>(realSamples, kMaxWindowLength);
  if (nlen < 2 || nlen > longest)
    return "window must be from 2 to " + text(longest) + " samples (the record's length), not " +
           text(nlen);
  if (highestOrder(nch, nlen) < 1)
    return "window must be at least " + text(2 * int64_t(nch)) +
           " samples (twice the channel count) for a model of order 1 of " + text(nch) +
           " channels, not " + text(nlen);
  return {};
}

std::string orderProblem(int32_t order, int32_t nch, int32_t nlen) {
  const int64_t highest = highestOrder(nch, nlen);
  if (order >= 1 && order <= highest) return {};
  if (order < 1) return "order must be at least 1, not " + text(order);
  return "order must be at most " + text(highest) + " for " + text(nch) +
         " channels and a window of " + text(nlen) +
         " samples (the window must exceed both channels x order and channels x (order + 1) - "
         "order), not " +
         text(order);
}

std::string timeMarksProblem(const Plan& plan) {
  if (!(plan.Tstep > 0.0)) return "dt (the time step) must be greater than 0";
  const GridAxes axes = gridAxes(plan);
  if (!heldToSpacing({plan.Tini, axes.xMin, axes.xMax}, double(plan.shift) * plan.Tstep))
    return "t0 and dt: the time marks must be finite and held to a thousandth of the column "
           "spacing (shift x dt) by a double; count time from a nearer origin";
  if (!heldToSpacing({axes.yMin, axes.yMax}, 1.0 / double(plan.nfft) / plan.Tstep))
    return "dt: the frequency axis would not be finite";
  return {};
}

Plan makePlan(const Settings& settings, int32_t nch, int64_t realSamples) {
  const auto require = [](const char* setting, const std::string& problem) {
    if (!problem.empty()) throw SettingsError(setting, problem);
  };
  require("data", recordProblem(nch, realSamples));
  require("diff", differencingProblem(settings.idiff));
  require("window", windowLengthProblem(settings.nlen, nch, realSamples));
  require("order", orderProblem(settings.order, nch, settings.nlen));
  Plan plan;
  plan.nch = nch;
  plan.realSamples = static_cast<int32_t>(realSamples);
  plan.idiff = settings.idiff;
  plan.nlen = settings.nlen;
  plan.nfft = fftLength(settings.nlen);
  plan.nfreq = plan.nfft / 2;
  plan.shift = clampShift(settings.shift, settings.nlen);
  plan.order = settings.order;
  plan.nWindows = windowCount(plan.realSamples, plan.nlen, plan.shift);
  plan.Tini = settings.Tini;
  plan.Tstep = settings.Tstep;
  const std::string times = timeMarksProblem(plan);
  if (!times.empty()) throw SettingsError(times.rfind("dt", 0) == 0 ? "dt" : "t0", times);
  return plan;
}

// Integer parts in integer arithmetic, converted exactly; Tini + k Tstep by a fused
// multiply-add and (f - 1) / nfft (exact: nfft is a power of two) / Tstep are each
// rounded once.
double windowTime(const Plan& plan, int64_t w) {
  const int64_t lastSample = (w - 1) * plan.shift + plan.nlen - 1;
  return std::fma(double(lastSample), plan.Tstep, plan.Tini);
}

double rowFrequency(const Plan& plan, int32_t f) {
  return double(f - 1) / double(plan.nfft) / plan.Tstep;
}

GridAxes gridAxes(const Plan& plan) {
  return {windowTime(plan, 1), windowTime(plan, plan.nWindows), 0.0,
          rowFrequency(plan, plan.nfreq)};
}

}  // namespace kelv
