// Spectral coherence estimation of one window: preprocessing, the vector
// autoregressive fit and its spectral matrices, and the canonical coherences.
// ARSPECTR, CANOCOH and coherenceMeasure exist for float storage and for double
// storage, one algorithm each; the run's own path is coherenceSpectrum
// (estimation/lanes.hpp).
#pragma once

#include <cstdint>

#include "numerics/arrays.hpp"

namespace kelv {

// Preprocesses channels 1..nch of x (nch x nfft floats, columns 1..nlen used) in
// place: linear trend removal when itrend == 1, first differences when idiff == 1,
// ten passes of centring and clipping at three standard deviations, standardisation.
void TRANSFX(int32_t nch, int32_t nlen, int32_t nfft, int32_t itrend, int32_t idiff, float* x);

// Fits the VAR model x(t) + A_1 x(t-1) + ... + A_p x(t-p) = e(t) of order p = order
// to columns 1..nlen of x (nch x >= nlen floats) by Whittle's recursion and writes
// its spectral matrices S(f) = H^-1 V H^-H / 2pi for f = 1..nfreq (frequency
// (f-1)/nfft cycles per sample) into spectra (nch x nch x nfreq). Needs order + 1 <=
// nfft. Returns the number of inversions of the fit that met a singular matrix; the
// spectral matrices are then meaningless.
int32_t ARSPECTR(int32_t order, int32_t nch, int32_t nlen, int32_t nfft, int32_t nfreq,
                 const float* x, cfloat* spectra);
int32_t ARSPECTR(int32_t order, int32_t nch, int32_t nlen, int32_t nfft, int32_t nfreq,
                 const float* x, cdouble* spectra);

// Multiple coherence of every channel with all the others, from the Hermitian
// spectral matrix freqMatrix (nch x nch) into coherences(1..nch).
void CANOCOH(const cfloat* freqMatrix, int32_t nch, float* coherences);
void CANOCOH(const cdouble* freqMatrix, int32_t nch, double* coherences);

// The coherence measure: sqrt(R(1) * ... * R(nch)), product and root in double.
float coherenceMeasure(const float* coherences, int32_t nch);
double coherenceMeasure(const double* coherences, int32_t nch);

}  // namespace kelv
