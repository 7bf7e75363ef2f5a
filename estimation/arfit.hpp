// The vector autoregressive fit, for float and for double coefficients: the window
// analysis runs it in double precision, the reference route (reference/) in float.
#pragma once

#include <cstdint>
#include <vector>

#include "numerics/arrays.hpp"
#include "numerics/lanes.hpp"

namespace kelv {

// Working storage of the fit for one order and channel count, made once and reused
// by every window (each thread has its own), so that a fit allocates nothing. Every
// matrix is held column-major with its rows padded to whole lane vectors (`rows`),
// the padding zero.
template <class T>
struct FitWork {
  FitWork(int32_t order, int32_t nch);

  int32_t order, nch, rows;
  LaneVector<double> window;    // the window widened, rows x nlen; grows to the longest
  LaneVector<double> reversed;  // each channel reversed and followed by zeros
  LaneVector<T> gamma;          // lag covariances 0 .. order, rows x nch x (order + 1)
  LaneVector<T> a[2], b[2];     // forward and backward coefficients, rows x nch x order
  LaneVector<T> vf, vb, vfinv, vbinv, delta, deltaT;  // rows x nch
  std::vector<int32_t> pivots;
};

// Fits x(t) + A_1 x(t-1) + ... + A_p x(t-p) = e(t), p = order, to columns 1..nlen
// of x (nch rows) by Whittle's recursion on the biased lag covariances. Writes the
// coefficient matrices into a (nch x nch x order, A_l(i, j) at (i, j, l)), the final
// forward prediction-error covariance (the innovation covariance V) into vf and its
// inverse from MATRINV into vfinv (both nch x nch). Returns the number of the
// recursion's 2 order + 2 inversions that met a singular matrix (each one the
// program reports with a warning line). The forms without `work` make their own.
int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, float* a, float* vf,
              float* vfinv);
int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, double* a, double* vf,
              double* vfinv);
int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, double* a, double* vf,
              double* vfinv, FitWork<double>& work);

// The fit's first stage alone (for benchmarks): the biased lag covariances of lags
// 0 .. work.order of columns 1..nlen of x into work.gamma.
void lagCovariances(int32_t nlen, const float* x, FitWork<double>& work);

extern template struct FitWork<float>;
extern template struct FitWork<double>;

}  // namespace kelv
