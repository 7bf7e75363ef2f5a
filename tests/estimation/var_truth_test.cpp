// Estimates from a long simulated VAR(2) process held against the model that
// generated it, with tolerances taken from the asymptotic distribution of the
// Yule-Walker estimates for that sample size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "reference/reference.hpp"
#include "support/estimation_support.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

constexpr int kNch = 3, kOrder = 2;
constexpr int64_t kSamples = 1 << 18;

const std::vector<float>& longRecord() {
  static const std::vector<float> x = sim::simulate(testing::coupledVar2(), kSamples, 2026);
  return x;
}

// Inverse of the covariance of the stacked regressor z(t) = (x(t-1), x(t-2)),
// 6 x 6, from the sample: blocks G0, G1 / G1^T, G0.
std::vector<double> regressorCovarianceInverse(const std::vector<float>& x) {
  const std::vector<double> g0 = testing::lagCovariance(x.data(), kNch, kSamples, 0);
  const std::vector<double> g1 = testing::lagCovariance(x.data(), kNch, kSamples, 1);
  const int n = kNch * kOrder;
  std::vector<double> gz(n * n);
  for (int a = 0; a < kOrder; ++a)
    for (int b = 0; b < kOrder; ++b)
      for (int i = 0; i < kNch; ++i)
        for (int j = 0; j < kNch; ++j) {
          // E x(t-1-a) x(t-1-b)^T is G_{b-a} for b >= a, else G_{a-b}^T.
          double v;
          if (a == b)
            v = g0[i + j * kNch];
          else if (b > a)
            v = g1[i + j * kNch];
          else
            v = g1[j + i * kNch];
          gz[(a * kNch + i) + (b * kNch + j) * n] = v;
        }
  return testing::inverseOf(gz, n);
}

// Asymptotic covariance of vec(V^) for Gaussian innovations.
double innovationCovariance(const sim::VarModel& m, int i, int j, int k, int l) {
  return (m.v(i, k) * m.v(j, l) + m.v(i, l) * m.v(j, k)) / double(kSamples);
}

TEST(ARFIT, RecoversCoefficientsAndInnovationCovariance) {
  const sim::VarModel m = testing::coupledVar2();
  const std::vector<float>& x = longRecord();
  std::vector<float> a(kNch * kNch * kOrder), vf(kNch * kNch), vfinv(kNch * kNch);
  ARFIT(kOrder, kNch, kSamples, x.data(), a.data(), vf.data(), vfinv.data());

  // Cov(A^_l(i, j), A^_l(i, j)) = V(i, i) [Gz^-1]((l, j), (l, j)) / N. Five standard
  // errors: about 0.01 for these coefficients at this length.
  const std::vector<double> gzinv = regressorCovarianceInverse(x);
  const int n = kNch * kOrder;
  double worstZ = 0.0;
  for (int l = 1; l <= kOrder; ++l)
    for (int j = 1; j <= kNch; ++j)
      for (int i = 1; i <= kNch; ++i) {
        const int r = (l - 1) * kNch + (j - 1);
        const double se = std::sqrt(m.v(i, i) * gzinv[r + r * n] / double(kSamples));
        const double got = a[(i - 1) + (j - 1) * kNch + (l - 1) * kNch * kNch];
        EXPECT_NEAR(got, m.a(l, i, j), 5.0 * se) << "A_" << l << "(" << i << "," << j << ")";
        worstZ = std::max(worstZ, std::fabs(got - m.a(l, i, j)) / se);
      }
  for (int j = 1; j <= kNch; ++j)
    for (int i = 1; i <= kNch; ++i) {
      const double se = std::sqrt(innovationCovariance(m, i, j, i, j));
      const double got = vf[(i - 1) + (j - 1) * kNch];
      EXPECT_NEAR(got, m.v(i, j), 5.0 * se) << "V(" << i << "," << j << ")";
      worstZ = std::max(worstZ, std::fabs(got - m.v(i, j)) / se);
    }
  std::printf("largest deviation of A and V: %.2f standard errors\n", worstZ);
}

// Standard deviation of the estimated measure at `freq` by the delta method: the
// gradient of the true measure in the 18 coefficients and the 6 distinct entries of
// V (central differences), with the asymptotic covariances of their estimates.
double measureStandardDeviation(const sim::VarModel& m, const std::vector<double>& gzinv,
                                double freq) {
  const double h = 1e-6;
  const int n = kNch * kOrder;
  std::vector<double> gA(kNch * n);  // by (i, (l, j))
  for (int l = 1; l <= kOrder; ++l)
    for (int j = 1; j <= kNch; ++j)
      for (int i = 1; i <= kNch; ++i) {
        sim::VarModel up = m, down = m;
        up.a(l, i, j) += h;
        down.a(l, i, j) -= h;
        gA[(i - 1) + ((l - 1) * kNch + (j - 1)) * kNch] =
            (sim::trueMeasure(up, freq) - sim::trueMeasure(down, freq)) / (2 * h);
      }
  double var = 0.0;
  for (int r = 0; r < n; ++r)
    for (int s = 0; s < n; ++s)
      for (int i = 0; i < kNch; ++i)
        for (int k = 0; k < kNch; ++k)
          var += gA[i + r * kNch] * gA[k + s * kNch] * gzinv[r + s * n] * m.v(i + 1, k + 1) /
                 double(kSamples);

  struct Entry {
    int i, j;
    double g;
  };
  std::vector<Entry> gV;
  for (int j = 1; j <= kNch; ++j)
    for (int i = 1; i <= j; ++i) {
      sim::VarModel up = m, down = m;
      up.v(i, j) += h;
      down.v(i, j) -= h;
      if (i != j) {
        up.v(j, i) += h;
        down.v(j, i) -= h;
      }
      gV.push_back({i, j, (sim::trueMeasure(up, freq) - sim::trueMeasure(down, freq)) / (2 * h)});
    }
  for (const Entry& p : gV)
    for (const Entry& q : gV) var += p.g * q.g * innovationCovariance(m, p.i, p.j, q.i, q.j);
  return std::sqrt(var);
}

struct Agreement {
  double largest = 0.0, median = 0.0, largestZ = 0.0;
};

// Measure per frequency from ARSPECTR, CANOCOH and coherenceMeasure on x, against
// the true measure; fails a frequency whose deviation exceeds five standard
// deviations of the estimate plus a rounding floor.
Agreement compareWithTruth(const std::vector<float>& x, int nfft) {
  const sim::VarModel m = testing::coupledVar2();
  const int nfreq = nfft / 2;
  std::vector<cfloat> spectra(kNch * kNch * nfreq);
  ARSPECTR(kOrder, kNch, kSamples, nfft, nfreq, x.data(), spectra.data());
  const std::vector<double> gzinv = regressorCovarianceInverse(x);
  std::vector<double> dev;
  Agreement out;
  std::vector<float> r(kNch);
  for (int f = 1; f <= nfreq; ++f) {
    CANOCOH(spectra.data() + (f - 1) * kNch * kNch, kNch, r.data());
    const float measure = coherenceMeasure(r.data(), kNch);
    const double freq = double(f - 1) / nfft;
    const double truth = sim::trueMeasure(m, freq);
    const double sd = measureStandardDeviation(m, gzinv, freq);
    const double d = std::fabs(double(measure) - truth);
    EXPECT_LE(d, 5.0 * sd + 1e-4) << "f " << f << ": " << measure << " vs " << truth;
    dev.push_back(d);
    out.largestZ = std::max(out.largestZ, d / sd);
  }
  std::sort(dev.begin(), dev.end());
  out.largest = dev.back();
  out.median = dev[dev.size() / 2];
  return out;
}

TEST(ARSPECTR, MeasureAgreesWithTrueMeasureOfSimulatingModel) {
  const Agreement raw = compareWithTruth(longRecord(), 256);
  std::printf("fit on the raw record: largest deviation %.5f, median %.5f, largest %.2f sd\n",
              raw.largest, raw.median, raw.largestZ);

  // The same record through the window preprocessing first, as the analysis does:
  // trend removal and the 3-sigma clipping change the Gaussian data only slightly,
  // and the measure does not depend on the channels' scale.
  std::vector<float> w = longRecord();
  TRANSFX(kNch, kSamples, kSamples, 1, 0, w.data());
  const Agreement pre = compareWithTruth(w, 256);
  std::printf("after TRANSFX: largest deviation %.5f, median %.5f, largest %.2f sd\n", pre.largest,
              pre.median, pre.largestZ);
}

TEST(ARSPECTR, ConstantChannelGivesNotANumberMeasures) {
  // A window whose channel is constant has no defined measure; it must come out as
  // not-a-number at every frequency, without a crash.
  const int nlen = 200, nfft = 256, nfreq = 128;
  std::vector<float> w(kNch * nfft, 0.0f);
  const std::vector<float>& x = longRecord();
  std::copy(x.begin(), x.begin() + kNch * nlen, w.begin());
  for (int t = 0; t < nlen; ++t) w[t * kNch + 1] = 2.5f;
  TRANSFX(kNch, nlen, nfft, 1, 0, w.data());
  std::vector<cfloat> spectra(kNch * kNch * nfreq);
  {
    testing::CapturedStdout quiet;  // the fit may report degenerate matrices
    ARSPECTR(kOrder, kNch, nlen, nfft, nfreq, w.data(), spectra.data());
  }
  std::vector<float> r(kNch);
  for (int f = 1; f <= nfreq; ++f) {
    CANOCOH(spectra.data() + (f - 1) * kNch * kNch, kNch, r.data());
    EXPECT_TRUE(std::isnan(coherenceMeasure(r.data(), kNch))) << "f " << f;
  }
}

TEST(VarSimulator, ModelChangedInPlaceGetsAFreshFactor) {
  // The innovation factor used to be cached by the model's address, so a model whose
  // covariance was changed in place went on with the old one.
  sim::VarModel m(2, 1);
  sim::VarSimulator inPlace(2, 1, 5), fresh(2, 1, 5);
  double a[2], b[2];
  inPlace.step(m, a);
  fresh.step(m, b);
  m.v(1, 1) = 4.0;
  m.v(2, 2) = 9.0;
  const sim::VarModel copy = m;
  inPlace.step(m, a);
  fresh.step(copy, b);
  EXPECT_EQ(a[0], b[0]);
  EXPECT_EQ(a[1], b[1]);
}

}  // namespace
}  // namespace kelv
