// The analysis of one window as the run performs it: the model fitted in double
// precision, and the coherence measure at kLanes frequencies at once from the model's
// inverse spectral matrices, by a route whose cost grows as nch^3 per frequency.
#pragma once

#include <cstdint>
#include <vector>

#include "estimation/arfit.hpp"
#include "numerics/lanes.hpp"

namespace kelv {

// Working storage for one window at a time, sized once from the run's extents and
// reused for every window; each thread has its own. The tables of unit roots that
// the transfer function needs are made here once for the run.
struct SpectralWork {
  SpectralWork(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq);

  int32_t order, nch, nfft, nfreq;
  FitWork<double> fit;                 // the fit's working storage
  std::vector<double> a, vf, vfinv;    // the fitted model: A_l, V and V^-1
  std::vector<double> rootRe, rootIm;  // exp(-2 pi i k / nfft), k = 0 .. nfft - 1
  // The model whose transfer function the spectral stage takes, at (c, d, l + 1) of
  // an nch x nch x (order + 1) array: whitened, L^-1 (l = 0) and L^-1 A_l, V = L L^T,
  // so that the transfer function is L^-1 H and G = (L^-1 H)^H (L^-1 H); or, when V
  // is not positive definite, I and A_l, with G = H^H (V^-1 H).
  std::vector<double> model;
  bool whitened = false;
  std::vector<double> factor;        // L, nch x nch
  std::vector<double> substitution;  // the model by rows while it is whitened

  // The transfer function summed directly at every block of kLanes frequencies:
  // exp(-2 pi i (f-1) l / nfft), l = 1 .. order, for block b at b x order + l - 1.
  bool byTransform;  // false: summed directly; true: by transforms of length fftLength
  LaneVector<CLaneD> twiddle;
  // By transforms, for high orders: frequency k = residues x q + r (r < residues,
  // q < fftLength) is term q of the length-fftLength transform of the sequence
  // x(l) exp(-2 pi i l r / nfft); kLanes consecutive residues r = 8 o + lane make
  // a group o, whose transforms give the blocks q (residues / kLanes) + o.
  int32_t fftLength = 0, residues = 0;
  LaneVector<CLaneD> premultiplier;  // exp(-2 pi i l (8 o + lane) / nfft), group o, l = 0..order
  std::vector<int32_t> bitReversed;  // positions of the transform's input
  LaneVector<CLaneD> sequence;       // one transform, fftLength
  LaneVector<CLaneD> transfer;       // a group's blocks of h, nch x nch x fftLength / 2

  LaneVector<CLaneD> h;                          // L^-1 H (or H) of a block, nch x nch
  LaneVector<CLaneD> vh;                         // V^-1 H, nch x nch, when not whitened
  LaneVector<CLaneD> g;                          // G, packed upper triangle, then its factor
  LaneVector<LaneD> gDiagonal, inverseDiagonal;  // G(m, m) and G^-1(m, m)
  LaneVector<CLaneD> column;                     // one column of U^-1
  LaneVector<LaneD> coherences;                  // R(m)
};

// The model of the window x (nch x >= nlen floats, preprocessed by TRANSFX) into
// work: the fit (a, vf, vfinv) and the model the spectral stage takes. Returns the
// number of the fit's inversions that met a singular matrix.
int32_t fitWindow(int32_t nlen, const float* x, SpectralWork& work);

// The coherence measure at frequencies 1..nfreq of the model in work (fitWindow) into
// measures(1..nfreq): not-a-number where G is not positive definite. With
// coherences (nch x nfreq), each channel's multiple coherence R(m) too.
void spectralStage(SpectralWork& work, float* measures, float* coherences = nullptr);

// The coherence measure at frequencies 1..nfreq of one window x (nch x >= nlen
// floats, preprocessed by TRANSFX) into measures(1..nfreq), computed in double and
// rounded once to float; with coherences (nch x nfreq), every channel's R(m) too.
// Returns the number of the fit's inversions that met a singular matrix; when there
// is any, the window's spectral matrices are meaningless and every value is
// not-a-number.
int32_t coherenceSpectrum(int32_t nlen, const float* x, SpectralWork& work, float* measures,
                          float* coherences = nullptr);

}  // namespace kelv
