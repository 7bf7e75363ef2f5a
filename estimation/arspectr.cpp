// Spectral matrices of the fitted vector autoregressive model.
#include <cassert>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const float* a,
            const float* vfinv, cfloat* spec) {
  assert(order + 1 <= nfft && nfreq <= nfft);
  const int32_t p = order;
  const size_t mat = static_cast<size_t>(nch) * static_cast<size_t>(nch);
  std::vector<float> reStore(static_cast<size_t>(nfft)), imStore(static_cast<size_t>(nfft));
  std::vector<cfloat> hStore(mat * static_cast<size_t>(nfreq)), gStore(mat), ginvStore(mat);

  View3<const float> A(a, nch, nch, p);
  View2<const float> Vinv(vfinv, nch, nch);
  View1<float> re(reStore.data(), nfft), im(imStore.data(), nfft);
  View3<cfloat> H(hStore.data(), nch, nch, nfreq);
  View2<cfloat> G(gStore.data(), nch, nch), Ginv(ginvStore.data(), nch, nch);
  View3<cfloat> S(spec, nch, nch, nfreq);

  // Transfer matrix H(f) = I + sum_l A_l exp(-2 pi i (f-1) l / nfft), one transform
  // per element.
  for (int32_t c = 1; c <= nch; ++c)
    for (int32_t d = 1; d <= nch; ++d) {
      for (int32_t k = 1; k <= nfft; ++k) {
        re(k) = 0.0f;
        im(k) = 0.0f;
      }
      re(1) = c == d ? 1.0f : 0.0f;
      for (int32_t l = 1; l <= p; ++l) re(l + 1) = A(c, d, l);
      FASTF(re.data(), im.data(), nfft);
      for (int32_t f = 1; f <= nfreq; ++f) H(c, d, f) = cfloat(re(f), im(f));
    }

  // G = H^H V^-1 H is the inverse of 2 pi S; its upper triangle is summed directly,
  // the lower one is its conjugate.
  for (int32_t f = 1; f <= nfreq; ++f) {
    for (int32_t i = 1; i <= nch; ++i)
      for (int32_t j = i; j <= nch; ++j) {
        double gre = 0.0, gim = 0.0;
        for (int32_t s = 1; s <= nch; ++s)
          for (int32_t t = 1; t <= nch; ++t) {
            const double ar = H(s, i, f).real(), ai = H(s, i, f).imag();
            const double br = H(t, j, f).real(), bi = H(t, j, f).imag();
            const double v = Vinv(s, t);
            gre += v * (ar * br + ai * bi);
            gim += v * (ar * bi - ai * br);
          }
        G(i, j) = cfloat(static_cast<float>(gre), static_cast<float>(gim));
      }
    for (int32_t i = 1; i <= nch - 1; ++i)
      for (int32_t j = i + 1; j <= nch; ++j) G(j, i) = std::conj(G(i, j));

    HERMINV(nch, G.data(), Ginv.data());

    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i)
        S(i, j, f) = cfloat(Ginv(i, j).real() / 6.2831855f, Ginv(i, j).imag() / 6.2831855f);
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

}  // namespace kelv
