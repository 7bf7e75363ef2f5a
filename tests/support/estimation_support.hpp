// Test support for the spectral coherence estimation: capture of the console
// output (the degeneracy warnings go straight to file descriptor 1) and sample
// covariances of a multichannel series in double precision.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "examples/example_model.hpp"
#include "examples/varsim.hpp"

namespace kelv::testing {

// Redirects file descriptor 1 into a temporary file for the object's lifetime;
// text() returns what was written so far.
class CapturedStdout {
 public:
  CapturedStdout() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    if (!file_) throw std::runtime_error("tmpfile failed");
    saved_ = ::dup(1);
    if (saved_ < 0 || ::dup2(::fileno(file_), 1) < 0) throw std::runtime_error("dup2 failed");
  }
  ~CapturedStdout() {
    restore();
    std::fclose(file_);
  }
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;

  std::string text() {
    std::fflush(stdout);
    std::string out;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
    }
  }
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

inline int countOccurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Biased lag-k covariance of columns 1..nlen of x (nch x >= nlen floats, channel
// fastest): G(i, j) = sum_t x(i, t) x(j, t - k) / nlen, column-major nch x nch.
inline std::vector<double> lagCovariance(const float* x, int nch, int64_t nlen, int k) {
  std::vector<double> g(size_t(nch) * nch, 0.0);
  for (int j = 0; j < nch; ++j)
    for (int i = 0; i < nch; ++i) {
      double s = 0.0;
      for (int64_t t = k; t < nlen; ++t) s += double(x[i + t * nch]) * double(x[j + (t - k) * nch]);
      g[i + size_t(j) * nch] = s / double(nlen);
    }
  return g;
}

// Three coupled channels, order 2, correlated innovations: x(t) = P1 x(t-1) +
// P2 x(t-2) + e(t) with A_l = -P_l. The companion matrix has spectral radius 0.69,
// and the true measure runs from 0.59 at frequency 0 down to 0.004 near 1/2.
inline sim::VarModel coupledVar2() {
  const double p1[3][3] = {{0.5, 0.3, 0.0}, {0.0, 0.4, 0.3}, {0.3, 0.0, 0.3}};
  const double p2[3][3] = {{-0.3, 0.0, 0.1}, {0.1, -0.2, 0.0}, {0.0, 0.2, -0.25}};
  const double v[3][3] = {{1.0, 0.3, 0.1}, {0.3, 1.5, 0.2}, {0.1, 0.2, 0.8}};
  sim::VarModel m(3, 2);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) {
      m.a(1, i, j) = -p1[i - 1][j - 1];
      m.a(2, i, j) = -p2[i - 1][j - 1];
      m.v(i, j) = v[i - 1][j - 1];
    }
  return m;
}

// Inverse of a real n x n matrix (column-major) in double.
inline std::vector<double> inverseOf(const std::vector<double>& a, int n) {
  const sim::cmat c = sim::invert(sim::cmat(a.begin(), a.end()), n);
  std::vector<double> out(c.size());
  for (size_t i = 0; i < c.size(); ++i) out[i] = c[i].real();
  return out;
}

// A window buffer (nch x nfft floats, columns nlen + 1 .. nfft zero) holding nlen
// samples of the bundled example's coupled process.
inline std::vector<float> simulatedWindow(int nch, int nlen, int nfft, uint64_t seed) {
  const std::vector<float> s = sim::simulate(sim::exampleModel(nch, true), nlen, seed);
  std::vector<float> x(size_t(nch) * nfft, 0.0f);
  std::copy(s.begin(), s.end(), x.begin());
  return x;
}

}  // namespace kelv::testing
