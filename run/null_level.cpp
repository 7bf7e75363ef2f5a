// The null level: the distribution of the measure when the channels are mutually
// independent, estimated by simulating windows of independent channels with the run's
// extents and analysing each exactly as the loop analyses a window of the record.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "estimation/window.hpp"
#include "kelvarodine/analysis.hpp"
#include "numerics/random.hpp"
#include "parallel/workers.hpp"

namespace kelv {

namespace {

constexpr uint64_t kNullSeed = 0x4B454C564E554C4Cull;
// Samples simulated and dropped before a window, so that it starts in the stationary
// state of its model (a pole of radius 0.99 forgets its start to 0.6 % in 512 steps).
constexpr int32_t kBurnIn = 512;

// x(t) = phi(1) x(t-1) + ... + phi(p) x(t-p) + e(t), e white with unit variance.
struct ChannelModel {
  std::vector<double> phi;
};

// The autoregressive model of order up to kNullModelOrder of one channel of a stretch
// (channel x nfft, samples in columns 1..nlen), fitted as a window's channels are:
// preprocessed by TRANSFX and fitted by Whittle's recursion, which on one channel
// is the Levinson-Durbin recursion on the biased autocovariances and gives a stable
// model. A channel whose fit has no finite solution (no variance, a singular
// matrix) gets white noise.
ChannelModel fitChannel(const Plan& plan, float* channel) {
  const int32_t p = std::min(kNullModelOrder, plan.nlen - 1);
  TRANSFX(1, plan.nlen, plan.nfft, 1, plan.idiff, channel);
  std::vector<double> a(static_cast<std::size_t>(std::max(p, 0))), vf(1), vfinv(1);
  ChannelModel model;
  if (p < 1 || ARFIT(p, 1, plan.nlen, channel, a.data(), vf.data(), vfinv.data()) != 0)
    return model;
  for (double c : a)
    if (!std::isfinite(c)) return model;
  // The fit's form x(t) + A_1 x(t-1) + ... = e(t) moves the coefficients across.
  for (double c : a) model.phi.push_back(-c);
  return model;
}

// Simulated window w (from 1 to kNullWindows) into windowData (nch x nfft, zeros past
// nlen). Its channels follow the models fitted to the channels of the record's
// stretch of nlen samples at the w-th of kNullWindows evenly spaced starts, so that
// the simulated windows see the spectra the record has, where it has them; each
// channel is simulated independently from its own stretch of the window's stream.
// With idiff the model describes the differences, so the window holds their running
// sum, which the preprocessing differences back.
void simulateWindow(const Plan& plan, const Samples& samples, int64_t w, float* stretch,
                    float* windowData) {
  const int64_t start = nullStretchStart(plan, w);
  const View2<float> window(windowData, plan.nch, plan.nfft);
  const View2<float> record(stretch, plan.nch, plan.nfft);
  copyStretch(plan, samples, start, stretch);
  std::fill(windowData, windowData + int64_t(plan.nch) * plan.nfft, 0.0f);
  // Each window's stream starts at a hash of the seed and the window number, so that
  // it draws the same numbers whichever thread simulates it.
  Rng noise(mix64(kNullSeed ^ mix64(static_cast<uint64_t>(w))));
  std::vector<float> channel(static_cast<std::size_t>(plan.nfft));
  std::vector<double> history;
  for (int32_t j = 1; j <= plan.nch; ++j) {
    for (int32_t k = 1; k <= plan.nfft; ++k)
      channel[static_cast<std::size_t>(k - 1)] = record(j, k);
    const std::vector<double> phi = fitChannel(plan, channel.data()).phi;
    const std::size_t p = phi.size();
    history.assign(p, 0.0);  // x(t-1) .. x(t-p)
    double level = 0.0;
    for (int32_t t = 1 - kBurnIn; t <= plan.nlen; ++t) {
      double x = noise.normal();
      for (std::size_t l = 0; l < p; ++l) x += phi[l] * history[l];
      if (p > 0) {
        std::copy_backward(history.begin(), history.end() - 1, history.end());
        history[0] = x;
      }
      if (t < 1) continue;
      level = plan.idiff == 1 ? level + x : x;
      window(j, t) = static_cast<float>(level);
    }
  }
}

struct SimulationWork {
  std::vector<float> stretch;
  WindowWork window;
  explicit SimulationWork(const Plan& plan)
      : stretch(static_cast<std::size_t>(plan.nch) * static_cast<std::size_t>(plan.nfft)),
        window(plan) {}
};

// The level that a new value from the same distribution exceeds with probability
// 1 - p on average: the k-th smallest of the n values, k = p (n + 1) rounded (with
// kNullWindows + 1 a multiple of 100, exactly the 95th and 99th of every 100).
float quantile(const std::vector<float>& sorted, double p) {
  const double n = static_cast<double>(sorted.size());
  const auto rank = static_cast<std::size_t>(std::clamp(std::round(p * (n + 1.0)), 1.0, n));
  return sorted[rank - 1];
}

}  // namespace

int64_t nullStretchStart(const Plan& plan, int64_t w) {
  return 1 + (w - 1) * int64_t(plan.realSamples - plan.nlen) / (kNullWindows - 1);
}

std::vector<float> nullLevels(const Plan& plan, const Samples& samples, int32_t threads,
                              const std::function<void(int64_t window)>& progress) {
  if (samples.nch != plan.nch || samples.first > 1 ||
      samples.first + samples.count - 1 < plan.realSamples)
    throw std::invalid_argument("samples: the null level needs every sample of the record's " +
                                std::to_string(plan.nch) + " channels");
  // The stretches the simulated windows follow, as a caller that never holds the
  // whole record collects them.
  const int64_t nlen = plan.nlen;
  std::vector<float> stretches(static_cast<std::size_t>(kNullWindows * plan.nch * nlen));
  for (int64_t w = 1; w <= kNullWindows; ++w) {
    const int64_t start = nullStretchStart(plan, w);
    for (int32_t j = 0; j < plan.nch; ++j) {
      float* to = stretches.data() + ((w - 1) * plan.nch + j) * nlen;
      const float* from = samples.data + j * samples.channelStride;
      for (int64_t k = 0; k < nlen; ++k)
        to[k] = from[(start + k - samples.first) * samples.sampleStride];
    }
  }
  return nullLevelsOfStretches(plan, stretches.data(), threads, progress);
}

std::vector<float> nullLevelsOfStretches(const Plan& plan, const float* stretches, int32_t threads,
                                         const std::function<void(int64_t window)>& progress) {
  const int32_t nfreq = plan.nfreq;
  const int64_t count = kNullWindows;
  std::vector<float> measures(static_cast<std::size_t>(nfreq) * count);
  threads = static_cast<int32_t>(std::min<int64_t>(threadsFor(threads), count));
  std::vector<SimulationWork> works;
  for (int32_t t = 0; t < threads; ++t) works.emplace_back(plan);
  // The windows on the workers; the calling thread only reports their progress, so
  // that a caller can stop the estimate between windows.
  runInOrder(
      threads, count, 2 * int64_t(threads),
      [&](int32_t t, int64_t w) {
        SimulationWork& work = works[static_cast<std::size_t>(t)];
        float* windowData = work.window.windowData.data();
        const Samples samples = samplesFastest(stretches + (w - 1) * plan.nch * int64_t(plan.nlen),
                                               plan.nch, plan.nlen, nullStretchStart(plan, w));
        simulateWindow(plan, samples, w, work.stretch.data(), windowData);
        analyseWindowData(plan, windowData, work.window.spectral,
                          measures.data() + (w - 1) * int64_t(nfreq));
      },
      [&](int64_t w) {
        if (progress) progress(w);
      });

  // Each frequency's quantiles from its own values. Neighbouring frequencies are not
  // pooled: within a window they are strongly correlated, so pooling them narrows the
  // levels' sampling error little, and it blurs the level where a channel's spectrum
  // (and with it the level) changes quickly with frequency.
  std::vector<float> levels(static_cast<std::size_t>(nfreq) * 2);
  std::vector<float> values;
  for (int32_t f = 1; f <= nfreq; ++f) {
    values.clear();
    for (int64_t w = 0; w < count; ++w) {
      const float z = measures[w * nfreq + (f - 1)];
      if (std::isfinite(z)) values.push_back(z);
    }
    std::sort(values.begin(), values.end());
    const float blank = std::numeric_limits<float>::quiet_NaN();
    levels[f - 1] = values.empty() ? blank : quantile(values, 0.95);
    levels[nfreq + f - 1] = values.empty() ? blank : quantile(values, 0.99);
  }
  return levels;
}

}  // namespace kelv
