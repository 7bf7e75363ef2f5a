#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "reference/reference.hpp"
#include "support/estimation_support.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::lagCovariance;
using testing::maxAbs;

constexpr double kTwoPi = 6.283185307179586;

// Spectrum V / (2 pi |1 + sum_l a_l e^{-i w l}|^2) of the scalar model that the
// Levinson-Durbin recursion fits, in double, to the biased autocovariances.
std::vector<double> levinsonSpectrum(const std::vector<float>& x, int nlen, int p, int nfft,
                                     int nfreq) {
  std::vector<double> r(p + 1), a(p + 1, 0.0);
  for (int k = 0; k <= p; ++k) r[k] = lagCovariance(x.data(), 1, nlen, k)[0];
  double e = r[0];
  for (int m = 1; m <= p; ++m) {
    double acc = r[m];
    for (int l = 1; l < m; ++l) acc += a[l] * r[m - l];
    const double k = -acc / e;
    const std::vector<double> old = a;
    a[m] = k;
    for (int l = 1; l < m; ++l) a[l] = old[l] + k * old[m - l];
    e *= 1.0 - k * k;
  }
  std::vector<double> s(nfreq);
  for (int f = 1; f <= nfreq; ++f) {
    std::complex<double> h = 1.0;
    for (int l = 1; l <= p; ++l) h += a[l] * std::polar(1.0, -kTwoPi * (f - 1) * l / nfft);
    s[f - 1] = e / (kTwoPi * std::norm(h));
  }
  return s;
}

TEST(ARSPECTR, SingleChannelIsScalarLevinsonDurbin) {
  sim::VarModel ar(1, 2);
  ar.a(1, 1, 1) = -1.2;
  ar.a(2, 1, 1) = 0.6;
  struct Case {
    int nlen, order, nfft;
  };
  // The last case has more lags than samples: those covariances are zero.
  for (const Case c : {Case{1000, 5, 128}, Case{300, 1, 32}, Case{3, 5, 8}}) {
    const std::vector<float> x = sim::simulate(ar, c.nlen, 31 + c.nlen);
    const int nfreq = c.nfft / 2;
    std::vector<cfloat> spectra(nfreq);
    ARSPECTR(c.order, 1, c.nlen, c.nfft, nfreq, x.data(), spectra.data());
    const std::vector<double> ref = levinsonSpectrum(x, c.nlen, c.order, c.nfft, nfreq);
    // Float storage of covariances and coefficients, amplified by the condition of
    // the Toeplitz system (at most the spectral dynamic range, here about 130):
    // 2e-5 is 130 u with a factor 2.5 to spare; the errors seen are near 2e-6.
    for (int f = 1; f <= nfreq; ++f) {
      EXPECT_NEAR(spectra[f - 1].real() / ref[f - 1], 1.0, 2e-5) << c.nlen << " f " << f;
      EXPECT_NEAR(spectra[f - 1].imag(), 0.0, 1e-6 * ref[f - 1]);
    }
  }
}

TEST(ARSPECTR, OrderOneMatchesClosedForm) {
  // A_1 = -G1 G0^-1 and V = G0 - G1 G0^-1 G1^T, and the spectrum of that model.
  sim::VarModel var1(3, 1);
  const double p1[3][3] = {{0.6, 0.2, 0.0}, {-0.3, 0.5, 0.1}, {0.0, 0.4, -0.4}};
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) var1.a(1, i, j) = -p1[i - 1][j - 1];
  var1.v(1, 2) = var1.v(2, 1) = 0.4;
  const int nch = 3, nlen = 4000, nfft = 64, nfreq = 32;
  const std::vector<float> x = sim::simulate(var1, nlen, 41);

  const std::vector<double> g0 = lagCovariance(x.data(), nch, nlen, 0);
  const std::vector<double> g1 = lagCovariance(x.data(), nch, nlen, 1);
  const std::vector<double> g0inv = testing::inverseOf(g0, nch);
  sim::VarModel fit(nch, 1);
  for (int i = 0; i < nch; ++i)
    for (int j = 0; j < nch; ++j) {
      double s = 0.0;
      for (int k = 0; k < nch; ++k) s += g1[i + k * nch] * g0inv[k + j * nch];
      fit.a(1, i + 1, j + 1) = -s;
    }
  for (int i = 0; i < nch; ++i)
    for (int j = 0; j < nch; ++j) {
      double s = 0.0;
      for (int k = 0; k < nch; ++k) s += fit.a(1, i + 1, k + 1) * g1[j + k * nch];
      fit.v(i + 1, j + 1) = g0[i + j * nch] + s;
    }

  std::vector<float> a(nch * nch), vf(nch * nch), vfinv(nch * nch);
  ARFIT(1, nch, nlen, x.data(), a.data(), vf.data(), vfinv.data());
  EXPECT_TRUE(testing::allNear(a, std::vector<double>(fit.A.begin(), fit.A.end()), 1e-5));
  EXPECT_TRUE(testing::allNear(vf, fit.V, 1e-5));

  std::vector<cfloat> spectra(nch * nch * nfreq);
  ARSPECTR(1, nch, nlen, nfft, nfreq, x.data(), spectra.data());
  for (int f = 1; f <= nfreq; ++f) {
    const sim::cmat s = sim::trueSpectrum(fit, double(f - 1) / nfft);
    const cfloat* got = spectra.data() + (f - 1) * nch * nch;
    const double scale = maxAbs(s.data(), nch * nch);
    for (int e = 0; e < nch * nch; ++e)
      EXPECT_LE(std::abs(cdouble(got[e]) - s[e]), 1e-5 * scale) << "f " << f << " element " << e;
  }
}

// Whittle's recursion solves the block Yule-Walker equations
//   sum_l A_l G(k - l) = -G(k), k = 1..p,   V = G(0) + sum_l A_l G(l)^T,
// with G(-d) = G(d)^T. Solving them directly in double checks every part of the
// recursion at orders where the backward predictors and V_b of the later steps
// matter (order 1 and 2 leave those unused, and one channel hides transposes).
TEST(ARFIT, SolvesTheBlockYuleWalkerEquations) {
  const int nch = 3, nlen = 400;
  const std::vector<float> x = sim::simulate(testing::coupledVar2(), nlen, 5);
  for (int p = 1; p <= 6; ++p) {
    // The covariances as the fit stores them: float.
    std::vector<std::vector<double>> g(p + 1);
    for (int k = 0; k <= p; ++k) {
      g[k] = lagCovariance(x.data(), nch, nlen, k);
      for (double& v : g[k]) v = double(float(v));
    }
    const auto gamma = [&](int d, int i, int j) {
      return d >= 0 ? g[d][i + j * nch] : g[-d][j + i * nch];
    };
    // [A_1 ... A_p] M = -[G(1) ... G(p)], block (l, k) of M being G(k - l).
    const int n = nch * p;
    sim::cmat m(size_t(n) * n);
    for (int l = 1; l <= p; ++l)
      for (int k = 1; k <= p; ++k)
        for (int s = 0; s < nch; ++s)
          for (int j = 0; j < nch; ++j)
            m[(nch * (l - 1) + s) + size_t(nch * (k - 1) + j) * n] = gamma(k - l, s, j);
    const sim::cmat minv = sim::invert(m, n);
    std::vector<double> ref(size_t(nch) * n);  // A_l(i, s) at (i, nch (l-1) + s)
    for (int i = 0; i < nch; ++i)
      for (int c = 0; c < n; ++c) {
        double sum = 0.0;
        for (int r = 0; r < n; ++r)
          sum -= gamma(1 + r / nch, i, r % nch) * minv[r + size_t(c) * n].real();
        ref[i + size_t(c) * nch] = sum;
      }
    std::vector<double> refV(size_t(nch) * nch);
    for (int i = 0; i < nch; ++i)
      for (int j = 0; j < nch; ++j) {
        double v = gamma(0, i, j);
        for (int l = 1; l <= p; ++l)
          for (int s = 0; s < nch; ++s)
            v += ref[i + size_t(nch * (l - 1) + s) * nch] * gamma(-l, s, j);
        refV[i + j * nch] = v;
      }

    std::vector<float> a(size_t(nch) * n), vf(nch * nch), vfinv(nch * nch);
    ARFIT(p, nch, nlen, x.data(), a.data(), vf.data(), vfinv.data());
    // Float storage through p steps of a well-conditioned recursion: agreement near
    // 1e-7 is seen; 1e-5 leaves room for rounding while a wrong product order or a
    // missing transpose moves coefficients by several hundredths.
    EXPECT_TRUE(testing::allNear(a, ref, 1e-5)) << "order " << p;
    EXPECT_TRUE(testing::allNear(vf, refV, 1e-5)) << "order " << p;
  }
}

TEST(ARSPECTR, SpectralMatricesAreHermitianAndWhollyWritten) {
  const sim::VarModel m = testing::coupledVar2();
  const int nch = 3, nlen = 3000, order = 4, nfft = 256, nfreq = 128;
  const std::vector<float> x = sim::simulate(m, nlen, 51);
  std::vector<cfloat> spectra(nch * nch * nfreq, cfloat(std::nanf(""), std::nanf("")));
  ARSPECTR(order, nch, nlen, nfft, nfreq, x.data(), spectra.data());
  for (int f = 1; f <= nfreq; ++f) {
    const cfloat* s = spectra.data() + (f - 1) * nch * nch;
    const double scale = maxAbs(s, nch * nch);
    EXPECT_TRUE(std::isfinite(scale)) << "f " << f;
    EXPECT_LE(testing::hermitianDefect(nch, s), 1e-6 * scale) << "f " << f;
    for (int i = 0; i < nch; ++i) EXPECT_GT(s[i * (nch + 1)].real(), 0.0f);
  }
  // Frequency zero: H is real, so the matrix is real.
  for (int e = 0; e < nch * nch; ++e)
    EXPECT_LE(std::abs(spectra[e].imag()), 1e-6 * maxAbs(spectra.data(), nch * nch));
}

TEST(ARSPECTR, WhiteNoiseModelHasFlatSpectrum) {
  // With every A_l = 0, H = I and S(f) = V / 2pi at every frequency.
  testing::Rng rng(61);
  for (int nch : {1, 2, 5}) {
    for (int order : {1, 3}) {
      const int nfft = 16, nfreq = 8;
      const std::vector<cfloat> c = testing::randomHermitianPd(rng, nch);
      std::vector<double> v(nch * nch);
      for (int e = 0; e < nch * nch; ++e) v[e] = c[e].real();  // real symmetric PD
      std::vector<float> vinv(nch * nch);
      const std::vector<double> vinvd = testing::inverseOf(v, nch);
      for (int e = 0; e < nch * nch; ++e) vinv[e] = float(vinvd[e]);
      const std::vector<double> vback =
          testing::inverseOf(std::vector<double>(vinv.begin(), vinv.end()), nch);
      std::vector<float> a(nch * nch * order, 0.0f);
      std::vector<cfloat> spectra(nch * nch * nfreq);
      ARSPEC(order, nch, nfft, nfreq, a.data(), vinv.data(), spectra.data());
      const double tol = testing::inverseTolerance<cfloat>(nch, testing::hermitianPdBound(nch)) *
                         maxAbs(vback.data(), nch * nch);
      for (int f = 1; f <= nfreq; ++f)
        for (int e = 0; e < nch * nch; ++e)
          EXPECT_LE(std::abs(cdouble(spectra[(f - 1) * nch * nch + e]) - vback[e] / kTwoPi), tol)
              << nch << " " << order << " f " << f;
    }
  }
}

TEST(ARSPECTR, RepeatedCallsGiveIdenticalBits) {
  const sim::VarModel m = testing::coupledVar2();
  const int nch = 3, nlen = 500, order = 3, nfft = 512, nfreq = 256;
  const std::vector<float> x = sim::simulate(m, nlen, 71);
  std::vector<cfloat> first(nch * nch * nfreq), second(nch * nch * nfreq, cfloat(7.0f, 7.0f));
  ARSPECTR(order, nch, nlen, nfft, nfreq, x.data(), first.data());
  ARSPECTR(order, nch, nlen, nfft, nfreq, x.data(), second.data());
  EXPECT_EQ(std::memcmp(first.data(), second.data(), first.size() * sizeof(cfloat)), 0);
}

TEST(ARSPECTR, SingularWindowIsCountedAndStillReturns) {
  // Two identical channels of +-1 make the lag-zero covariance exactly singular;
  // a zero channel makes its row exactly zero. Each degenerate inversion is counted
  // (the program writes one warning line for each), at most 2 p + 2 of them, in float
  // as in double; nothing is printed by the routine itself.
  testing::Rng rng(81);
  const int nch = 3, nlen = 256, order = 2, nfft = 256, nfreq = 128;
  for (int variant = 0; variant < 2; ++variant) {
    std::vector<float> x(nch * nlen);
    for (int t = 0; t < nlen; ++t) {
      x[t * nch] = rng.uniform() < 0.5 ? -1.0f : 1.0f;
      x[t * nch + 1] = variant == 0 ? x[t * nch] : 0.0f;
      x[t * nch + 2] = float(rng.normal());
    }
    std::vector<cfloat> spectra(nch * nch * nfreq, cfloat(12345.0f, 12345.0f));
    std::vector<cdouble> spectraD(nch * nch * nfreq, cdouble(12345.0, 12345.0));
    int32_t count = 0, countD = 0;
    std::string out;
    {
      testing::CapturedStdout capture;
      count = ARSPECTR(order, nch, nlen, nfft, nfreq, x.data(), spectra.data());
      countD = ARSPECTR(order, nch, nlen, nfft, nfreq, x.data(), spectraD.data());
      out = capture.text();
    }
    EXPECT_EQ(out, "");
    for (int32_t c : {count, countD}) {
      EXPECT_GE(c, 2) << variant;
      EXPECT_LE(c, 2 * order + 2) << variant;
    }
    for (const cfloat& s : spectra) EXPECT_NE(s, cfloat(12345.0f, 12345.0f));
    for (const cdouble& s : spectraD) EXPECT_NE(s, cdouble(12345.0, 12345.0));
  }
}

}  // namespace
}  // namespace kelv
