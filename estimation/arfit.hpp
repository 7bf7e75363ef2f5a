// The two stages of ARSPECTR, callable on their own so that tests can hold the
// fitted model against the one that generated the data. Not part of the library's
// public contract (estimation/estimation.hpp).
#pragma once

#include <cstdint>

#include "numerics/arrays.hpp"

namespace kelv {

// Fits x(t) + A_1 x(t-1) + ... + A_p x(t-p) = e(t), p = order, to columns 1..nlen
// of x (nch rows) by Whittle's recursion on the biased lag covariances. Writes the
// coefficient matrices into a (nch x nch x order, A_l(i, j) at (i, j, l)), the final
// forward prediction-error covariance (the innovation covariance V) into vf and its
// inverse from MATRINV into vfinv (both nch x nch).
void ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, float* a, float* vf,
           float* vfinv);

// Spectral matrices S(f) = (H^H V^-1 H)^-1 / 2pi of the model (a, vfinv) for
// f = 1..nfreq, frequency (f-1)/nfft cycles per sample, into spec (nch x nch x
// nfreq). Needs order + 1 <= nfft and nfreq <= nfft.
void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const float* a,
            const float* vfinv, cfloat* spec);

}  // namespace kelv
