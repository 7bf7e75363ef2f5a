// The coherence measure of one window, kLanes frequencies at a time, in double
// precision.
//
// The route is exact in exact arithmetic and costs O(nch^3) per frequency:
//   V      = L L^T, and the whitened model L^-1, L^-1 A_l, once per window;
//   H~(f)  = L^-1 H(f) = L^-1 + sum_l (L^-1 A_l) exp(-2 pi i (f-1) l / nfft), summed
//            directly per block at low orders, by transforms at high ones;
//   G      = H~^H H~ = H^H V^-1 H, the inverse of 2 pi S;
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
#include <type_traits>

#include "estimation/arfit.hpp"
#include "estimation/lanes.hpp"
#include "estimation/measure.hpp"
#include "numerics/hermitian.hpp"

namespace kelv {

namespace {

size_t count(int64_t a, int64_t b = 1, int64_t c = 1) {
  const auto clamp = [](int64_t v) { return static_cast<size_t>(std::max<int64_t>(v, 0)); };
  return clamp(a) * clamp(b) * clamp(c);
}

// The transforms' storage for one group of residues may take this many bytes; above
// it the transfer function is summed directly.
constexpr double kTransferBytes = 16.0 * 1024 * 1024;

// Calls f(std::integral_constant<int, NB>{}, i0) for blocks i0 .. i0 + NB - 1 that
// cover lo .. hi: blocks of 4, then at most one each of 2 and 1. Independent sums of
// a block advance side by side.
template <class F>
KELV_LANE_INLINE void blocksOfFour(int32_t lo, int32_t hi, F&& f) {
  int32_t i = lo;
  for (; i + 3 <= hi; i += 4) f(std::integral_constant<int, 4>{}, i);
  if (i + 1 <= hi) {
    f(std::integral_constant<int, 2>{}, i);
    i += 2;
  }
  if (i <= hi) f(std::integral_constant<int, 1>{}, i);
}

// V = L L^T and the whitened model L^-1, L^-1 A_l by forward substitution into
// w.model. When V is not positive definite (a fit gone wrong: rounding, or a window
// with too few samples for its order), w.model holds the model itself, I and A_l, and
// G is formed from V^-1 as H^H (V^-1 H) instead; returns whether it is whitened.
KELV_LANE_KERNEL bool whiten(SpectralWork& w) {
  const int32_t n = w.nch, p = w.order;
  View2<const double> V(w.vf.data(), n, n);
  View2<double> L(w.factor.data(), n, n);
  bool definite = true;
  for (int32_t j = 1; j <= n && definite; ++j) {
    double d = V(j, j);
    for (int32_t k = 1; k < j; ++k) d -= L(j, k) * L(j, k);
    definite = d > 0.0 && std::isfinite(d);
    L(j, j) = std::sqrt(d);
    for (int32_t i = j + 1; i <= n; ++i) {
      double s = V(i, j);
      for (int32_t k = 1; k < j; ++k) s -= L(i, k) * L(j, k);
      L(i, j) = s / L(j, j);
    }
  }
  // Rows of L^-1 [I A_1 ... A_p], row i at i cols, all columns of a row advancing
  // together: each element is its column's forward substitution, the terms in the
  // order of k.
  const int64_t cols = int64_t(n) * (p + 1);
  double* rows = w.substitution.data();
  for (int32_t i = 1; i <= n; ++i) {
    double* row = rows + (i - 1) * cols;
    for (int32_t d = 1; d <= n; ++d) row[d - 1] = i == d ? 1.0 : 0.0;
    for (int64_t col = n; col < cols; ++col) row[col] = w.a[size_t((i - 1) + (col - n) * n)];
    if (!definite) continue;
    for (int32_t k = 1; k < i; ++k) {
      const double lik = L(i, k);
      const double* done = rows + (k - 1) * cols;
      for (int64_t col = 0; col < cols; ++col) row[col] -= lik * done[col];
    }
    const double lii = L(i, i);
    for (int64_t col = 0; col < cols; ++col) row[col] /= lii;
  }
  for (int64_t col = 0; col < cols; ++col)
    for (int32_t i = 1; i <= n; ++i)
      w.model[size_t((i - 1) + col * n)] = rows[(i - 1) * cols + col];
  return definite;
}

// L^-1 H of block b (frequencies 8 b + 1 ..) into H, summed directly.
KELV_LANE_INLINE void transferDirect(const SpectralWork& w, int64_t b, CLaneD* out) {
  const int32_t n = w.nch, p = w.order;
  const CLaneD* tw = w.twiddle.data() + b * p;
  View3<const double> C(w.model.data(), n, n, p + 1);
  View2<CLaneD> H(out, n, n);
  for (int32_t d = 1; d <= n; ++d)
    blocksOfFour(
        1, n, [&](auto block, int32_t c0) __attribute__((always_inline)) {
          constexpr int NB = decltype(block)::value;
          LaneD re[NB], im[NB];
          for (int k = 0; k < NB; ++k) {
            re[k] = splat(C(c0 + k, d, 1));
            im[k] = splat(0.0);
          }
          for (int32_t l = 1; l <= p; ++l) {
            const LaneD twRe = tw[l - 1].re, twIm = tw[l - 1].im;
            for (int k = 0; k < NB; ++k) {
              const double coefficient = C(c0 + k, d, l + 1);
              re[k] += coefficient * twRe;
              im[k] += coefficient * twIm;
            }
          }
          for (int k = 0; k < NB; ++k) H(c0 + k, d) = CLaneD{re[k], im[k]};
        });
}

// L^-1 H(c, d) at the blocks of residue group o, by one transform of length
// fftLength, into w.transfer (block q at q nch^2).
KELV_LANE_INLINE void transferByTransform(SpectralWork& w, int32_t o, int32_t c, int32_t d) {
  const int32_t n = w.nch, p = w.order, M = w.fftLength;
  View3<const double> C(w.model.data(), n, n, p + 1);
  CLaneD* z = w.sequence.data();
  const CLaneD* pre = w.premultiplier.data() + int64_t(o) * (p + 1);
  for (int32_t l = 0; l < M; ++l) {
    const double x = l <= p ? C(c, d, l + 1) : 0.0;
    z[w.bitReversed[size_t(l)]] =
        l <= p ? CLaneD{x * pre[l].re, x * pre[l].im} : CLaneD{splat(0.0), splat(0.0)};
  }
  // Radix-2 decimation in time, two stages to a pass over the sequence (a stage
  // alone first when their number is odd); the last stage makes only the terms
  // q < M / 2. A twiddle factor of 1 is not multiplied.
  const auto times = [&](int64_t k, const CLaneD& v) __attribute__((always_inline)) {
    const double wRe = w.rootRe[size_t(k)], wIm = w.rootIm[size_t(k)];
    return CLaneD{wRe * v.re - wIm * v.im, wRe * v.im + wIm * v.re};
  };
  const auto sum = [](const CLaneD& u, const CLaneD& v) __attribute__((always_inline)) {
    return CLaneD{u.re + v.re, u.im + v.im};
  };
  const auto difference = [](const CLaneD& u, const CLaneD& v) __attribute__((always_inline)) {
    return CLaneD{u.re - v.re, u.im - v.im};
  };
  int32_t half = 1;
  int32_t stages = 0;
  while ((int32_t(1) << stages) < M) ++stages;
  if (stages % 2 == 1) {
    for (int32_t i = 0; i < M; i += 2) {
      const CLaneD top = z[i], bottom = z[i + 1];
      z[i] = sum(top, bottom);
      if (M > 2) z[i + 1] = difference(top, bottom);
    }
    half = 2;
  }
  for (; half < M; half *= 4) {
    const bool last = 4 * half == M;
    const int64_t first = int64_t(w.nfft) / (2 * half), second = first / 2;
    for (int32_t j = 0; j < half; ++j)
      for (int32_t i = j; i < M; i += 4 * half) {
        const CLaneD a = z[i], b = z[i + half], c2 = z[i + 2 * half], d2 = z[i + 3 * half];
        const CLaneD tb = j > 0 ? times(j * first, b) : b;
        const CLaneD td = j > 0 ? times(j * first, d2) : d2;
        const CLaneD a1 = sum(a, tb), b1 = difference(a, tb);
        const CLaneD c1 = sum(c2, td), d1 = difference(c2, td);
        const CLaneD tc = j > 0 ? times(j * second, c1) : c1;
        const CLaneD td1 = times((j + half) * second, d1);
        z[i] = sum(a1, tc);
        z[i + half] = sum(b1, td1);
        if (!last) {
          z[i + 2 * half] = difference(a1, tc);
          z[i + 3 * half] = difference(b1, td1);
        }
      }
  }
  const size_t nn = count(n, n);
  CLaneD* out = w.transfer.data() + (c - 1) + size_t(d - 1) * size_t(n);
  for (int32_t q = 0; q < M / 2; ++q) out[size_t(q) * nn] = z[q];
}

// The measure (and coherences) at frequencies first .. first + kLanes - 1 (those up
// to nfreq) from the model's transfer function at them, h (nch x nch): L^-1 H when
// Whitened, else H.
template <bool Whitened>
KELV_LANE_INLINE void blockMeasures(SpectralWork& w, const CLaneD* h, int32_t first,
                                    float* measures, float* coherences) {
  const int32_t n = w.nch;
  View2<const CLaneD> H(h, n, n);
  // The right factor of G: L^-1 H, or V^-1 H.
  View2<const CLaneD> Right = H;
  if constexpr (!Whitened) {
    View2<const double> Vinv(w.vfinv.data(), n, n);
    View2<CLaneD> VH(w.vh.data(), n, n);
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
    Right = View2<const CLaneD>(w.vh.data(), n, n);
  }
  View1<CLaneD> T(w.g.data(), packed(n, n));
  View1<LaneD> gDiag(w.gDiagonal.data(), n), giDiag(w.inverseDiagonal.data(), n);
  View1<LaneD> R(w.coherences.data(), n);

  // Upper triangle of G = H~^H H~ (or H^H (V^-1 H)), packed column after column:
  // tiles of NJ columns j0 .. and NB rows i0 .., their sums over s side by side.
  const auto tile = [&](auto columns, auto block, int32_t j0, int32_t i0)
      __attribute__((always_inline)) {
    constexpr int NJ = decltype(columns)::value;
    constexpr int NB = decltype(block)::value;
    LaneD gre[NJ][NB], gim[NJ][NB];
    for (int c = 0; c < NJ; ++c)
      for (int k = 0; k < NB; ++k) gre[c][k] = gim[c][k] = splat(0.0);
    for (int32_t s = 1; s <= n; ++s)
      for (int c = 0; c < NJ; ++c) {
        const CLaneD& b = Right(s, j0 + c);
        for (int k = 0; k < NB; ++k) {
          const CLaneD& a = H(s, i0 + k);
          gre[c][k] += a.re * b.re + a.im * b.im;
          gim[c][k] += a.re * b.im - a.im * b.re;
        }
      }
    for (int c = 0; c < NJ; ++c)
      for (int k = 0; k < NB; ++k) T(packed(i0 + k, j0 + c)) = CLaneD{gre[c][k], gim[c][k]};
  };
  using One = std::integral_constant<int, 1>;
  using Two = std::integral_constant<int, 2>;
  for (int32_t j = 1; j <= n; j += 2) {
    if (j + 1 <= n) {
      blocksOfFour(
          1, j, [&](auto block, int32_t i0) __attribute__((always_inline)) {
            tile(Two{}, block, j, i0);
          });
      tile(One{}, One{}, j + 1, j + 1);
    } else {
      blocksOfFour(
          1, j, [&](auto block, int32_t i0) __attribute__((always_inline)) {
            tile(One{}, block, j, i0);
          });
    }
  }
  for (int32_t m = 1; m <= n; ++m) gDiag(m) = T(packed(m, m)).re;

  LanePivots pivots;
  factorHermitian(n, T, pivots);

  // Column k of X = U^-1 (unit upper triangular) by back substitution, and its share
  // |X(m, k)|^2 / D(k) of every diagonal element G^-1(m, m), m <= k. Two columns are
  // solved side by side; their shares are added in the order of k.
  for (int32_t m = 1; m <= n; ++m) giDiag(m) = splat(0.0);
  CLaneD* xs[2] = {w.column.data(), w.column.data() + n};
  const auto share = [&](const CLaneD* x, int32_t k) __attribute__((always_inline)) {
    const LaneD dkinv = 1.0 / T(packed(k, k)).re;
    for (int32_t m = 1; m <= k; ++m)
      giDiag(m) += (x[m - 1].re * x[m - 1].re + x[m - 1].im * x[m - 1].im) * dkinv;
  };
  for (int32_t k = 1; k <= n; k += 2) {
    const int cols = k + 1 <= n ? 2 : 1;
    for (int c = 0; c < cols; ++c) xs[c][k + c - 1] = CLaneD{splat(1.0), splat(0.0)};
    if (cols == 2) {
      // Row k of column k + 1 first; then rows k - 1 .. 1 of both.
      const CLaneD& u = T(packed(k, k + 1));
      const CLaneD& x = xs[1][k];
      const LaneD sre = splat(0.0) + (u.re * x.re - u.im * x.im);
      const LaneD sim = splat(0.0) + (u.re * x.im + u.im * x.re);
      xs[1][k - 1] = CLaneD{-sre, -sim};
    }
    for (int32_t i = k - 1; i >= 1; --i) {
      LaneD sre[2], sim[2];
      for (int c = 0; c < 2; ++c) sre[c] = sim[c] = splat(0.0);
      for (int32_t j = i + 1; j <= k; ++j) {
        const CLaneD& u = T(packed(i, j));
        for (int c = 0; c < cols; ++c) {
          const CLaneD& x = xs[c][j - 1];
          sre[c] += u.re * x.re - u.im * x.im;
          sim[c] += u.re * x.im + u.im * x.re;
        }
      }
      if (cols == 2) {
        const CLaneD& u = T(packed(i, k + 1));
        const CLaneD& x = xs[1][k];
        sre[1] += u.re * x.re - u.im * x.im;
        sim[1] += u.re * x.im + u.im * x.re;
      }
      for (int c = 0; c < cols; ++c) xs[c][i - 1] = CLaneD{-sre[c], -sim[c]};
    }
    for (int c = 0; c < cols; ++c) share(xs[c], k + c);
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

}  // namespace

SpectralWork::SpectralWork(int32_t order_, int32_t nch_, int32_t nfft_, int32_t nfreq_)
    : order(order_),
      nch(nch_),
      nfft(nfft_),
      nfreq(nfreq_),
      fit(order_, nch_),
      a(count(nch_, nch_, order_)),
      vf(count(nch_, nch_)),
      vfinv(count(nch_, nch_)),
      rootRe(count(nfft_)),
      rootIm(count(nfft_)),
      model(count(nch_, nch_, int64_t(order_) + 1)),
      factor(count(nch_, nch_)),
      substitution(count(nch_, nch_, int64_t(order_) + 1)),
      byTransform(false),
      h(count(nch_, nch_)),
      vh(count(nch_, nch_)),
      g(count(nch_, int64_t(nch_) + 1) / 2),
      gDiagonal(count(nch_)),
      inverseDiagonal(count(nch_)),
      column(count(2 * int64_t(nch_))),
      coherences(count(nch_)) {
  for (int32_t k = 0; k < nfft; ++k) {
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(k) / nfft;
    rootRe[static_cast<size_t>(k)] = std::cos(angle);
    rootIm[static_cast<size_t>(k)] = -std::sin(angle);
  }
  if (order < 1 || nch < 1 || nfft < 1) return;
  const auto root = [&](int64_t k, int lane, CLaneD& z) {
    const auto at = static_cast<size_t>(k % nfft);
    z.re[lane] = rootRe[at];
    z.im[lane] = rootIm[at];
  };

  // The cheaper way to the transfer function, in lane operations per coefficient
  // sequence: directly 4 order per block; by transforms, for each group of kLanes
  // residues, 2 (order + 1) to premultiply and 10 per butterfly, each of which takes
  // about 1.6 times as long as one of the direct sum's (they wait on loads and
  // stores). For 8 channels and nfft 1024 the transforms take over from order 22.
  int32_t M = 1;
  while (M < order + 1) M *= 2;
  const int64_t blocks = (int64_t(nfreq) + kLanes - 1) / kLanes;
  if (M <= nfft && nfft / M >= kLanes && 2 * int64_t(nfreq) <= nfft) {
    const double groups = double(nfft / M) / kLanes;
    const double direct = 4.0 * order * double(blocks);
    const double transform = 1.6 * groups * (2.0 * (order + 1) + 5.0 * M * std::log2(double(M)));
    const double bytes = double(M / 2) * nch * double(nch) * sizeof(CLaneD);
    byTransform = transform < direct && bytes <= kTransferBytes;
  }

  if (!byTransform) {
    // Frequencies past nfreq repeat the last one; their lanes are not stored.
    twiddle.resize(count(blocks, order));
    for (int64_t b = 0; b < blocks; ++b)
      for (int32_t l = 1; l <= order; ++l)
        for (int lane = 0; lane < kLanes; ++lane) {
          const int64_t f = std::min<int64_t>(b * kLanes + lane + 1, nfreq);
          root((f - 1) * l, lane, twiddle[size_t(b * order + l - 1)]);
        }
    return;
  }
  fftLength = M;
  residues = nfft / M;
  const int32_t groups = residues / kLanes;
  premultiplier.resize(count(groups, int64_t(order) + 1));
  for (int32_t o = 0; o < groups; ++o)
    for (int32_t l = 0; l <= order; ++l)
      for (int lane = 0; lane < kLanes; ++lane)
        root(int64_t(l) * (o * kLanes + lane), lane,
             premultiplier[size_t(o) * size_t(order + 1) + size_t(l)]);
  int32_t bits = 0;
  while ((1 << bits) < M) ++bits;
  bitReversed.resize(size_t(M));
  for (int32_t l = 0; l < M; ++l) {
    int32_t r = 0;
    for (int32_t b = 0; b < bits; ++b) r |= ((l >> b) & 1) << (bits - 1 - b);
    bitReversed[size_t(l)] = r;
  }
  sequence.resize(size_t(M));
  transfer.resize(count(M / 2, nch, nch));
}

namespace {

// All frequencies, the transfer function of each block made by transferDirect or
// of each group of blocks by transferByTransform.
template <bool Whitened>
KELV_LANE_INLINE void allBlocks(SpectralWork& w, float* measures, float* coherences) {
  if (!w.byTransform) {
    for (int32_t first = 1; first <= w.nfreq; first += kLanes) {
      transferDirect(w, (first - 1) / kLanes, w.h.data());
      blockMeasures<Whitened>(w, w.h.data(), first, measures, coherences);
    }
    return;
  }
  const size_t nn = count(w.nch, w.nch);
  for (int32_t o = 0; o < w.residues / kLanes; ++o) {
    for (int32_t d = 1; d <= w.nch; ++d)
      for (int32_t c = 1; c <= w.nch; ++c) transferByTransform(w, o, c, d);
    for (int32_t q = 0; q < w.fftLength / 2; ++q) {
      const int32_t first = w.residues * q + kLanes * o + 1;
      if (first <= w.nfreq)
        blockMeasures<Whitened>(w, w.transfer.data() + size_t(q) * nn, first, measures, coherences);
    }
  }
}

}  // namespace

int32_t fitWindow(int32_t nlen, const float* x, SpectralWork& w) {
  assert(w.order >= 1 && w.order + 1 <= w.nfft && w.nfreq <= w.nfft);
  const int32_t degenerate =
      ARFIT(w.order, w.nch, nlen, x, w.a.data(), w.vf.data(), w.vfinv.data(), w.fit);
  w.whitened = degenerate == 0 && whiten(w);
  return degenerate;
}

KELV_LANE_KERNEL void spectralStage(SpectralWork& w, float* measures, float* coherences) {
  if (w.whitened)
    allBlocks<true>(w, measures, coherences);
  else
    allBlocks<false>(w, measures, coherences);
}

int32_t coherenceSpectrum(int32_t nlen, const float* x, SpectralWork& w, float* measures,
                          float* coherences) {
  const int32_t degenerate = fitWindow(nlen, x, w);
  if (degenerate > 0) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    std::fill(measures, measures + w.nfreq, nan);
    if (coherences) std::fill(coherences, coherences + int64_t(w.nch) * w.nfreq, nan);
    return degenerate;
  }
  spectralStage(w, measures, coherences);
  return 0;
}

}  // namespace kelv
