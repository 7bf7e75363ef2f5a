// The two stages of ARSPECTR, callable on their own so that tests can hold the
// fitted model against the one that generated the data, and the window analysis can
// run the fit in double precision. Not part of the library's public contract
// (estimation/estimation.hpp).
#pragma once

#include <cstdint>

#include "numerics/arrays.hpp"

namespace kelv {

// Fits x(t) + A_1 x(t-1) + ... + A_p x(t-p) = e(t), p = order, to columns 1..nlen
// of x (nch rows) by Whittle's recursion on the biased lag covariances. Writes the
// coefficient matrices into a (nch x nch x order, A_l(i, j) at (i, j, l)), the final
// forward prediction-error covariance (the innovation covariance V) into vf and its
// inverse from MATRINV into vfinv (both nch x nch). Returns the number of the
// recursion's 2 order + 2 inversions that met a singular matrix (each one the
// program reports with a warning line).
int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, float* a, float* vf,
              float* vfinv);
int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, double* a, double* vf,
              double* vfinv);

// Spectral matrices S(f) = (H^H V^-1 H)^-1 / 2pi of the model (a, vfinv) for
// f = 1..nfreq, frequency (f-1)/nfft cycles per sample, into spectra (nch x nch x
// nfreq): the transfer function H from FASTF, G = H^H V^-1 H summed directly and
// inverted by HERMINV. Needs order + 1 <= nfft and nfreq <= nfft.
void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const float* a,
            const float* vfinv, cfloat* spectra);
void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const double* a,
            const double* vfinv, cdouble* spectra);

}  // namespace kelv
