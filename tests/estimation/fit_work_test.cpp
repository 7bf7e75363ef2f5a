// The model fit as the run performs it (sums in vector registers, storage reused from
// window to window) against Whittle's recursion written element by element.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "numerics/numerics.hpp"
#include "support/estimation_support.hpp"

namespace kelv {
namespace {

struct Fit {
  int32_t degenerate = 0;
  std::vector<double> a, vf, vfinv;
};

// Whittle's recursion one element at a time, every sum in double over its index in
// the order of the plain loops (lag, then channel), as the fit has always summed.
Fit elementByElement(int32_t p, int32_t n, int32_t nlen, const float* x) {
  const size_t mat = size_t(n) * n;
  Fit f;
  f.a.assign(mat * p, 0.0);
  f.vf.assign(mat, 0.0);
  f.vfinv.assign(mat, 0.0);
  std::vector<double> g(mat * (p + 1)), b(mat * p), a1(mat * p), b1(mat * p), vb(mat), vbinv(mat),
      dl(mat);
  View3<double> G(g.data(), n, n, p + 1), A(f.a.data(), n, n, p), B(b.data(), n, n, p),
      A1(a1.data(), n, n, p), B1(b1.data(), n, n, p);
  View2<double> Vf(f.vf.data(), n, n), Vb(vb.data(), n, n), D(dl.data(), n, n);
  View2<const float> X(x, n, nlen);
  for (int32_t k = 0; k <= p; ++k)
    for (int32_t j = 1; j <= n; ++j)
      for (int32_t i = 1; i <= n; ++i) {
        double s = 0.0;
        for (int32_t t = k + 1; t <= nlen; ++t) s += double(X(i, t)) * double(X(j, t - k));
        G(i, j, k + 1) = s / double(nlen);
      }
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t i = 1; i <= n; ++i) Vf(i, j) = Vb(i, j) = G(i, j, 1);
  const auto invert = [&](const double* v, double* vinv) {
    f.degenerate += MATRINV(n, v, vinv) ? 0 : 1;
  };
  for (int32_t m = 1; m <= p; ++m) {
    for (int32_t j = 1; j <= n; ++j)
      for (int32_t i = 1; i <= n; ++i) {
        double s = 0.0;
        for (int32_t l = 1; l <= m - 1; ++l)
          for (int32_t r = 1; r <= n; ++r) s += A(i, r, l) * G(r, j, m - l + 1);
        D(i, j) = G(i, j, m + 1) + s;
      }
    invert(f.vf.data(), f.vfinv.data());
    invert(vb.data(), vbinv.data());
    View2<double> Vfinv(f.vfinv.data(), n, n), Vbinv(vbinv.data(), n, n);
    for (int32_t j = 1; j <= n; ++j)
      for (int32_t i = 1; i <= n; ++i) {
        double sa = 0.0, sb = 0.0;
        for (int32_t r = 1; r <= n; ++r) {
          sa += D(i, r) * Vbinv(r, j);
          sb += D(r, i) * Vfinv(r, j);
        }
        A(i, j, m) = -sa;
        B(i, j, m) = -sb;
      }
    a1 = f.a;
    b1 = b;
    for (int32_t l = 1; l <= m - 1; ++l)
      for (int32_t j = 1; j <= n; ++j)
        for (int32_t i = 1; i <= n; ++i) {
          double sa = 0.0, sb = 0.0;
          for (int32_t r = 1; r <= n; ++r) {
            sa += A(i, r, m) * B1(r, j, m - l);
            sb += B(i, r, m) * A1(r, j, m - l);
          }
          A(i, j, l) = A1(i, j, l) + sa;
          B(i, j, l) = B1(i, j, l) + sb;
        }
    for (int32_t j = 1; j <= n; ++j)
      for (int32_t i = 1; i <= n; ++i) {
        double sa = 0.0, sb = 0.0;
        for (int32_t r = 1; r <= n; ++r) {
          sa += A(i, r, m) * D(j, r);
          sb += B(i, r, m) * D(r, j);
        }
        Vf(i, j) += sa;
        Vb(i, j) += sb;
      }
  }
  invert(f.vf.data(), f.vfinv.data());
  invert(vb.data(), vbinv.data());
  return f;
}

// Equal bits, or both not-a-number (whose payload the order of a sum's operands
// decides).
bool same(double u, double v) {
  return std::memcmp(&u, &v, sizeof u) == 0 || (std::isnan(u) && std::isnan(v));
}

void expectSame(const Fit& want, const Fit& got) {
  EXPECT_EQ(got.degenerate, want.degenerate);
  for (size_t k = 0; k < want.a.size(); ++k)
    ASSERT_TRUE(same(got.a[k], want.a[k]))
        << "coefficient " << k << ": " << got.a[k] << " " << want.a[k];
  for (size_t k = 0; k < want.vf.size(); ++k) {
    ASSERT_TRUE(same(got.vf[k], want.vf[k])) << "V " << k;
    ASSERT_TRUE(same(got.vfinv[k], want.vfinv[k])) << "V^-1 " << k;
  }
}

// A preprocessed window of the example's coupled process; with `twin`, channel 3
// repeats channel 1 (a singular fit).
std::vector<float> window(int32_t nch, int32_t nlen, uint64_t seed, bool twin = false) {
  std::vector<float> x = sim::simulate(sim::exampleModel(nch, true), nlen, seed);
  if (twin)
    for (int32_t t = 0; t < nlen; ++t) x[size_t(t) * nch + 2] = x[size_t(t) * nch];
  TRANSFX(nch, nlen, nlen, 1, 0, x.data());
  return x;
}

Fit fitWith(FitWork<double>& work, int32_t nlen, const std::vector<float>& x) {
  const size_t mat = size_t(work.nch) * work.nch;
  Fit f;
  f.a.resize(mat * work.order);
  f.vf.resize(mat);
  f.vfinv.resize(mat);
  f.degenerate =
      ARFIT(work.order, work.nch, nlen, x.data(), f.a.data(), f.vf.data(), f.vfinv.data(), work);
  return f;
}

TEST(ARFIT, SumsInVectorRegistersGiveTheElementByElementRecursionBitForBit) {
  // Channel counts below, at and past one lane vector (8), blocks of 8, 4, 2 and 1
  // columns; orders up to one that makes the coefficients outgrow a cache line.
  for (int32_t nch : {1, 2, 3, 5, 8, 9, 13, 17})
    for (int32_t order : {1, 2, 5, 12}) {
      SCOPED_TRACE("nch " + std::to_string(nch) + " order " + std::to_string(order));
      const int32_t nlen = 300;
      const std::vector<float> x = window(nch, nlen, 5 + nch);
      FitWork<double> work(order, nch);
      expectSame(elementByElement(order, nch, nlen, x.data()), fitWith(work, nlen, x));
    }
}

// The working storage keeps windows of another length and a singular fit from
// leaking into the next window: each fit equals the recursion on its own window.
TEST(FitWork, ReusedAcrossLengthsAndAfterASingularFitKeepsNothing) {
  const int32_t nch = 5, order = 6;
  FitWork<double> work(order, nch);
  struct Case {
    int32_t nlen;
    bool twin;
  };
  for (const Case c : {Case{400, false}, Case{150, false}, Case{400, true}, Case{600, false}}) {
    SCOPED_TRACE("nlen " + std::to_string(c.nlen) + (c.twin ? " singular" : ""));
    const std::vector<float> x = window(nch, c.nlen, uint64_t(c.nlen), c.twin);
    const Fit want = elementByElement(order, nch, c.nlen, x.data());
    EXPECT_EQ(want.degenerate > 0, c.twin);
    expectSame(want, fitWith(work, c.nlen, x));
  }
}

}  // namespace
}  // namespace kelv
