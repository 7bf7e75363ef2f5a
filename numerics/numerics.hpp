// Numerical kernels: stateless procedures over caller-owned, one-based,
// column-major arrays. Extents come first, then the arrays, as in each routine's
// argument list. Working storage is created on entry and released on return. Each
// routine exists for float (the program's storage type) and for double; both are one
// algorithm, instantiated twice. No kernel writes to the console: a degenerate
// matrix is reported to the caller through the returned status.
#pragma once

#include <cstdint>

#include "numerics/arrays.hpp"

namespace kelv {

// In-place forward DFT of a power-of-two length n >= 2, unscaled:
// X(k) = sum_j x(j) exp(-2 pi i (j-1)(k-1)/n). Radix-2 decimation in time; the
// twiddle recurrence runs in double precision.
void FASTF(float* xre, float* xim, int32_t n);
void FASTF(double* xre, double* xim, int32_t n);

// Inverse of the n x n matrix a into ainv; a is left unchanged. Returns true when
// the inversion completed; for a singular matrix (INVRSM met an exactly zero pivot
// row) false, and ainv receives the partial elimination.
bool MATRINV(int32_t n, const float* a, float* ainv);
bool MATRINV(int32_t n, const double* a, double* ainv);

// In-place Gauss-Jordan inversion with column interchanges of the n x n matrix held
// column-major in a. On return n holds the number of elimination steps completed
// (equal to the order exactly when the inversion succeeded). ipiv: >= n integers.
void INVRSM(float* a, int32_t& n, int32_t* ipiv);
void INVRSM(double* a, int32_t& n, int32_t* ipiv);

// Solves A x = b for complex Hermitian positive-definite A held as its packed upper
// triangle t (element (i,k), i <= k, at k(k-1)/2 + i), by the square-root-free
// factorisation A = U^H D U, which replaces t. status: 0; the first row whose
// positive pivot was not above |eps * A(i,i)|; or -1 for a pivot that is zero,
// negative or not a number (b untouched, no solution).
void CHOLESKY(int32_t n, float eps, cfloat* t, cfloat* b, int32_t& status);
void CHOLESKY(int32_t n, double eps, cdouble* t, cdouble* b, int32_t& status);

// Inverse b of the n x n complex Hermitian positive-definite matrix a. Only the
// diagonal and lower triangle of a are read. Factorises once (pivot tolerance
// 1.0e-15), then solves the n unit right-hand sides. Returns CHOLESKY's status; a
// matrix that is not positive definite (status -1) gives not-a-number in every
// element of b. n <= 0 writes nothing and returns 0.
int32_t HERMINV(int32_t n, const cfloat* a, cfloat* b);
int32_t HERMINV(int32_t n, const cdouble* a, cdouble* b);

// Replaces x(1..n) by its residuals from the least-squares line in k = 1..n.
// n <= 0 leaves x alone; n = 1 leaves the single residual 0.
void LTREND(float* x, int32_t n);
void LTREND(double* x, int32_t n);

}  // namespace kelv
