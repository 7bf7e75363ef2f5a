// The square-root-free Cholesky factorisation A = U^H D U of a packed Hermitian
// matrix, written once over its element type: std::complex<float> (CHOLESKY and
// HERMINV as the program has always had them), std::complex<double>, and CLaneD
// (kLanes matrices at once, on the window analysis path).
//
// Complex products are written out component by component in the grouping the
// factorisation fixes; every sum is carried in the wide type and each element is
// rounded to the element type only when it is stored.
#pragma once

#include <cmath>
#include <cstdint>

#include "numerics/lanes.hpp"

namespace kelv {

// Position of element (i, k), i <= k, of the packed upper triangle.
KELV_LANE_INLINE int64_t packed(int64_t i, int64_t k) {
  return k * (k - 1) / 2 + i;
}

// How a scalar factorisation judges its pivots: the status of CHOLESKY. 0; the first
// row whose positive pivot was not above |eps * A(i,i)|; -1 (and the factorisation
// stops) for a pivot that is zero, negative or not a number.
template <class T>
struct PivotStatus {
  T eps;
  T tol = 0;
  int32_t status = 0;

  void row(int32_t, T diagonal) { tol = std::fabs(eps * diagonal); }
  bool accept(int32_t i, double d) {
    if (d > tol) return true;
    if (d > 0.0) {
      if (status == 0) status = i;
      return true;
    }
    status = -1;
    return false;
  }
};

// The same for kLanes matrices: a lane whose pivot is not positive has failed. It
// goes on with meaningless values, which its caller replaces; a small positive pivot
// needs no tolerance, as no caller acts on it. Its members take lane vectors, so they
// are inlined into the kernel like every other lane helper: left out of line (as an
// unoptimised build leaves a plain inline member), the one copy would be compiled for
// the baseline instruction set and the AVX versions of the kernel would hand it its
// vector in the wrong registers.
struct LanePivots {
  LaneMask failed = LaneMask{} != LaneMask{};

  KELV_LANE_INLINE void row(int32_t, const LaneD&) {}
  KELV_LANE_INLINE bool accept(int32_t, LaneD d) {
    failed |= !(d > 0.0);
    return true;
  }
};

// Row i of the factorisation for columns k0 .. k0 + NB - 1 (all > i, or the first
// = i): the sums z(k) = T(i,k) - sum over j = i-1 .. 1 of (D(j) conj(U(j,i))) U(j,k),
// each over j in that order, advance side by side and share D(j) conj(U(j,i)).
template <int NB, class Z>
KELV_LANE_INLINE void rowSums(int32_t i, int32_t k0, View1<Z> t, Wide<RealOf<Z>>* zre,
                              Wide<RealOf<Z>>* zim) {
  using W = Wide<RealOf<Z>>;
  W sre[NB], sim[NB];
  for (int b = 0; b < NB; ++b) sre[b] = sim[b] = W{};
  for (int32_t j = i - 1; j >= 1; --j) {
    const W d = widen(re(t(packed(j, j))));
    const Z& uji = t(packed(j, i));
    const W pre = d * widen(re(uji));
    const W pim = -(d * widen(im(uji)));
    for (int b = 0; b < NB; ++b) {
      const Z& ujk = t(packed(j, k0 + b));
      sre[b] += pre * widen(re(ujk)) - pim * widen(im(ujk));
      sim[b] += pre * widen(im(ujk)) + pim * widen(re(ujk));
    }
  }
  for (int b = 0; b < NB; ++b) {
    const Z& tik = t(packed(i, k0 + b));
    zre[b] = widen(re(tik)) - sre[b];
    zim[b] = widen(im(tik)) - sim[b];
  }
}

// Factorises the packed upper triangle t of order n in place: the pivots D(i) on the
// diagonal (imaginary part 0), U(i, k) above it. Returns false when `pivots` stopped
// it; rows from the failing one on then still hold A.
template <class Z, class Pivots>
KELV_LANE_INLINE bool factorHermitian(int32_t n, View1<Z> t, Pivots& pivots) {
  using R = RealOf<Z>;
  using W = Wide<R>;
  for (int32_t i = 1; i <= n; ++i) {
    pivots.row(i, re(t(packed(i, i))));
    W zre[4], zim[4];
    rowSums<1>(i, i, t, zre, zim);
    if (!pivots.accept(i, zre[0])) return false;
    Z& tii = t(packed(i, i));
    re(tii) = narrowTo<R>(zre[0]);
    im(tii) = R{};
    const R r = narrowTo<R>(1.0 / zre[0]);
    // U(i, k) = z(k) / D(i), four columns at a time.
    const auto store = [&](int32_t k0, int nb) __attribute__((always_inline)) {
      for (int b = 0; b < nb; ++b) {
        Z& tik = t(packed(i, k0 + b));
        re(tik) = narrowTo<R>(zre[b] * widen(r));
        im(tik) = narrowTo<R>(zim[b] * widen(r));
      }
    };
    int32_t k = i + 1;
    for (; k + 3 <= n; k += 4) {
      rowSums<4>(i, k, t, zre, zim);
      store(k, 4);
    }
    if (k + 1 <= n) {
      rowSums<2>(i, k, t, zre, zim);
      store(k, 2);
      k += 2;
    }
    if (k <= n) {
      rowSums<1>(i, k, t, zre, zim);
      store(k, 1);
    }
  }
  return true;
}

}  // namespace kelv
