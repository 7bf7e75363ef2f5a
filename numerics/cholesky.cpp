// Square-root-free Cholesky factorisation A = U^H D U of a packed Hermitian matrix,
// the solve with that factor, and the Hermitian inverse built on both.
//
// Complex products are written out component by component in the grouping the
// factorisation fixes, with every sum carried in double and each element rounded
// to float only when it is stored.
#include <cmath>
#include <limits>
#include <vector>

#include "numerics/lanes.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

namespace {

// Position of element (i, k), i <= k, of the packed upper triangle.
inline int64_t packed(int64_t i, int64_t k) {
  return k * (k - 1) / 2 + i;
}

// Solves U^H D U x = b with the factor held in t; b is replaced by x.
void solveFactored(int32_t n, View1<const cfloat> T, View1<cfloat> B) {
  // Forward sweep: U^H y = b.
  for (int32_t j = 2; j <= n; ++j) {
    double sre = 0.0;
    double sim = 0.0;
    for (int32_t l = j - 1; l >= 1; --l) {
      const cfloat u = T(packed(l, j));
      const cfloat v = B(l);
      const double ure = u.real(), uim = u.imag(), vre = v.real(), vim = v.imag();
      sre += ure * vre + uim * vim;
      sim += ure * vim - uim * vre;
    }
    const cfloat bj = B(j);
    B(j) = cfloat(static_cast<float>(bj.real() - sre), static_cast<float>(bj.imag() - sim));
  }

  const float dn = T(packed(n, n)).real();
  B(n) = cfloat(B(n).real() / dn, B(n).imag() / dn);

  // Backward sweep: D U x = y, dividing by the pivot before the sum is subtracted.
  for (int32_t j = n - 1; j >= 1; --j) {
    double sre = 0.0;
    double sim = 0.0;
    for (int32_t k = j + 1; k <= n; ++k) {
      const cfloat u = T(packed(j, k));
      const cfloat v = B(k);
      const double ure = u.real(), uim = u.imag(), vre = v.real(), vim = v.imag();
      sre += ure * vre - uim * vim;
      sim += ure * vim + uim * vre;
    }
    const double dj = T(packed(j, j)).real();
    const cfloat bj = B(j);
    B(j) =
        cfloat(static_cast<float>(bj.real() / dj - sre), static_cast<float>(bj.imag() / dj - sim));
  }
}

}  // namespace

void CHOLESKY(int32_t n, float eps, cfloat* t, cfloat* b, int32_t& status) {
  status = 0;
  if (n <= 0) return;
  View1<cfloat> T(t, packed(n, n));
  View1<cfloat> B(b, n);

  for (int32_t i = 1; i <= n; ++i) {
    const float tol = std::fabs(eps * T(packed(i, i)).real());
    float r = 0.0f;
    for (int32_t k = i; k <= n; ++k) {
      // z = T(i,k) - sum over j = i-1 .. 1 of (D(j) conj(U(j,i))) U(j,k).
      double sre = 0.0;
      double sim = 0.0;
      for (int32_t j = i - 1; j >= 1; --j) {
        const double d = T(packed(j, j)).real();
        const cfloat uji = T(packed(j, i));
        const cfloat ujk = T(packed(j, k));
        const double pre = d * uji.real();
        const double pim = -(d * uji.imag());
        sre += pre * ujk.real() - pim * ujk.imag();
        sim += pre * ujk.imag() + pim * ujk.real();
      }
      const cfloat tik = T(packed(i, k));
      const double zre = tik.real() - sre;
      const double zim = tik.imag() - sim;

      if (k == i) {
        const double d = zre;
        if (!(d > tol)) {
          if (d > 0.0) {
            if (status == 0) status = i;
          } else {
            // Zero, negative or not a number: the matrix is not positive definite.
            status = -1;
            return;
          }
        }
        T(packed(i, i)) = cfloat(static_cast<float>(d), 0.0f);
        r = static_cast<float>(1.0 / d);
      } else {
        T(packed(i, k)) = cfloat(static_cast<float>(zre * r), static_cast<float>(zim * r));
      }
    }
  }

  solveFactored(n, View1<const cfloat>(t, packed(n, n)), B);
}

void HERMINV(int32_t n, const cfloat* a, cfloat* b) {
  if (n <= 0) return;
  View2<const cfloat> A(a, n, n);
  View2<cfloat> Binv(b, n, n);
  std::vector<cfloat> t(static_cast<size_t>(packed(n, n)));
  std::vector<cfloat> e(static_cast<size_t>(n));
  View1<cfloat> T(t.data(), packed(n, n));
  View1<cfloat> E(e.data(), n);

  // The packed upper triangle is the conjugate of the lower one, read row by row;
  // the upper triangle of a is never looked at.
  int64_t pos = 0;
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t k = 1; k <= j; ++k) T(++pos) = std::conj(A(j, k));

  // Factorise once, solving for the first unit vector on the way, then reuse the
  // factor for the other columns.
  for (int32_t r = 1; r <= n; ++r) E(r) = cfloat(0.0f, 0.0f);
  E(1) = cfloat(1.0f, 0.0f);
  int32_t status = 0;
  CHOLESKY(n, 1.0e-15f, t.data(), e.data(), status);

  // A matrix that is not positive definite has no inverse here; every column would
  // fail, and identity columns would pass on as plausible numbers.
  if (status == -1) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int32_t j = 1; j <= n; ++j)
      for (int32_t i = 1; i <= n; ++i) Binv(i, j) = cfloat(nan, nan);
    return;
  }

  for (int32_t r = 1; r <= n; ++r) Binv(r, 1) = E(r);
  for (int32_t i = 2; i <= n; ++i) {
    for (int32_t r = 1; r <= n; ++r) E(r) = cfloat(0.0f, 0.0f);
    E(i) = cfloat(1.0f, 0.0f);
    solveFactored(n, View1<const cfloat>(t.data(), packed(n, n)), E);
    for (int32_t r = 1; r <= n; ++r) Binv(r, i) = E(r);
  }
}

KELV_LANE_KERNEL void herminvLanes(int32_t n, const CLane* a, CLane* b, CLaneD* work) {
  if (n <= 0) return;
  View2<const CLane> A(a, n, n);
  View2<CLane> Binv(b, n, n);
  // The factor and the solutions hold float values, as in HERMINV, kept widened to
  // double because every use widens them.
  View1<CLaneD> T(work, packed(n, n));
  View2<CLaneD> E(work + packed(n, n), n, n);

  int64_t pos = 0;
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t k = 1; k <= j; ++k) {
      ++pos;
      T(pos).re = widen(A(j, k).re);
      T(pos).im = widen(-A(j, k).im);
    }

  // The factorisation of CHOLESKY. A lane whose pivot is not positive has failed:
  // CHOLESKY would stop there and HERMINV write not-a-number. The lane goes on with
  // meaningless values, which are replaced at the end. (A small positive pivot only
  // sets a status that HERMINV does not look at, so no tolerance is needed.)
  LaneMask failed = LaneMask{} != LaneMask{};
  for (int32_t i = 1; i <= n; ++i) {
    LaneD r = splat(0.0);
    for (int32_t k = i; k <= n; ++k) {
      LaneD sre = splat(0.0);
      LaneD sim = splat(0.0);
      for (int32_t j = i - 1; j >= 1; --j) {
        const LaneD d = T(packed(j, j)).re;
        const CLaneD& uji = T(packed(j, i));
        const CLaneD& ujk = T(packed(j, k));
        const LaneD pre = d * uji.re;
        const LaneD pim = -(d * uji.im);
        sre += pre * ujk.re - pim * ujk.im;
        sim += pre * ujk.im + pim * ujk.re;
      }
      CLaneD& tik = T(packed(i, k));
      const LaneD zre = tik.re - sre;
      const LaneD zim = tik.im - sim;
      if (k == i) {
        failed |= !(zre > 0.0);
        tik.re = widen(narrow(zre));
        tik.im = splat(0.0);
        r = widen(narrow(1.0 / zre));
      } else {
        tik.re = widen(narrow(zre * r));
        tik.im = widen(narrow(zim * r));
      }
    }
  }

  // The solve of CHOLESKY for every unit vector, all columns advancing together.
  // In column col the entries above its 1 stay +0.0 in the forward sweep, and in a
  // lane that has not failed every factor element is finite (a non-finite one makes
  // a later pivot fail), so their terms are exact zeros that leave the sums
  // unchanged: they are skipped.
  for (int32_t col = 1; col <= n; ++col)
    for (int32_t r = 1; r <= n; ++r) E(r, col) = CLaneD{splat(r == col ? 1.0 : 0.0), splat(0.0)};
  for (int32_t j = 2; j <= n; ++j)
    for (int32_t col = 1; col < j; ++col) {
      LaneD sre = splat(0.0);
      LaneD sim = splat(0.0);
      for (int32_t l = j - 1; l >= col; --l) {
        const CLaneD& u = T(packed(l, j));
        const CLaneD& v = E(l, col);
        sre += u.re * v.re + u.im * v.im;
        sim += u.re * v.im - u.im * v.re;
      }
      E(j, col).re = widen(narrow(E(j, col).re - sre));
      E(j, col).im = widen(narrow(E(j, col).im - sim));
    }
  const LaneF dn = narrow(T(packed(n, n)).re);
  for (int32_t col = 1; col <= n; ++col) {
    E(n, col).re = widen(narrow(E(n, col).re) / dn);
    E(n, col).im = widen(narrow(E(n, col).im) / dn);
  }
  for (int32_t j = n - 1; j >= 1; --j) {
    const LaneD dj = T(packed(j, j)).re;
    for (int32_t col = 1; col <= n; ++col) {
      LaneD sre = splat(0.0);
      LaneD sim = splat(0.0);
      for (int32_t k = j + 1; k <= n; ++k) {
        const CLaneD& u = T(packed(j, k));
        const CLaneD& v = E(k, col);
        sre += u.re * v.re - u.im * v.im;
        sim += u.re * v.im + u.im * v.re;
      }
      E(j, col).re = widen(narrow(E(j, col).re / dj - sre));
      E(j, col).im = widen(narrow(E(j, col).im / dj - sim));
    }
  }

  const LaneF nan = splatF(std::numeric_limits<float>::quiet_NaN());
  const bool anyFailed = anyLane(failed);
  for (int32_t col = 1; col <= n; ++col)
    for (int32_t r = 1; r <= n; ++r) {
      CLane out{narrow(E(r, col).re), narrow(E(r, col).im)};
      if (anyFailed)
        for (int l = 0; l < kLanes; ++l)
          if (failed[l]) {
            out.re[l] = nan[l];
            out.im[l] = nan[l];
          }
      Binv(r, col) = out;
    }
}

}  // namespace kelv
