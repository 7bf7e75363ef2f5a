// The vector autoregressive fit, for float and for double coefficients: the window
// analysis runs it in double precision, the reference route (reference/) in float.
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

}  // namespace kelv
