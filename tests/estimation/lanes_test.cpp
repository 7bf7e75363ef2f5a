// The batched spectral stage and canonical coherences against the routines they
// stand for: every lane must give exactly the bits of the scalar path.
#include "estimation/lanes.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "estimation/estimation.hpp"
#include "support/estimation_support.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::Rng;
using testing::sameBits;

TEST(CanocohLanes, EveryLaneIsCanocohBitForBit) {
  Rng rng(5);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int32_t n = 1; n <= 9; ++n) {
    SCOPED_TRACE(::testing::Message() << "channels " << n);
    SpectralWork work(1, n, 2, 1);
    std::vector<std::vector<cfloat>> m(kLanes);
    for (int l = 0; l < kLanes; ++l) m[l] = testing::randomHermitianPd(rng, n);
    // Lane 1: channel 1 a copy of channel 2 (a singular reduced matrix for the
    // others); lane 2: a zero power; lane 3: not-a-number off the diagonal.
    if (n >= 2) {
      View2<cfloat> copy(m[1].data(), n, n);
      for (int32_t j = 1; j <= n; ++j) copy(1, j) = copy(2, j);
      for (int32_t i = 1; i <= n; ++i) copy(i, 1) = copy(i, 2);
      View2<cfloat>(m[3].data(), n, n)(n, 1) = cfloat(nan, 1.0f);
    }
    View2<cfloat>(m[2].data(), n, n)(1, 1) = cfloat(0.0f, 0.0f);
    View2<CLane> S(work.s.data(), n, n);
    for (int l = 0; l < kLanes; ++l)
      for (int32_t j = 1; j <= n; ++j)
        for (int32_t i = 1; i <= n; ++i) {
          S(i, j).re[l] = View2<cfloat>(m[l].data(), n, n)(i, j).real();
          S(i, j).im[l] = View2<cfloat>(m[l].data(), n, n)(i, j).imag();
        }
    canocohLanes(work);
    int mismatches = 0;
    for (int l = 0; l < kLanes; ++l) {
      std::vector<float> want(static_cast<size_t>(n));
      CANOCOH(m[l].data(), n, want.data());
      for (int32_t i = 0; i < n; ++i)
        if (!sameBits(work.coherences[i][l], want[i])) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
  }
}

// One preprocessed window of a coupled process: the fused analysis against ARSPECTR
// followed by CANOCOH and coherenceMeasure at every frequency.
void expectFusedEqualsPlain(int32_t nch, int32_t nlen, int32_t nfft, int32_t order) {
  SCOPED_TRACE(::testing::Message() << nch << " channels, nlen " << nlen << ", order " << order);
  const int32_t nfreq = nfft / 2;
  std::vector<float> x = testing::simulatedWindow(nch, nlen, nfft, 1234 + nch);
  TRANSFX(nch, nlen, nfft, 1, 0, x.data());

  std::vector<cfloat> spec(static_cast<size_t>(nch * nch * nfreq));
  ARSPECTR(order, nch, nlen, nfft, nfreq, x.data(), spec.data());
  SpectralWork work(order, nch, nfft, nfreq);
  std::vector<float> fused(static_cast<size_t>(nfreq));
  coherenceSpectrum(nlen, x.data(), work, fused.data());
  // Twice with the same storage: nothing of the first window may leak into the next.
  coherenceSpectrum(nlen, x.data(), work, fused.data());

  int mismatches = 0;
  std::vector<float> r(static_cast<size_t>(nch));
  for (int32_t f = 1; f <= nfreq; ++f) {
    CANOCOH(&spec[static_cast<size_t>((f - 1) * nch * nch)], nch, r.data());
    if (!sameBits(fused[f - 1], coherenceMeasure(r.data(), nch))) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(CoherenceSpectrum, IsArspectrCanocohAndTheMeasureBitForBit) {
  expectFusedEqualsPlain(8, 1024, 1024, 10);  // the reference run's window
  expectFusedEqualsPlain(3, 100, 128, 4);     // zero padding, a partial lane group
  expectFusedEqualsPlain(9, 60, 64, 2);       // more channels than lanes
  expectFusedEqualsPlain(2, 16, 16, 15);      // order + 1 = nfft, nfreq = kLanes
  expectFusedEqualsPlain(3, 2, 2, 1);         // the shortest transform, one frequency
}

}  // namespace
}  // namespace kelv
