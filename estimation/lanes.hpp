// The spectral stage and the canonical coherences for kLanes frequencies at once,
// and the whole analysis of one window built on them. Every lane computes the bits
// that ARSPECTR, CANOCOH and coherenceMeasure compute for its frequency (see
// numerics/lanes.hpp); these routines only do it faster.
#pragma once

#include <cstdint>
#include <vector>

#include "numerics/lanes.hpp"

namespace kelv {

// Working storage for one window at a time, sized once from the run's extents and
// reused for every window; each thread has its own.
struct SpectralWork {
  SpectralWork(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq);

  int32_t order, nch, nfft, nfreq;
  int32_t blocks;                   // ceil(nfreq / kLanes)
  std::vector<float> a, vf, vfinv;  // the fitted model
  std::vector<double> twiddles;     // FASTF's twiddle factors for nfft
  LaneVector<LaneF> fre, fim;       // kLanes transfer-function sequences
  std::vector<float> hre, him;      // H(c, d, f): nch x nch x (blocks kLanes), f fastest
  LaneVector<LaneD> hdre, hdim;     // one block of H, widened: nch x nch
  LaneVector<CLane> g, ginv, s;     // nch x nch
  LaneVector<CLaneD> inverse;       // herminvLanes's working storage, order nch
  LaneVector<CLane> reduced, reducedInv, cross;  // CANOCOH's, order nch - 1
  LaneVector<LaneF> coherences;                  // nch
};

// The transfer function H of the model in work.a (order x nch x nch coefficients
// A_l) at frequencies 1..nfreq, into work.hre and work.him.
void transferLanes(SpectralWork& work);

// Spectral matrices of frequencies first .. first + kLanes - 1 from work.hre/him and
// the inverse error covariance work.vfinv, into work.s. Frequencies past nfreq
// repeat the last one.
void spectrumLanes(SpectralWork& work, int32_t first);

// CANOCOH of the kLanes spectral matrices in work.s into work.coherences.
void canocohLanes(SpectralWork& work);

// The coherence measure at frequencies 1..nfreq of one window x (nch x >= nlen
// floats, preprocessed by TRANSFX), into measures(1..nfreq): bit for bit what
// ARSPECTR, then CANOCOH and coherenceMeasure per frequency give.
void coherenceSpectrum(int32_t nlen, const float* x, SpectralWork& work, float* measures);

}  // namespace kelv
