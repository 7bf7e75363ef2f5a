// miniSEED input: files written with libmseed's packer, read back as channels on
// one time grid.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kelvarodine/inputs.hpp"
#ifdef KELV_TEST_MSEED
#include "support/mseed_writer.hpp"
#endif

namespace kelv {
namespace {

TEST(MiniSeed, TextIsNotTakenForIt) {
  EXPECT_FALSE(looksLikeMiniSeed("1.0\n2.0\n"));
  EXPECT_FALSE(looksLikeMiniSeed(std::string(100, '1')));
  EXPECT_TRUE(looksLikeMiniSeed("000001D " + std::string(100, ' ')));
}

#ifndef KELV_TEST_MSEED
TEST(MiniSeed, WithoutLibmseedTheFileIsRefusedWithTheReason) {
  ASSERT_FALSE(miniSeedSupported());
  try {
    parseMiniSeed("000001D " + std::string(100, ' '), "a.mseed");
    FAIL();
  } catch (const InputError& e) {
    EXPECT_NE(std::string(e.what()).find("libmseed"), std::string::npos) << e.what();
  }
}
#else
std::vector<float> ramp(int n, float from) {
  std::vector<float> v(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = from + float(i);
  return v;
}

constexpr double kStart = 1700000000.0;  // seconds since 1970

// Two traces: HHZ from kStart, with no samples for 2 s after its first 300; HHN
// 1 s later. The channels share HHN's span; HHZ's missing samples are gaps, at the
// sample the time gives.
TEST(MiniSeed, TracesAreChannelsOnTheirCommonSpanWithGapsByTime) {
  std::string file;
  testing::appendTrace(file, "HHZ", kStart, 100.0, ramp(300, 0.0f));
  testing::appendTrace(file, "HHZ", kStart + 5.0, 100.0, ramp(700, 500.0f));
  testing::appendTrace(file, "HHN", kStart + 1.0, 100.0, ramp(1100, 10000.0f));
  ASSERT_TRUE(looksLikeMiniSeed(file));
  const Record r = parseMiniSeed(file, "a.mseed");
  EXPECT_EQ(r.names, (std::vector<std::string>{"XX_STA__HHZ", "XX_STA__HHN"}));
  EXPECT_TRUE(r.timed);
  EXPECT_EQ(r.start, kStart + 1.0);
  EXPECT_EQ(r.step, 0.01);
  // HHZ ends at kStart + 11.99, HHN at kStart + 11.99 too: 1100 common samples.
  ASSERT_EQ(r.count, 1100);
  const float* z = r.data.data();
  const float* n = r.data.data() + r.count;
  EXPECT_EQ(z[0], 100.0f);    // HHZ's sample 100 (kStart + 1 s)
  EXPECT_EQ(z[199], 299.0f);  // its last before the gap
  for (int k = 200; k < 400; ++k) EXPECT_TRUE(std::isnan(z[k])) << k;
  EXPECT_EQ(z[400], 500.0f);  // kStart + 5 s
  EXPECT_EQ(z[1099], 1199.0f);
  EXPECT_EQ(n[0], 10000.0f);
  EXPECT_EQ(n[1099], 11099.0f);
}

TEST(MiniSeed, FilesThatCannotBeTakenSayWhy) {
  const auto errorOf = [](const std::string& bytes) -> std::string {
    try {
      parseMiniSeed(bytes, "a.mseed");
    } catch (const InputError& e) {
      return e.what();
    }
    return "";
  };
  std::string mixed;
  testing::appendTrace(mixed, "HHZ", kStart, 100.0, ramp(200, 0.0f));
  testing::appendTrace(mixed, "LHZ", kStart, 1.0, ramp(200, 0.0f));
  EXPECT_NE(errorOf(mixed).find("a.mseed: traces of different sample rates: XX_STA__HHZ at 100 "
                                "Hz, XX_STA__LHZ at 1 Hz"),
            std::string::npos)
      << errorOf(mixed);

  std::string apart;
  testing::appendTrace(apart, "HHZ", kStart, 100.0, ramp(100, 0.0f));
  testing::appendTrace(apart, "HHN", kStart + 60.0, 100.0, ramp(100, 0.0f));
  EXPECT_NE(errorOf(apart).find("a.mseed: the traces share no time span (XX_STA__HHZ from "),
            std::string::npos)
      << errorOf(apart);

  std::string cut;
  testing::appendTrace(cut, "HHZ", kStart, 100.0, ramp(500, 0.0f));
  cut.resize(cut.size() - 100);
  EXPECT_NE(errorOf(cut).find("the file ends inside the record"), std::string::npos)
      << errorOf(cut);

  std::string garbage;
  testing::appendTrace(garbage, "HHZ", kStart, 100.0, ramp(100, 0.0f));
  garbage += std::string(512, 'x');
  EXPECT_NE(errorOf(garbage).find("a.mseed: record 2 (byte 512): not a miniSEED data record"),
            std::string::npos)
      << errorOf(garbage);
}
#endif

}  // namespace
}  // namespace kelv
