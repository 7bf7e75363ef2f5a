// The streamed run's analysis over a record it takes block by block: its columns,
// the channels' coherences and the null level's stretches are those of a run holding
// the record, with blocks of a few windows so that the null level's stretches span
// two blocks and the last ones reach past the last window.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "cli/streaming.hpp"
#include "kelvarodine/analysis.hpp"

namespace kelv {
namespace {

// Samples first .. last of a record of nch channels of n samples, channel after
// channel, as a reader holds them.
Samples heldPiece(const std::vector<float>& record, int32_t nch, int64_t n, int64_t first,
                  int64_t last) {
  Samples held = samplesFastest(record.data() + (first - 1), nch, last - first + 1, first);
  held.channelStride = n;
  return held;
}

// The columns as they come, into whole grids.
class GridSink final : public cli::ColumnSink {
 public:
  GridSink(const Plan& plan) : plan_(plan) {
    grid.resize(std::size_t(plan.nWindows) * std::size_t(plan.nfreq));
    coherences.resize(grid.size() * std::size_t(plan.nch));
  }
  bool channels() const override { return true; }
  void append(int64_t first, int64_t windows, const float* columns,
              const float* channelCoherences) override {
    const int64_t nfreq = plan_.nfreq;
    std::memcpy(grid.data() + (first - 1) * nfreq, columns, std::size_t(windows * nfreq) * 4);
    std::memcpy(coherences.data() + (first - 1) * nfreq * plan_.nch, channelCoherences,
                std::size_t(windows * nfreq * plan_.nch) * 4);
    appended += windows;
  }
  std::vector<float> grid, coherences;
  int64_t appended = 0;

 private:
  Plan plan_;
};

bool sameBytes(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

TEST(StreamedAnalysis, BlocksGiveTheHeldRunsColumnsAndNullLevels) {
  constexpr int32_t nch = 3;
  constexpr int64_t n = 700;
  std::vector<float> record(nch * n);  // channel after channel
  uint64_t state = 3;
  for (int64_t t = 0; t < n; ++t)
    for (int32_t j = 0; j < nch; ++j) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      const float e = float(state >> 40) / float(1 << 24) - 0.5f;
      const float prev = t > 0 ? record[j * n + t - 1] : 0.0f;
      const float other = j > 0 ? record[(j - 1) * n + t] : 0.0f;
      record[j * n + t] = 0.6f * prev + 0.4f * other + e;
    }
  for (const int32_t idiff : {0, 1}) {
    SCOPED_TRACE(idiff);
    // 71 windows; the last ends at sample 694 of 700.
    const Plan plan = makePlan({idiff, 64, 9, 2, 0.0, 1.0}, nch, n);
    ASSERT_EQ(plan.nWindows, 71);
    const Samples whole = samplesFastest(record.data(), nch, n);
    std::vector<float> grid(std::size_t(plan.nWindows) * plan.nfreq);
    std::vector<float> coherences(grid.size() * nch);
    Options options;
    options.channelCoherences = coherences.data();
    analyseWindows(plan, whole, 1, plan.nWindows, grid.data(), options);
    const std::vector<float> levels = nullLevels(plan, whole, 2);

    for (const int64_t block : {1, 5, 71}) {
      SCOPED_TRACE(block);
      int64_t lastFirst = 0;
      const cli::SampleHold hold = [&](int64_t first, int64_t last) {
        EXPECT_GE(first, lastFirst);
        EXPECT_LE(last - first + 1, cli::blockSamples(plan, block));
        EXPECT_LE(last, n);
        lastFirst = first;
        Samples held = samplesFastest(record.data() + (first - 1), nch, last - first + 1, first);
        held.channelStride = n;
        return held;
      };
      GridSink sink(plan);
      cli::NullStretches stretches(plan);
      Options streamed;
      streamed.threads = 2;
      cli::analyseStreamed(plan, hold, block, streamed, sink, &stretches);
      EXPECT_EQ(sink.appended, plan.nWindows);
      EXPECT_TRUE(sameBytes(sink.grid, grid));
      EXPECT_TRUE(sameBytes(sink.coherences, coherences));
      EXPECT_EQ(stretches.missing(), 0);
      // Every stretch whole, the last one up to the record's last sample.
      for (int64_t w = 1; w <= kNullWindows; ++w)
        for (int32_t j = 0; j < nch; ++j)
          ASSERT_EQ(std::memcmp(stretches.data() + ((w - 1) * nch + j) * plan.nlen,
                                record.data() + j * n + nullStretchStart(plan, w) - 1,
                                std::size_t(plan.nlen) * 4),
                    0)
              << "stretch " << w << " channel " << j;
      EXPECT_TRUE(sameBytes(nullLevelsOfStretches(plan, stretches.data(), 2), levels));
    }
  }
}

// kelvarodine-mpi's rank 0 passes over the record's end for the other ranks before
// its own windows at the start: pieces taken in that order, overlapping, make every
// stretch whole, and a piece not taken leaves its first sample missing.
TEST(StreamedAnalysis, NullStretchesTakenOutOfOrderAreWhole) {
  constexpr int32_t nch = 2;
  constexpr int64_t n = 900;
  std::vector<float> record(nch * n);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = float(i % 97) - 0.5f * float(i % 13);
  const Plan plan = makePlan({0, 100, 30, 2, 0.0, 1.0}, nch, n);
  const auto piece = [&](int64_t first, int64_t last) {
    return heldPiece(record, nch, n, first, last);
  };
  cli::NullStretches stretches(plan);
  stretches.take(piece(401, 700));
  stretches.take(piece(650, 900));
  EXPECT_EQ(stretches.missing(), 1);
  stretches.take(piece(1, 350));
  EXPECT_EQ(stretches.missing(), 351);
  stretches.take(piece(300, 420));
  EXPECT_EQ(stretches.missing(), 0);
  for (int64_t w = 1; w <= kNullWindows; ++w)
    for (int32_t j = 0; j < nch; ++j)
      ASSERT_EQ(std::memcmp(stretches.data() + ((w - 1) * nch + j) * plan.nlen,
                            record.data() + j * n + nullStretchStart(plan, w) - 1,
                            std::size_t(plan.nlen) * 4),
                0)
          << "stretch " << w << " channel " << j;
}

// Each process of an MPI run takes the stretches among its own samples and hands
// them to rank 0: pieces handed on over overlapping spans, the last reaching past the
// last window, make rank 0's stretches those of the whole record, and a span whose
// samples were not all taken is refused rather than handed on with zeros.
TEST(StreamedAnalysis, NullStretchesHandedOnBetweenProcessesAreWhole) {
  constexpr int32_t nch = 3;
  constexpr int64_t n = 1000;
  std::vector<float> record(nch * n);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = float(i % 89) - 0.25f * float(i % 7);
  const Plan plan = makePlan({0, 100, 30, 2, 0.0, 1.0}, nch, n);
  const auto piece = [&](int64_t first, int64_t last) {
    return heldPiece(record, nch, n, first, last);
  };
  cli::NullStretches whole(plan), gathered(plan);
  whole.take(piece(1, n));
  // Three spans as three ranks' windows need them, the last one to the record's end.
  const int64_t spans[3][2] = {{1, 400}, {371, 700}, {671, n}};
  for (const auto& span : spans) {
    cli::NullStretches own(plan);
    own.take(piece(span[0], span[1]));
    const std::vector<float> values = own.within(span[0], span[1]);
    ASSERT_EQ(int64_t(values.size()), cli::NullStretches::sharedSamples(plan, span[0], span[1]));
    gathered.place(span[0], span[1], values.data());
  }
  EXPECT_EQ(gathered.missing(), 0);
  EXPECT_EQ(std::memcmp(gathered.data(), whole.data(),
                        std::size_t(kNullWindows * nch * plan.nlen) * sizeof(float)),
            0);

  cli::NullStretches partial(plan);
  partial.take(piece(1, 500));
  EXPECT_THROW(partial.within(1, 600), std::logic_error);
}

}  // namespace
}  // namespace kelv
