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

// Factorises the packed upper triangle t of order n in place: the pivots D(i) on the
// diagonal (imaginary part 0), U(i, k) above it. Returns false when `pivots` stopped
// it; rows from the failing one on then still hold A.
template <class Z, class Pivots>
KELV_LANE_INLINE bool factorHermitian(int32_t n, View1<Z> t, Pivots& pivots) {
  using R = RealOf<Z>;
  using W = Wide<R>;
  for (int32_t i = 1; i <= n; ++i) {
    pivots.row(i, re(t(packed(i, i))));
    R r{};
    for (int32_t k = i; k <= n; ++k) {
      // z = T(i,k) - sum over j = i-1 .. 1 of (D(j) conj(U(j,i))) U(j,k).
      W sre{};
      W sim{};
      for (int32_t j = i - 1; j >= 1; --j) {
        const W d = widen(re(t(packed(j, j))));
        const Z& uji = t(packed(j, i));
        const Z& ujk = t(packed(j, k));
        const W pre = d * widen(re(uji));
        const W pim = -(d * widen(im(uji)));
        sre += pre * widen(re(ujk)) - pim * widen(im(ujk));
        sim += pre * widen(im(ujk)) + pim * widen(re(ujk));
      }
      Z& tik = t(packed(i, k));
      const W zre = widen(re(tik)) - sre;
      const W zim = widen(im(tik)) - sim;
      if (k == i) {
        if (!pivots.accept(i, zre)) return false;
        re(tik) = narrowTo<R>(zre);
        im(tik) = R{};
        r = narrowTo<R>(1.0 / zre);
      } else {
        re(tik) = narrowTo<R>(zre * widen(r));
        im(tik) = narrowTo<R>(zim * widen(r));
      }
    }
  }
  return true;
}

}  // namespace kelv
