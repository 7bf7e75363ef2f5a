// The test oracle of the window analysis: the model's definition carried out in
// double precision from the same preprocessed float window, by the straightforward
// routines (ARSPECTR's fit, transfer function, G and its Hermitian inverse, then
// CANOCOH's reduced matrices at every frequency).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "estimation/estimation.hpp"
#include "examples/varsim.hpp"
#include "reference/reference.hpp"

namespace kelv::testing {

struct OracleWindow {
  int32_t degenerate = 0;        // singular matrices met by the fit
  std::vector<double> measures;  // f = 1 .. nfreq; not-a-number where undefined
};

inline OracleWindow oracleMeasures(int32_t order, int32_t nch, int32_t nlen, int32_t nfft,
                                   const float* x) {
  const int32_t nfreq = nfft / 2;
  OracleWindow out;
  std::vector<cdouble> spectra(size_t(nch) * nch * nfreq);
  out.degenerate = ARSPECTR(order, nch, nlen, nfft, nfreq, x, spectra.data());
  std::vector<double> r(static_cast<size_t>(nch));
  for (int32_t f = 1; f <= nfreq; ++f) {
    CANOCOH(&spectra[size_t(f - 1) * nch * nch], nch, r.data());
    out.measures.push_back(coherenceMeasure(r.data(), nch));
  }
  return out;
}

// nch channels that all carry one sharp resonance (an AR(2) source of pole radius
// 0.995 at `frequency` cycles per sample), each with its own gain and delay, plus
// independent white noise of standard deviation `noise` (the source's is about 50):
// the strongly coherent, ill-conditioned case. Channel fastest, as the window buffer holds it.
inline std::vector<float> commonSourceRecord(int nch, int samples, double frequency, double noise,
                                             uint64_t seed) {
  sim::Rng rng(seed);
  const double r = 0.995, c = 2.0 * r * std::cos(6.283185307179586 * frequency);
  std::vector<double> s(static_cast<size_t>(samples) + 16, 0.0);
  for (size_t t = 2; t < s.size(); ++t) s[t] = c * s[t - 1] - r * r * s[t - 2] + rng.normal();
  std::vector<float> x(size_t(nch) * samples);
  for (int t = 0; t < samples; ++t)
    for (int j = 0; j < nch; ++j)
      x[size_t(t) * nch + j] =
          float((1.0 + 0.3 * j) * s[size_t(t + 16 - j % 5)] + noise * rng.normal());
  return x;
}

}  // namespace kelv::testing
