// Spectral matrices of the fitted vector autoregressive model, frequency by
// frequency as the model's definition gives them; one algorithm for float and for
// double storage. The run itself computes the measure by the cheaper route of
// estimation/spectrum.cpp; these routines are its reference.
#include <cassert>
#include <complex>
#include <vector>

#include "estimation/arfit.hpp"
#include "numerics/numerics.hpp"
#include "reference/reference.hpp"

namespace kelv {

namespace {

template <class T>
void spectralStage(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const T* a,
                   const T* vfinv, std::complex<T>* spectra) {
  using Z = std::complex<T>;
  assert(order + 1 <= nfft && nfreq <= nfft);
  const int32_t p = order;
  const auto nn = static_cast<size_t>(nch) * static_cast<size_t>(nch);
  std::vector<T> reStore(static_cast<size_t>(nfft)), imStore(static_cast<size_t>(nfft));
  std::vector<Z> hStore(nn * static_cast<size_t>(nfreq)), gStore(nn), ginvStore(nn);
  View3<const T> A(a, nch, nch, p);
  View2<const T> Vinv(vfinv, nch, nch);
  View1<T> re(reStore.data(), nfft), im(imStore.data(), nfft);
  View3<Z> H(hStore.data(), nch, nch, nfreq);
  View2<Z> G(gStore.data(), nch, nch), Ginv(ginvStore.data(), nch, nch);
  View3<Z> S(spectra, nch, nch, nfreq);

  // H(c, d, f) = delta_cd + sum_l A_l(c, d) exp(-2 pi i (f-1) l / nfft).
  for (int32_t c = 1; c <= nch; ++c)
    for (int32_t d = 1; d <= nch; ++d) {
      for (int32_t k = 1; k <= nfft; ++k) re(k) = im(k) = 0;
      re(1) = c == d ? 1 : 0;
      for (int32_t l = 1; l <= p; ++l) re(l + 1) = A(c, d, l);
      FASTF(reStore.data(), imStore.data(), nfft);
      for (int32_t f = 1; f <= nfreq; ++f) H(c, d, f) = Z(re(f), im(f));
    }

  for (int32_t f = 1; f <= nfreq; ++f) {
    // G = H^H V^-1 H, the inverse of 2 pi S: upper triangle summed directly, the
    // lower one its conjugate.
    for (int32_t i = 1; i <= nch; ++i)
      for (int32_t j = i; j <= nch; ++j) {
        double gre = 0.0, gim = 0.0;
        for (int32_t s = 1; s <= nch; ++s) {
          const double ar = H(s, i, f).real(), ai = H(s, i, f).imag();
          for (int32_t t = 1; t <= nch; ++t) {
            const double br = H(t, j, f).real(), bi = H(t, j, f).imag();
            const double v = Vinv(s, t);
            gre += v * (ar * br + ai * bi);
            gim += v * (ar * bi - ai * br);
          }
        }
        G(i, j) = Z(static_cast<T>(gre), static_cast<T>(gim));
      }
    for (int32_t i = 1; i <= nch - 1; ++i)
      for (int32_t j = i + 1; j <= nch; ++j) G(j, i) = std::conj(G(i, j));

    HERMINV(nch, gStore.data(), ginvStore.data());

    const T twoPi = 6.2831855f;
    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i)
        S(i, j, f) = Z(Ginv(i, j).real() / twoPi, Ginv(i, j).imag() / twoPi);
  }
}

template <class T>
int32_t analyse(int32_t order, int32_t nch, int32_t nlen, int32_t nfft, int32_t nfreq,
                const float* x, std::complex<T>* spectra) {
  assert(order >= 1 && order + 1 <= nfft && nfreq <= nfft);
  const size_t mat = static_cast<size_t>(nch) * static_cast<size_t>(nch);
  std::vector<T> a(mat * static_cast<size_t>(order)), vf(mat), vfinv(mat);
  const int32_t degenerate = ARFIT(order, nch, nlen, x, a.data(), vf.data(), vfinv.data());
  spectralStage(order, nch, nfft, nfreq, a.data(), vfinv.data(), spectra);
  return degenerate;
}

}  // namespace

void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const float* a,
            const float* vfinv, cfloat* spectra) {
  spectralStage(order, nch, nfft, nfreq, a, vfinv, spectra);
}
void ARSPEC(int32_t order, int32_t nch, int32_t nfft, int32_t nfreq, const double* a,
            const double* vfinv, cdouble* spectra) {
  spectralStage(order, nch, nfft, nfreq, a, vfinv, spectra);
}
int32_t ARSPECTR(int32_t order, int32_t nch, int32_t nlen, int32_t nfft, int32_t nfreq,
                 const float* x, cfloat* spectra) {
  return analyse(order, nch, nlen, nfft, nfreq, x, spectra);
}
int32_t ARSPECTR(int32_t order, int32_t nch, int32_t nlen, int32_t nfft, int32_t nfreq,
                 const float* x, cdouble* spectra) {
  return analyse(order, nch, nlen, nfft, nfreq, x, spectra);
}

}  // namespace kelv
