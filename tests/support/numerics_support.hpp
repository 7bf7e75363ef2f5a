// Test support for the numerical kernels and everything built on them: tolerances
// per element type (kept here, in one place), reproducible random inputs, and
// comparisons carried out in double precision.
//
// Random inputs come from std::mt19937_64, whose output sequence the standard fixes,
// turned into doubles by our own bit arithmetic (the standard distributions are not
// portable), so a seed gives the same matrices on every platform and run.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "numerics/arrays.hpp"

namespace kelv::testing {

// ---------------------------------------------------------------- tolerances

template <class T>
struct RealOf {
  using type = T;
};
template <class T>
struct RealOf<std::complex<T>> {
  using type = T;
};
template <class T>
using RealOfT = typename RealOf<T>::type;

// Unit roundoff of the storage type (half the machine epsilon): 5.96e-8 for float
// and complex float.
template <class T>
constexpr double unitRoundoff() {
  return std::numeric_limits<RealOfT<T>>::epsilon() / 2.0;
}

// A value produced by a handful of roundings (a short sum, one division): relative
// to the size of the quantities involved.
template <class T>
constexpr double fewRoundings() {
  return 16.0 * unitRoundoff<T>();
}

// Radix-2 FFT of length n: the error grows with the number of stages, so the
// relative error in the 2-norm stays below c log2(n) u (c = 5 covers the butterfly
// roundings of both parts of a complex product; twiddles carried in double add
// nothing at float precision).
template <class T>
double fftTolerance(int64_t n) {
  return 5.0 * std::max(1.0, std::log2(static_cast<double>(n))) * unitRoundoff<T>();
}

// Max-norm residual |A X - I| of a backward-stable inversion of order n with a
// condition number (infinity norm) at most `cond`. The factor 4 covers the growth
// of an elimination on the well-conditioned, dominant matrices generated below;
// complex arithmetic doubles the roundings per multiply-add.
template <class T>
double inverseTolerance(int64_t n, double cond) {
  const double perOp = std::is_same_v<T, RealOfT<T>> ? 1.0 : 2.0;
  return 4.0 * perOp * static_cast<double>(n) * cond * unitRoundoff<T>();
}

// ---------------------------------------------------------------- random inputs

// Fixed-seed source of doubles; the same seed gives the same sequence everywhere.
class Rng {
 public:
  explicit Rng(uint64_t seed) : engine_(seed) {}
  // Uniform in [0, 1), 53 random bits.
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  float uniformFloat(float lo, float hi) { return static_cast<float>(uniform(lo, hi)); }
  // Standard normal by Box-Muller (one value per call; the partner is dropped).
  double normal() {
    double u1 = uniform();
    while (u1 <= 0.0) u1 = uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }
  int64_t integer(int64_t lo, int64_t hi) {  // uniform in [lo, hi]
    return lo + static_cast<int64_t>(uniform() * static_cast<double>(hi - lo + 1));
  }
  std::mt19937_64& engine() { return engine_; }

 private:
  std::mt19937_64 engine_;
};

// n x n float matrix, column-major, entries uniform in [-1, 1].
inline std::vector<float> randomRealMatrix(Rng& rng, int64_t n) {
  std::vector<float> a(static_cast<size_t>(n * n));
  for (float& v : a) v = rng.uniformFloat(-1.0f, 1.0f);
  return a;
}

// Well-conditioned n x n float matrix: entries uniform in [-1, 1], then each
// diagonal element pushed out to magnitude between n and n + 1 with a random sign.
// Rows and columns are strictly diagonally dominant by a margin of at least 1, so
// |A^-1|_inf <= 1 and the condition number (infinity norm) is at most
// wellConditionedBound(n).
inline std::vector<float> randomWellConditionedReal(Rng& rng, int64_t n) {
  std::vector<float> a = randomRealMatrix(rng, n);
  View2<float> A(a.data(), n, n);
  for (int64_t i = 1; i <= n; ++i) {
    const float mag = static_cast<float>(n) + std::fabs(A(i, i));
    A(i, i) = rng.uniform() < 0.5 ? -mag : mag;
  }
  return a;
}
inline double wellConditionedBound(int64_t n) {
  return 2.0 * static_cast<double>(n) + 1.0;
}

// Random permutation of 1..n (Fisher-Yates on our own uniform draws).
inline std::vector<int64_t> randomPermutation(Rng& rng, int64_t n) {
  std::vector<int64_t> p(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) p[static_cast<size_t>(i)] = i + 1;
  for (int64_t i = n - 1; i > 0; --i)
    std::swap(p[static_cast<size_t>(i)], p[static_cast<size_t>(rng.integer(0, i))]);
  return p;
}

// Column j of the result is column perm[j-1] of a.
inline std::vector<float> permuteColumns(const std::vector<float>& a, int64_t n,
                                         const std::vector<int64_t>& perm) {
  std::vector<float> out(a.size());
  View2<const float> A(a.data(), n, n);
  View2<float> P(out.data(), n, n);
  for (int64_t j = 1; j <= n; ++j)
    for (int64_t i = 1; i <= n; ++i) P(i, j) = A(i, perm[static_cast<size_t>(j - 1)]);
  return out;
}

// n x n complex float matrix, column-major, both parts uniform in [-1, 1].
inline std::vector<cfloat> randomComplexMatrix(Rng& rng, int64_t n) {
  std::vector<cfloat> a(static_cast<size_t>(n * n));
  for (cfloat& v : a) {
    const float re = rng.uniformFloat(-1.0f, 1.0f);
    const float im = rng.uniformFloat(-1.0f, 1.0f);
    v = cfloat(re, im);
  }
  return a;
}

// Random Hermitian positive-definite n x n complex float matrix, both triangles
// filled and exactly conjugate, diagonal exactly real: A = C^H C + n I for C with
// parts uniform in [-1, 1], formed in double and rounded once. Its eigenvalues lie
// in [n, 2 n^2 + n], so the 2-norm condition number is at most hermitianPdBound(n).
inline std::vector<cfloat> randomHermitianPd(Rng& rng, int64_t n) {
  const std::vector<cfloat> c = randomComplexMatrix(rng, n);
  View2<const cfloat> C(c.data(), n, n);
  std::vector<cfloat> a(static_cast<size_t>(n * n));
  View2<cfloat> A(a.data(), n, n);
  for (int64_t j = 1; j <= n; ++j) {
    for (int64_t i = 1; i <= j; ++i) {
      cdouble s = 0.0;
      for (int64_t k = 1; k <= n; ++k) s += std::conj(cdouble(C(k, i))) * cdouble(C(k, j));
      if (i == j) {
        A(i, i) = cfloat(static_cast<float>(s.real() + static_cast<double>(n)), 0.0f);
      } else {
        A(i, j) = cfloat(s);
        A(j, i) = std::conj(A(i, j));
      }
    }
  }
  return a;
}
inline double hermitianPdBound(int64_t n) {
  return 2.0 * static_cast<double>(n) + 1.0;
}

// ---------------------------------------------------------------- comparisons

// Largest |A B - I| over all elements, products summed in double.
inline double identityResidual(int64_t n, const float* a, const float* b) {
  View2<const float> A(a, n, n), B(b, n, n);
  double worst = 0.0;
  for (int64_t j = 1; j <= n; ++j)
    for (int64_t i = 1; i <= n; ++i) {
      double s = 0.0;
      for (int64_t k = 1; k <= n; ++k)
        s += static_cast<double>(A(i, k)) * static_cast<double>(B(k, j));
      worst = std::max(worst, std::fabs(s - (i == j ? 1.0 : 0.0)));
    }
  return worst;
}
inline double identityResidual(int64_t n, const cfloat* a, const cfloat* b) {
  View2<const cfloat> A(a, n, n), B(b, n, n);
  double worst = 0.0;
  for (int64_t j = 1; j <= n; ++j)
    for (int64_t i = 1; i <= n; ++i) {
      cdouble s = 0.0;
      for (int64_t k = 1; k <= n; ++k) s += cdouble(A(i, k)) * cdouble(B(k, j));
      worst = std::max(worst, std::abs(s - (i == j ? 1.0 : 0.0)));
    }
  return worst;
}

// Largest |B(i, j) - conj B(j, i)| over all pairs (diagonal: twice its imaginary part).
inline double hermitianDefect(int64_t n, const cfloat* b) {
  View2<const cfloat> B(b, n, n);
  double worst = 0.0;
  for (int64_t j = 1; j <= n; ++j)
    for (int64_t i = 1; i <= j; ++i)
      worst = std::max(worst, std::abs(cdouble(B(i, j)) - std::conj(cdouble(B(j, i)))));
  return worst;
}

// Largest element magnitude, in double.
template <class T>
double maxAbs(const T* p, int64_t count) {
  double m = 0.0;
  for (int64_t i = 0; i < count; ++i) m = std::max(m, static_cast<double>(std::abs(p[i])));
  return m;
}

// Every element of `actual` within `tol` (absolute) of `expected`; the message
// names the first offending index (1-based) and both values.
template <class A, class E>
::testing::AssertionResult allNear(const A& actual, const E& expected, double tol) {
  if (std::size(actual) != std::size(expected))
    return ::testing::AssertionFailure()
           << "sizes differ: " << std::size(actual) << " vs " << std::size(expected);
  size_t i = 0;
  auto e = std::begin(expected);
  for (auto a = std::begin(actual); a != std::end(actual); ++a, ++e, ++i) {
    const auto diff = std::abs(*a - *e);
    if (!(static_cast<double>(diff) <= tol))
      return ::testing::AssertionFailure() << "element " << i + 1 << ": " << *a << " vs " << *e
                                           << " (|diff| " << diff << " > " << tol << ")";
  }
  return ::testing::AssertionSuccess();
}

// Two floats are the same bits (NaN payloads and the sign of zero included).
inline bool sameBits(float a, float b) {
  uint32_t x, y;
  static_assert(sizeof x == sizeof a);
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// ---------------------------------------------------------------- console capture

// Runs `fn` with file descriptor 1 redirected to a temporary file and returns the
// bytes written there (the console writer writes to descriptor 1 directly, and a
// file makes it choose its plain line mode).
template <class Fn>
std::string captureStdout(Fn&& fn) {
  std::fflush(stdout);
  std::FILE* f = std::tmpfile();
  if (f == nullptr) throw std::runtime_error("tmpfile failed");
  const int saved = ::dup(1);
  ::dup2(::fileno(f), 1);
  fn();
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  std::string out;
  std::rewind(f);
  char buf[4096];
  for (size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, got);
  std::fclose(f);
  return out;
}

}  // namespace kelv::testing
