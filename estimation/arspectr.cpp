// Spectral matrices of the fitted vector autoregressive model.
//
// The stage runs kLanes frequencies at a time (estimation/lanes.hpp): the transfer
// function comes from FASTF's transforms of the coefficient sequences, kLanes
// sequences at once, and G = H^H V^-1 H and its Hermitian inverse are formed for
// kLanes frequencies side by side, each lane exactly as for a single frequency.
#include <algorithm>
#include <cassert>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "estimation/lanes.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

namespace {

size_t count(int32_t a, int32_t b = 1, int32_t c = 1) {
  return static_cast<size_t>(a) * static_cast<size_t>(b) * static_cast<size_t>(c);
}

}  // namespace

SpectralWork::SpectralWork(int32_t order_, int32_t nch_, int32_t nfft_, int32_t nfreq_)
    : order(order_),
      nch(nch_),
      nfft(nfft_),
      nfreq(nfreq_),
      blocks((nfreq_ + kLanes - 1) / kLanes),
      a(count(nch_, nch_, order_)),
      vf(count(nch_, nch_)),
      vfinv(count(nch_, nch_)),
      twiddles(2 * count(std::max(nfft_ - 1, 0))),
      fre(count(nfft_)),
      fim(count(nfft_)),
      hre(count(nch_, nch_, blocks * kLanes)),
      him(count(nch_, nch_, blocks * kLanes)),
      hdre(count(nch_, nch_)),
      hdim(count(nch_, nch_)),
      g(count(nch_, nch_)),
      ginv(count(nch_, nch_)),
      s(count(nch_, nch_)),
      inverse(herminvLanesWork(nch_)),
      reduced(count(std::max(nch_ - 1, 0), std::max(nch_ - 1, 0))),
      reducedInv(count(std::max(nch_ - 1, 0), std::max(nch_ - 1, 0))),
      cross(count(std::max(nch_ - 1, 0))),
      coherences(count(nch_)) {
  if (nfft >= 2) fastfTwiddles(nfft, twiddles.data());
}

KELV_LANE_KERNEL void transferLanes(SpectralWork& w) {
  const int32_t nch = w.nch, nfft = w.nfft, nfreq = w.nfreq, p = w.order;
  const int32_t elements = nch * nch;
  const int32_t padded = w.blocks * kLanes;
  View3<const float> A(w.a.data(), nch, nch, p);
  View1<LaneF> re(w.fre.data(), nfft), im(w.fim.data(), nfft);
  View2<float> Hre(w.hre.data(), padded, elements), Him(w.him.data(), padded, elements);

  // H(f) = I + sum_l A_l exp(-2 pi i (f-1) l / nfft): the transform of the sequence
  // (delta_cd, A_1(c,d), ..., A_p(c,d), 0, ...) of every element, kLanes elements
  // (column-major order) per batch; lanes past the last element transform zeros.
  for (int32_t first = 0; first < elements; first += kLanes) {
    for (int32_t k = 1; k <= nfft; ++k) {
      re(k) = splatF(0.0f);
      im(k) = splatF(0.0f);
    }
    for (int l = 0; l < kLanes && first + l < elements; ++l) {
      const int32_t c = (first + l) % nch + 1, d = (first + l) / nch + 1;
      re(1)[l] = c == d ? 1.0f : 0.0f;
      for (int32_t lag = 1; lag <= p; ++lag) re(lag + 1)[l] = A(c, d, lag);
    }
    fastfLanes(nfft, p + 1, w.twiddles.data(), re.data(), im.data());
    for (int l = 0; l < kLanes && first + l < elements; ++l)
      for (int32_t f = 1; f <= padded; ++f) {
        const int32_t from = std::min(f, nfreq);
        Hre(f, first + l + 1) = re(from)[l];
        Him(f, first + l + 1) = im(from)[l];
      }
  }
}

KELV_LANE_KERNEL void spectrumLanes(SpectralWork& w, int32_t first) {
  const int32_t nch = w.nch;
  const int32_t padded = w.blocks * kLanes;
  View2<const float> Hre(w.hre.data(), padded, nch * nch), Him(w.him.data(), padded, nch * nch);
  View2<LaneD> HDre(w.hdre.data(), nch, nch), HDim(w.hdim.data(), nch, nch);
  View2<const float> Vinv(w.vfinv.data(), nch, nch);
  View2<CLane> G(w.g.data(), nch, nch), Ginv(w.ginv.data(), nch, nch), S(w.s.data(), nch, nch);

  for (int32_t d = 1; d <= nch; ++d)
    for (int32_t c = 1; c <= nch; ++c) {
      const int32_t element = c + (d - 1) * nch;
      HDre(c, d) = widen(loadF(&Hre(first, element)));
      HDim(c, d) = widen(loadF(&Him(first, element)));
    }

  // G = H^H V^-1 H is the inverse of 2 pi S; its upper triangle is summed directly,
  // the lower one is its conjugate.
  for (int32_t i = 1; i <= nch; ++i)
    for (int32_t j = i; j <= nch; ++j) {
      LaneD gre = splat(0.0), gim = splat(0.0);
      for (int32_t s = 1; s <= nch; ++s) {
        const LaneD ar = HDre(s, i), ai = HDim(s, i);
        for (int32_t t = 1; t <= nch; ++t) {
          const LaneD br = HDre(t, j), bi = HDim(t, j);
          const double v = Vinv(s, t);
          gre += v * (ar * br + ai * bi);
          gim += v * (ar * bi - ai * br);
        }
      }
      G(i, j) = CLane{narrow(gre), narrow(gim)};
    }
  for (int32_t i = 1; i <= nch - 1; ++i)
    for (int32_t j = i + 1; j <= nch; ++j) G(j, i) = CLane{G(i, j).re, -G(i, j).im};

  herminvLanes(nch, G.data(), Ginv.data(), w.inverse.data());

  for (int32_t j = 1; j <= nch; ++j)
    for (int32_t i = 1; i <= nch; ++i)
      S(i, j) = CLane{Ginv(i, j).re / 6.2831855f, Ginv(i, j).im / 6.2831855f};
}

void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const float* a,
            const float* vfinv, cfloat* spec) {
  assert(order + 1 <= nfft && nfreq <= nfft);
  SpectralWork work(order, nch, nfft, nfreq);
  std::copy(a, a + work.a.size(), work.a.begin());
  std::copy(vfinv, vfinv + work.vfinv.size(), work.vfinv.begin());
  transferLanes(work);

  View3<cfloat> S(spec, nch, nch, nfreq);
  View2<const CLane> Sl(work.s.data(), nch, nch);
  for (int32_t first = 1; first <= nfreq; first += kLanes) {
    spectrumLanes(work, first);
    for (int l = 0; l < kLanes && first + l <= nfreq; ++l)
      for (int32_t j = 1; j <= nch; ++j)
        for (int32_t i = 1; i <= nch; ++i)
          S(i, j, first + l) = cfloat(Sl(i, j).re[l], Sl(i, j).im[l]);
  }
}

void ARSPECTR(int32_t order, int32_t nch, int32_t nlen, int32_t nfft, int32_t nfreq, const float* x,
              cfloat* spec) {
  assert(order >= 1 && order + 1 <= nfft && nfreq <= nfft);
  const size_t mat = static_cast<size_t>(nch) * static_cast<size_t>(nch);
  std::vector<float> a(mat * static_cast<size_t>(order)), vf(mat), vfinv(mat);
  ARFIT(order, nch, nlen, x, a.data(), vf.data(), vfinv.data());
  ARSPEC(order, nch, nfft, nfreq, a.data(), vfinv.data(), spec);
}

void coherenceSpectrum(int32_t nlen, const float* x, SpectralWork& w, float* measures) {
  assert(w.order >= 1 && w.order + 1 <= w.nfft && w.nfreq <= w.nfft);
  ARFIT(w.order, w.nch, nlen, x, w.a.data(), w.vf.data(), w.vfinv.data());
  transferLanes(w);
  View1<float> M(measures, w.nfreq);
  View1<const LaneF> R(w.coherences.data(), w.nch);
  for (int32_t first = 1; first <= w.nfreq; first += kLanes) {
    spectrumLanes(w, first);
    canocohLanes(w);
    // coherenceMeasure of each lane: product from 1.0 in ascending order, in double.
    LaneD prod = splat(1.0);
    for (int32_t m = 1; m <= w.nch; ++m) prod *= widen(R(m));
    const LaneF measure = narrow(laneSqrt(prod));
    for (int l = 0; l < kLanes && first + l <= w.nfreq; ++l) M(first + l) = measure[l];
  }
}

}  // namespace kelv
