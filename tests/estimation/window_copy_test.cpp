// A window's samples copied from the caller's record into the window buffer: the same
// buffer and the same gap report for every layout of the record.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "estimation/window.hpp"
#include "kelvarodine/analysis.hpp"
#include "kelvarodine/settings.hpp"

namespace kelv {
namespace {

// One record in four layouts: channels side by side (copied as one block), channel
// after channel, channels side by side with a padding sample after each time step
// (padding that holds NaN, which no window may see), and for one channel the channel
// after channel layout, which is a block too.
struct Layouts {
  std::vector<float> interleaved, channelAfterChannel, padded;
  std::vector<Samples> samples;

  Layouts(const std::vector<float>& x, int32_t nch, int64_t n, int64_t first) {
    interleaved = x;
    padded.assign(static_cast<std::size_t>((nch + 1) * n), std::numeric_limits<float>::quiet_NaN());
    channelAfterChannel.resize(x.size());
    for (int64_t k = 0; k < n; ++k)
      for (int32_t j = 0; j < nch; ++j) {
        const float v = x[static_cast<std::size_t>(j + k * nch)];
        channelAfterChannel[static_cast<std::size_t>(k + j * n)] = v;
        padded[static_cast<std::size_t>(j + k * (nch + 1))] = v;
      }
    samples = {channelsFastest(interleaved.data(), nch, n, first),
               samplesFastest(channelAfterChannel.data(), nch, n, first),
               Samples{padded.data(), nch, n, first, 1, nch + 1}};
  }
};

// The block path tests exponent bits: every infinity and NaN, whatever its sign and
// payload, is a gap; the largest, smallest and subnormal finite values are not.
TEST(CopyStretch, EveryLayoutGivesTheSameWindowAndTheGapsOfItsNonFiniteValues) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> nonFinite = {std::numeric_limits<float>::quiet_NaN(),
                                        -std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::signaling_NaN(),
                                        std::bit_cast<float>(0x7FFFFFFFu),
                                        std::bit_cast<float>(0xFF800001u),
                                        inf,
                                        -inf};
  const std::vector<float> finite = {
      std::numeric_limits<float>::max(),         -std::numeric_limits<float>::max(),
      std::numeric_limits<float>::min(),         std::numeric_limits<float>::denorm_min(),
      -std::numeric_limits<float>::denorm_min(), -0.0f};
  const int64_t n = 64, firstSample = 101;
  for (const int32_t nch : {1, 3}) {
    // An analysis takes two channels at least; the copy takes any number.
    Plan plan = makePlan({0, 13, 5, 2, 0.0, 1.0}, 3, n);  // nfft 16
    plan.nch = nch;
    ASSERT_EQ(plan.nfft, 16);
    std::vector<float> x(static_cast<std::size_t>(nch * n));
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = float(std::sin(0.7 * double(i)));
    std::vector<float> expected(static_cast<std::size_t>(nch) * plan.nfft);
    std::vector<float> window(expected.size());
    for (const bool isFinite : {false, true}) {
      for (const float special : isFinite ? finite : nonFinite) {
        for (std::size_t at = 0; at < x.size(); ++at) {
          std::vector<float> record = x;
          record[at] = special;
          const Layouts layouts(record, nch, n, firstSample);
          const int64_t atSample = firstSample + static_cast<int64_t>(at) / nch;
          for (int64_t w = 1; w <= plan.nWindows; ++w) {
            const int64_t start = firstSample + (w - 1) * plan.shift;
            std::fill(expected.begin(), expected.end(), 0.0f);
            std::copy(record.begin() + (start - firstSample) * nch,
                      record.begin() + (start - firstSample + plan.nlen) * nch, expected.begin());
            const bool holds = atSample >= start && atSample < start + plan.nlen;
            for (std::size_t l = 0; l < layouts.samples.size(); ++l) {
              std::fill(window.begin(), window.end(), 7.0f);
              EXPECT_EQ(copyStretch(plan, layouts.samples[l], start, window.data()),
                        isFinite || !holds)
                  << "layout " << l << ", nch " << nch << ", value " << special << " at " << at
                  << ", window " << w;
              ASSERT_EQ(std::memcmp(window.data(), expected.data(), window.size() * sizeof(float)),
                        0)
                  << "layout " << l << ", nch " << nch << ", value " << special << " at " << at
                  << ", window " << w;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace kelv
