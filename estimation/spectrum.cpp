// The coherence measure of one window, kLanes frequencies at a time, in double
// precision.
//
// The route is exact in exact arithmetic and costs O(nch^3) per frequency:
//   H(f)   = I + sum_l A_l exp(-2 pi i (f-1) l / nfft), summed directly per block;
//   G      = H^H (V^-1 H), the inverse of 2 pi S;
//   G      = U^H D U, the factorisation of numerics/hermitian.hpp;
//   G^-1(m, m) = sum_k |U^-1(m, k)|^2 / D(k);
//   R(m)   = 1 - 1 / (G(m, m) G^-1(m, m)).
// The last line is the multiple coherence of channel m: S(m,m) - S(m,o) S(o,o)^-1
// S(o,m) is the Schur complement 1 / S^-1(m, m), and S = G^-1 / 2 pi, so
// R(m) = 1 - 1 / (S(m, m) S^-1(m, m)), the 2 pi cancelling.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <numbers>

#include "estimation/arfit.hpp"
#include "estimation/lanes.hpp"
#include "estimation/measure.hpp"
#include "numerics/hermitian.hpp"

namespace kelv {

namespace {

size_t count(int32_t a, int32_t b = 1, int32_t c = 1) {
  const auto clamp = [](int32_t v) { return static_cast<size_t>(std::max(v, 0)); };
  return clamp(a) * clamp(b) * clamp(c);
}

}  // namespace

SpectralWork::SpectralWork(int32_t order_, int32_t nch_, int32_t nfft_, int32_t nfreq_)
    : order(order_),
      nch(nch_),
      nfft(nfft_),
      nfreq(nfreq_),
      a(count(nch_, nch_, order_)),
      vf(count(nch_, nch_)),
      vfinv(count(nch_, nch_)),
      rootRe(count(nfft_)),
      rootIm(count(nfft_)),
      twiddle(count(order_)),
      h(count(nch_, nch_)),
      vh(count(nch_, nch_)),
      g(count(nch_, nch_ + 1) / 2),
      gDiagonal(count(nch_)),
      inverseDiagonal(count(nch_)),
      column(count(nch_)),
      coherences(count(nch_)) {
  for (int32_t k = 0; k < nfft; ++k) {
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(k) / nfft;
    rootRe[static_cast<size_t>(k)] = std::cos(angle);
    rootIm[static_cast<size_t>(k)] = -std::sin(angle);
  }
}

KELV_LANE_KERNEL void spectrumBlock(SpectralWork& w, int32_t first, float* measures,
                                    float* coherences) {
  const int32_t n = w.nch, p = w.order;
  View3<const double> A(w.a.data(), n, n, p);
  View2<const double> Vinv(w.vfinv.data(), n, n);
  View1<CLaneD> tw(w.twiddle.data(), p);
  View2<CLaneD> H(w.h.data(), n, n), VH(w.vh.data(), n, n);
  View1<CLaneD> T(w.g.data(), packed(n, n));
  View1<LaneD> gDiag(w.gDiagonal.data(), n), giDiag(w.inverseDiagonal.data(), n);
  View1<CLaneD> x(w.column.data(), n);
  View1<LaneD> R(w.coherences.data(), n);

  // Frequencies past nfreq repeat the last one; their lanes are not stored.
  for (int32_t l = 1; l <= p; ++l)
    for (int lane = 0; lane < kLanes; ++lane) {
      const int64_t f = std::min(first + lane, w.nfreq);
      const auto k = static_cast<size_t>((f - 1) * l % w.nfft);
      tw(l).re[lane] = w.rootRe[k];
      tw(l).im[lane] = w.rootIm[k];
    }

  for (int32_t d = 1; d <= n; ++d)
    for (int32_t c = 1; c <= n; ++c) {
      LaneD hre = splat(c == d ? 1.0 : 0.0), him = splat(0.0);
      for (int32_t l = 1; l <= p; ++l) {
        const double coefficient = A(c, d, l);
        hre += coefficient * tw(l).re;
        him += coefficient * tw(l).im;
      }
      H(c, d) = CLaneD{hre, him};
    }

  for (int32_t j = 1; j <= n; ++j)
    for (int32_t s = 1; s <= n; ++s) {
      LaneD re = splat(0.0), im = splat(0.0);
      for (int32_t t = 1; t <= n; ++t) {
        const double v = Vinv(s, t);
        re += v * H(t, j).re;
        im += v * H(t, j).im;
      }
      VH(s, j) = CLaneD{re, im};
    }

  // Upper triangle of G = H^H (V^-1 H), packed column after column.
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t i = 1; i <= j; ++i) {
      LaneD gre = splat(0.0), gim = splat(0.0);
      for (int32_t s = 1; s <= n; ++s) {
        const CLaneD& a = H(s, i);
        const CLaneD& b = VH(s, j);
        gre += a.re * b.re + a.im * b.im;
        gim += a.re * b.im - a.im * b.re;
      }
      T(packed(i, j)) = CLaneD{gre, gim};
    }
  for (int32_t m = 1; m <= n; ++m) gDiag(m) = T(packed(m, m)).re;

  LanePivots pivots;
  factorHermitian(n, T, pivots);

  // Column k of X = U^-1 (unit upper triangular) by back substitution, and its share
  // |X(m, k)|^2 / D(k) of every diagonal element G^-1(m, m), m <= k.
  for (int32_t m = 1; m <= n; ++m) giDiag(m) = splat(0.0);
  for (int32_t k = 1; k <= n; ++k) {
    x(k) = CLaneD{splat(1.0), splat(0.0)};
    for (int32_t i = k - 1; i >= 1; --i) {
      LaneD sre = splat(0.0), sim = splat(0.0);
      for (int32_t j = i + 1; j <= k; ++j) {
        const CLaneD& u = T(packed(i, j));
        sre += u.re * x(j).re - u.im * x(j).im;
        sim += u.re * x(j).im + u.im * x(j).re;
      }
      x(i) = CLaneD{-sre, -sim};
    }
    const LaneD dkinv = 1.0 / T(packed(k, k)).re;
    for (int32_t m = 1; m <= k; ++m) giDiag(m) += (x(m).re * x(m).re + x(m).im * x(m).im) * dkinv;
  }

  // The multiple coherences; the absolute value removes a sign that rounding can
  // leave on a coherence near 0.
  for (int32_t m = 1; m <= n; ++m) R(m) = laneAbs(1.0 - 1.0 / (gDiag(m) * giDiag(m)));
  const LaneD measure = select(pivots.failed, splat(std::numeric_limits<double>::quiet_NaN()),
                               measureOf(View1<const LaneD>(R.data(), n), n));
  for (int lane = 0; lane < kLanes && first + lane <= w.nfreq; ++lane)
    measures[first + lane - 1] = static_cast<float>(measure[lane]);
  if (coherences) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    View2<float> Rout(coherences, n, w.nfreq);
    for (int32_t m = 1; m <= n; ++m) {
      const LaneD r = select(pivots.failed, splat(nan), R(m));
      for (int lane = 0; lane < kLanes && first + lane <= w.nfreq; ++lane)
        Rout(m, first + lane) = static_cast<float>(r[lane]);
    }
  }
}

int32_t coherenceSpectrum(int32_t nlen, const float* x, SpectralWork& w, float* measures,
                          float* coherences) {
  assert(w.order >= 1 && w.order + 1 <= w.nfft && w.nfreq <= w.nfft);
  const int32_t degenerate =
      ARFIT(w.order, w.nch, nlen, x, w.a.data(), w.vf.data(), w.vfinv.data());
  if (degenerate > 0) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    std::fill(measures, measures + w.nfreq, nan);
    if (coherences) std::fill(coherences, coherences + int64_t(w.nch) * w.nfreq, nan);
    return degenerate;
  }
  for (int32_t first = 1; first <= w.nfreq; first += kLanes)
    spectrumBlock(w, first, measures, coherences);
  return 0;
}

}  // namespace kelv
