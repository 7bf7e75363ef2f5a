// The null level: the distribution of the measure when the channels are mutually
// independent, estimated by simulating windows of independent channels with the run's
// extents and analysing each exactly as the loop analyses a window of the record.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "driver/analysis.hpp"
#include "driver/workers.hpp"
#include "estimation/lanes.hpp"
#include "numerics/numerics.hpp"
#include "numerics/random.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr std::string_view kNullFileName = "Kelvarodine.null.grd";
constexpr uint64_t kNullSeed = 0x4B454C564E554C4Cull;
// Samples simulated and dropped before a window, so that it starts in the stationary
// state of its model (a pole of radius 0.99 forgets its start to 0.6 % in 512 steps).
constexpr int32_t kBurnIn = 512;

// x(t) = phi(1) x(t-1) + ... + phi(p) x(t-p) + e(t), e white with unit variance.
struct ChannelModel {
  std::vector<double> phi;
};

// The autoregressive model of order up to kNullModelOrder of one channel of n samples
// (nch floats apart), after the preprocessing a window gets before its fit: the
// least-squares line removed and, with idiff, first differences. Fitted by the
// Levinson-Durbin recursion on the biased autocovariances, which always gives a
// stable model; a channel without variance (or with a value that is not finite)
// gets white noise.
ChannelModel fitChannel(const float* samples, int32_t nch, int32_t channel, int32_t n,
                        int32_t idiff) {
  std::vector<double> x(static_cast<std::size_t>(n));
  for (int32_t k = 0; k < n; ++k) x[k] = samples[int64_t(k) * nch + channel];

  LTREND(x.data(), n);
  if (idiff == 1) {
    for (int32_t k = 0; k + 1 < n; ++k) x[k] = x[k + 1] - x[k];
    x.pop_back();
  }
  const int32_t m = static_cast<int32_t>(x.size());
  double mean = 0.0;
  for (double v : x) mean += v;
  mean /= m;
  for (double& v : x) v -= mean;

  const int32_t p = std::min(kNullModelOrder, m - 1);
  std::vector<double> r(static_cast<std::size_t>(std::max(p, 0) + 1), 0.0);
  for (int32_t lag = 0; lag <= p; ++lag) {
    double s = 0.0;
    for (int32_t k = lag; k < m; ++k) s += x[k] * x[k - lag];
    r[lag] = s / m;
  }
  ChannelModel model;
  if (!(r[0] > 0.0) || !std::isfinite(r[0])) return model;

  std::vector<double> phi(static_cast<std::size_t>(p) + 1, 0.0), previous;
  double error = r[0];
  int32_t fitted = 0;
  for (int32_t k = 1; k <= p; ++k) {
    double acc = r[k];
    for (int32_t j = 1; j < k; ++j) acc -= phi[j] * r[k - j];
    const double reflection = acc / error;
    const double nextError = error * (1.0 - reflection * reflection);
    if (!(std::abs(reflection) < 1.0) || !(nextError > 0.0)) break;
    previous = phi;
    phi[k] = reflection;
    for (int32_t j = 1; j < k; ++j) phi[j] = previous[j] - reflection * previous[k - j];
    error = nextError;
    fitted = k;
  }
  model.phi.assign(phi.begin() + 1, phi.begin() + 1 + fitted);
  return model;
}

// Simulated window w (from 1 to kNullWindows) into windowData (nch x nfft, zeros past
// nlen). Its channels follow the models fitted to the channels of the record's
// stretch of nlen samples at the w-th of kNullWindows evenly spaced starts, so that
// the simulated windows see the spectra the record has, where it has them; each
// channel is simulated independently from its own stretch of the window's stream.
// With idiff the model describes the differences, so the window holds their running
// sum, which the preprocessing differences back.
void simulateWindow(const RunParameters& run, const float* samples, int64_t w, float* windowData) {
  const int64_t start = (w - 1) * int64_t(run.realSamples - run.nlen) / (kNullWindows - 1);
  const View2<float> window(windowData, run.nch, run.nfft);
  std::fill(windowData, windowData + int64_t(run.nch) * run.nfft, 0.0f);
  // Each window's stream starts at a hash of the seed and the window number, so that
  // it draws the same numbers whichever thread simulates it.
  Rng noise(mix64(kNullSeed ^ mix64(static_cast<uint64_t>(w))));
  std::vector<double> history;
  for (int32_t j = 1; j <= run.nch; ++j) {
    const std::vector<double> phi =
        fitChannel(samples + start * run.nch, run.nch, j - 1, run.nlen, run.idiff).phi;
    const std::size_t p = phi.size();
    history.assign(p, 0.0);  // x(t-1) .. x(t-p)
    double level = 0.0;
    for (int32_t t = 1 - kBurnIn; t <= run.nlen; ++t) {
      double x = noise.normal();
      for (std::size_t l = 0; l < p; ++l) x += phi[l] * history[l];
      if (p > 0) {
        std::copy_backward(history.begin(), history.end() - 1, history.end());
        history[0] = x;
      }
      if (t < 1) continue;
      level = run.idiff == 1 ? level + x : x;
      window(j, t) = static_cast<float>(level);
    }
  }
}

struct SimulationWork {
  std::vector<float> windowData;
  SpectralWork spectral;
  explicit SimulationWork(const RunParameters& run)
      : windowData(static_cast<std::size_t>(run.nch) * run.nfft),
        spectral(run.order, run.nch, run.nfft, run.nfreq) {}
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

bool nullLevelRequested() {
  const char* setting = std::getenv("KELVARODINE_NULL");
  return setting && std::strcmp(setting, "1") == 0;
}

std::vector<float> estimateNullLevels(const RunParameters& run, const float* samples) {
  const int32_t nfreq = run.nfreq;
  const int64_t count = kNullWindows;
  std::vector<float> measures(static_cast<std::size_t>(nfreq) * count);
  const int32_t threads = std::min<int64_t>(analysisThreads(), count);
  std::vector<SimulationWork> works;
  for (int32_t t = 0; t < threads; ++t) works.emplace_back(run);
  // The windows in any order on the workers; nothing to write until all are done.
  runInOrder(
      threads, count, count,
      [&](int32_t t, int64_t w) {
        SimulationWork& work = works[static_cast<std::size_t>(t)];
        simulateWindow(run, samples, w, work.windowData.data());
        analyseWindowData(run, work.windowData.data(), work.spectral,
                          measures.data() + (w - 1) * int64_t(nfreq));
      },
      [](int64_t) {});

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

void writeNullGridFile(const RunParameters& run, const float* levels) {
  const GridAxes axes = gridAxes(run);
  openReplacement(kNullFileName);
  writeGrid({2, run.nfreq, 95.0, 99.0, axes.yMin, axes.yMax}, levels);
}

}  // namespace kelv
