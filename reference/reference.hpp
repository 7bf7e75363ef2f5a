// The window analysis as a route of single-precision routines, kept beside the run's
// double-precision route as the reference that tests and benchmarks hold it against:
// the fit's spectral matrices (ARSPECTR, through ARFIT and ARSPEC) and the canonical
// coherences (CANOCOH). Each exists for float and for double storage, one algorithm
// each. The run never calls them, and they are not installed.
#pragma once

#include <cstdint>

#include "numerics/arrays.hpp"

namespace kelv {

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

// Spectral matrices S(f) = (H^H V^-1 H)^-1 / 2pi of the model (a, vfinv) for
// f = 1..nfreq, frequency (f-1)/nfft cycles per sample, into spectra (nch x nch x
// nfreq): the transfer function H from FASTF, G = H^H V^-1 H summed directly and
// inverted by HERMINV. Needs order + 1 <= nfft and nfreq <= nfft.
void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const float* a,
            const float* vfinv, cfloat* spectra);
void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const double* a,
            const double* vfinv, cdouble* spectra);

}  // namespace kelv
