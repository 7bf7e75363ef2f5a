// Canonical (multiple) coherences of every channel with the rest, and their measure.
#include <cmath>
#include <vector>

#include "estimation/estimation.hpp"
#include "estimation/lanes.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

namespace {

// Column m of the n x n matrix S without its diagonal element into c, and S without
// row and column m into A, the other rows and columns keeping their order.
template <class T>
KELV_LANE_INLINE void reduceAt(View2<const T> S, int32_t m, View1<T> c, View2<T> A) {
  const auto n = static_cast<int32_t>(S.rows());
  for (int32_t j = 1; j <= n; ++j)
    if (j != m) c(j > m ? j - 1 : j) = S(j, m);
  for (int32_t q = 1; q <= n; ++q) {
    if (q == m) continue;
    for (int32_t p = 1; p <= n; ++p)
      if (p != m) A(p > m ? p - 1 : p, q > m ? q - 1 : q) = S(p, q);
  }
}

}  // namespace

void CANOCOH(const cfloat* freqMatrix, int32_t nch, float* coherences) {
  const int32_t n = nch;
  const int32_t r = n - 1;  // order of the reduced matrices
  const size_t rr = static_cast<size_t>(r > 0 ? r : 0);
  std::vector<cfloat> aStore(rr * rr), bStore(rr * rr), cStore(rr), wStore(rr);

  View2<const cfloat> S(freqMatrix, n, n);
  View1<float> R(coherences, n);
  View2<cfloat> A(aStore.data(), r, r), B(bStore.data(), r, r);
  View1<cfloat> c(cStore.data(), r), w(wStore.data(), r);

  for (int32_t m = 1; m <= n; ++m) {
    const float s = S(m, m).real();

    reduceAt(S, m, c, A);

    HERMINV(r, A.data(), B.data());

    for (int32_t i = 1; i <= r; ++i) {
      double wre = 0.0, wim = 0.0;
      for (int32_t k = 1; k <= r; ++k) {
        const double br = B(i, k).real(), bi = B(i, k).imag();
        const double cr = c(k).real(), ci = c(k).imag();
        wre += br * cr - bi * ci;
        wim += br * ci + bi * cr;
      }
      w(i) = cfloat(static_cast<float>(wre), static_cast<float>(wim));
    }

    // Real part of c^H w; rounding can leave a tiny negative value.
    double q = 0.0;
    for (int32_t i = 1; i <= r; ++i)
      q += static_cast<double>(c(i).real()) * w(i).real() +
           static_cast<double>(c(i).imag()) * w(i).imag();
    R(m) = static_cast<float>(std::fabs(q) / static_cast<double>(s));
  }
}

KELV_LANE_KERNEL void canocohLanes(SpectralWork& work) {
  const int32_t n = work.nch;
  const int32_t r = n - 1;
  View2<const CLane> S(work.s.data(), n, n);
  View1<LaneF> R(work.coherences.data(), n);
  View2<CLane> A(work.reduced.data(), r, r), B(work.reducedInv.data(), r, r);
  View1<CLane> c(work.cross.data(), r);

  for (int32_t m = 1; m <= n; ++m) {
    const LaneF s = S(m, m).re;
    reduceAt(S, m, c, A);

    herminvLanes(r, A.data(), B.data(), work.inverse.data());

    // w = B c, one element at a time, and q = Re(c^H w) as CANOCOH forms them.
    LaneD q = splat(0.0);
    for (int32_t i = 1; i <= r; ++i) {
      LaneD wre = splat(0.0), wim = splat(0.0);
      for (int32_t k = 1; k <= r; ++k) {
        const LaneD br = widen(B(i, k).re), bi = widen(B(i, k).im);
        const LaneD cr = widen(c(k).re), ci = widen(c(k).im);
        wre += br * cr - bi * ci;
        wim += br * ci + bi * cr;
      }
      q += widen(c(i).re) * widen(narrow(wre)) + widen(c(i).im) * widen(narrow(wim));
    }
    R(m) = narrow(laneAbs(q) / widen(s));
  }
}

float coherenceMeasure(const float* coherences, int32_t nch) {
  View1<const float> R(coherences, nch);
  double prod = 1.0;
  for (int32_t m = 1; m <= nch; ++m) prod *= static_cast<double>(R(m));
  return static_cast<float>(std::sqrt(prod));
}

}  // namespace kelv
