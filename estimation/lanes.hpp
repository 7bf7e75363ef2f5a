// The analysis of one window as the run performs it: the model fitted in double
// precision, and the coherence measure at kLanes frequencies at once from the model's
// inverse spectral matrices, by a route whose cost grows as nch^3 per frequency.
#pragma once

#include <cstdint>
#include <vector>

#include "numerics/lanes.hpp"

namespace kelv {

// Working storage for one window at a time, sized once from the run's extents and
// reused for every window; each thread has its own. Nothing in it grows with the
// number of frequencies but the table of nfft unit roots.
struct SpectralWork {
  SpectralWork(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq);

  int32_t order, nch, nfft, nfreq;
  std::vector<double> a, vf, vfinv;    // the fitted model: A_l, V and V^-1
  std::vector<double> rootRe, rootIm;  // exp(-2 pi i k / nfft), k = 0 .. nfft - 1
  LaneVector<CLaneD> twiddle;          // exp(-2 pi i (f-1) l / nfft), l = 1 .. order
  LaneVector<CLaneD> h, vh;            // H and V^-1 H, nch x nch
  LaneVector<CLaneD> g;                // G = H^H V^-1 H, packed upper triangle, then its factor
  LaneVector<LaneD> gDiagonal, inverseDiagonal;  // G(m, m) and G^-1(m, m)
  LaneVector<CLaneD> column;                     // one column of U^-1
  LaneVector<LaneD> coherences;                  // R(m)
};

// The coherence measure at frequencies first .. first + kLanes - 1 (those up to
// nfreq) of the model in work, into measures(first ..): not-a-number where G is not
// positive definite. With coherences (nch x nfreq), each channel's multiple
// coherence R(m) at those frequencies too.
void spectrumBlock(SpectralWork& work, int32_t first, float* measures, float* coherences = nullptr);

// The coherence measure at frequencies 1..nfreq of one window x (nch x >= nlen
// floats, preprocessed by TRANSFX) into measures(1..nfreq), computed in double and
// rounded once to float; with coherences (nch x nfreq), every channel's R(m) too.
// Returns the number of the fit's inversions that met a singular matrix; when there
// is any, the window's spectral matrices are meaningless and every value is
// not-a-number.
int32_t coherenceSpectrum(int32_t nlen, const float* x, SpectralWork& work, float* measures,
                          float* coherences = nullptr);

}  // namespace kelv
