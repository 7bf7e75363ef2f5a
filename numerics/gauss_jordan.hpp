// Gauss-Jordan inversion with column interchanges, written once over the element type
// and the width of the column operations: MATRINV and INVRSM run it on plain n x n
// matrices one element at a time (W = 1), the model fit on matrices whose columns are
// padded to whole vectors of W elements. Every column operation is the same
// element-wise IEEE operation in both, so the results agree bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "numerics/lane_vectors.hpp"

namespace kelv {

namespace gauss_jordan {

// Element `row` (0-based) of a column set to `value`, then col(s) = col(s) * r
// (scale) or col(s) = col(s) + h * pivot(s) (addMultiple) for the rows s of the
// column: the first `rows` elements one at a time (W = 1), or `rows` (a multiple of
// W) as vectors. The vector forms set the element in the register, never through
// memory, where a scalar store followed by a vector load of the same place would
// wait on the store.
template <int W, class T>
KELV_LANE_INLINE Vec<T, W> withElement(Vec<T, W> v, int64_t lane, T value) {
  using Int = std::conditional_t<sizeof(T) == 8, int64_t, int32_t>;
  Vec<Int, W> index{};
  for (int l = 0; l < W; ++l) index[l] = l;
  return index == static_cast<Int>(lane) ? Vec<T, W>{} + value : v;
}

template <int W, class T>
KELV_LANE_INLINE void scale(T* col, int64_t rows, int64_t row, T value, T r) {
  if constexpr (W == 1) {
    col[row] = value;
    for (int64_t s = 0; s < rows; ++s) col[s] *= r;
  } else {
    for (int64_t s = 0; s < rows; s += W) {
      Vec<T, W> v = loadVec<W>(col + s);
      if (row >= s && row < s + W) v = withElement<W>(v, row - s, value);
      storeVec<W>(col + s, v * r);
    }
  }
}

template <int W, class T>
KELV_LANE_INLINE void addMultiple(T* col, const T* pivot, int64_t rows, int64_t row, T value, T h) {
  if constexpr (W == 1) {
    col[row] = value;
    for (int64_t s = 0; s < rows; ++s) col[s] = col[s] + h * pivot[s];
  } else {
    for (int64_t s = 0; s < rows; s += W) {
      Vec<T, W> v = loadVec<W>(col + s);
      if (row >= s && row < s + W) v = withElement<W>(v, row - s, value);
      storeVec<W>(col + s, v + h * loadVec<W>(pivot + s));
    }
  }
}

template <int W, class T>
KELV_LANE_INLINE void swapColumns(T* a, T* b, int64_t rows) {
  if constexpr (W == 1) {
    for (int64_t s = 0; s < rows; ++s) std::swap(a[s], b[s]);
  } else {
    for (int64_t s = 0; s < rows; s += W) {
      const Vec<T, W> va = loadVec<W>(a + s), vb = loadVec<W>(b + s);
      storeVec<W>(a + s, vb);
      storeVec<W>(b + s, va);
    }
  }
}

}  // namespace gauss_jordan

// Inverts in place the n x n matrix held column-major in a, column j at a + (j - 1) ld.
// With W > 1, ld is a multiple of W and the rows past n are carried along (they hold
// whatever the same operations make of them and are never read for rows up to n).
// On return n holds the number of elimination steps completed (the order exactly when
// the inversion succeeded). ipiv: >= n integers.
template <int W, class T>
KELV_LANE_INLINE void invertColumns(T* a, int64_t ld, int32_t& n, int32_t* ipiv) {
  const int32_t order = n;
  if (order <= 0) return;
  const int64_t rows = W == 1 ? order : ld;
  const auto A = [a, ld](int32_t i, int32_t j) -> T& { return a[(i - 1) + (j - 1) * ld]; };
  const auto column = [a, ld](int32_t j) { return a + (j - 1) * ld; };

  for (int32_t i = 1; i <= order; ++i) ipiv[i - 1] = i;
  int32_t steps = 0;

  for (int32_t k = 1; k <= order; ++k) {
    // Strictly larger only: the leftmost of equal maxima is the pivot. A row that
    // is zero from column k on (or holds nothing but not-a-number) ends the
    // elimination; any nonzero pivot is accepted.
    T best = 0;
    int32_t q = k;
    for (int32_t j = k; j <= order; ++j) {
      const T mag = std::fabs(A(k, j));
      if (mag > best) {
        best = mag;
        q = j;
      }
    }
    if (!(best > 0)) break;

    if (q != k) {
      gauss_jordan::swapColumns<W>(column(k), column(q), rows);
      std::swap(ipiv[k - 1], ipiv[q - 1]);
    }
    ++steps;

    // A(k, k) = 1, then column k times 1 / pivot; A(k, i) = 0, then column i plus
    // -A(k, i) times column k.
    const T p = A(k, k);
    const T r = T(1) / p;
    gauss_jordan::scale<W>(column(k), rows, k - 1, T(1), r);

    for (int32_t i = 1; i <= order; ++i) {
      if (i == k) continue;
      const T h = -A(k, i);
      gauss_jordan::addMultiple<W>(column(i), column(k), rows, k - 1, T(0), h);
    }
  }

  // The columns were interchanged, so the rows of the inverse come out permuted.
  if (steps == order) {
    for (int32_t k = 1; k <= order; ++k) {
      if (ipiv[k - 1] == k) continue;
      int32_t i = k;
      while (ipiv[i - 1] != k) ++i;
      for (int32_t col = 1; col <= order; ++col) std::swap(A(k, col), A(i, col));
      ipiv[i - 1] = ipiv[k - 1];
      ipiv[k - 1] = k;
    }
  }
  n = steps;
}

}  // namespace kelv
