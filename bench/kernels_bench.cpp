// Benchmarks of the numerical kernels at the sizes of the reference run: 8 channels,
// windows of 1024 samples (nfft 1024, nfreq 512), autoregressive order 10.
//
// All inputs are made once, outside the timed loops, from a fixed-seed simulation
// of the example data's coupled regime, so every run times the same numbers. A
// routine that works in place gets a fresh copy of its input on every iteration,
// so each iteration does the same work; the copy is small beside the routine.
//
// A new benchmark is a function BM_NAME(benchmark::State&) that takes its inputs
// from reference() (or builds its own in the same way, before the loop) and is
// registered with BENCHMARK(BM_NAME).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "estimation/lanes.hpp"
#include "estimation/window.hpp"
#include "examples/example_model.hpp"
#include "examples/varsim.hpp"
#include "formats/fields.hpp"
#include "kelvarodine/dsaa.hpp"
#include "kelvarodine/settings.hpp"
#include "numerics/lanes.hpp"
#include "numerics/numerics.hpp"
#include "reference/reference.hpp"

namespace {

using kelv::cfloat;

constexpr int32_t kNch = 8;
constexpr int32_t kNlen = 1024;
constexpr int32_t kNfft = 1024;
constexpr int32_t kNfreq = 512;
constexpr int32_t kOrder = 10;
// With this seed every frequency of the window's single-precision spectra is finite,
// so the benchmarks of the single-precision routines time their full path.
constexpr uint64_t kSeed = 3;

// A frequency inside the band where the channels are strongly coupled, so the
// matrices inverted there are as ill-conditioned as the program ever meets.
constexpr int32_t kFrequency = 103;

// One window at each stage of the window loop, and matrices taken from it.
struct ReferenceData {
  std::vector<float> raw;              // kNch x kNfft, channel fastest, as read
  std::vector<float> window;           // raw after TRANSFX
  std::vector<cfloat> spectra;         // kNch x kNch x kNfreq from ARSPECTR
  std::vector<cfloat> spectralMatrix;  // kNch x kNch slice kFrequency of spectra
  std::vector<cfloat> reduced;         // spectralMatrix without row and column 1
  std::vector<float> general;          // kNch x kNch, well-conditioned, not symmetric
};

bool finite(cfloat z) {
  return std::isfinite(z.real()) && std::isfinite(z.imag());
}

// Frequencies whose spectral matrix holds a value that is not finite.
int64_t blankFrequencies(const std::vector<cfloat>& spectra) {
  const size_t matrixSize = size_t(kNch) * kNch;
  int64_t blank = 0;
  for (size_t f = 0; f < size_t(kNfreq); ++f)
    blank += !std::all_of(spectra.begin() + ptrdiff_t(f * matrixSize),
                          spectra.begin() + ptrdiff_t((f + 1) * matrixSize), finite);
  return blank;
}

ReferenceData makeReference() {
  ReferenceData d;
  const kelv::sim::VarModel model = kelv::sim::exampleModel(kNch, true);
  d.raw = kelv::sim::simulate(model, kNfft, kSeed);

  d.window = d.raw;
  kelv::TRANSFX(kNch, kNlen, kNfft, 1, 0, d.window.data());

  d.spectra.resize(size_t(kNch) * kNch * kNfreq);
  kelv::ARSPECTR(kOrder, kNch, kNlen, kNfft, kNfreq, d.window.data(), d.spectra.data());

  const auto slice = d.spectra.begin() + ptrdiff_t(kNch) * kNch * (kFrequency - 1);
  d.spectralMatrix.assign(slice, slice + kNch * kNch);
  for (int32_t q = 2; q <= kNch; ++q)
    for (int32_t p = 2; p <= kNch; ++p)
      d.reduced.push_back(d.spectralMatrix[(p - 1) + size_t(q - 1) * kNch]);

  kelv::sim::Rng rng(kSeed);
  d.general.resize(size_t(kNch) * kNch);
  for (float& a : d.general) a = float(2.0 * rng.uniform() - 1.0);
  for (int32_t i = 0; i < kNch; ++i) d.general[i + size_t(i) * kNch] += float(kNch);
  return d;
}

const ReferenceData& reference() {
  static const ReferenceData data = makeReference();
  return data;
}

// The matrix benchmarks need a positive-definite matrix: one that is not would time
// a path the program takes only by exception.
bool usable(benchmark::State& state) {
  if (std::all_of(reference().spectralMatrix.begin(), reference().spectralMatrix.end(), finite))
    return true;
  state.SkipWithError("the reference spectral matrix is not finite");
  return false;
}

// ---- numerics -----------------------------------------------------------------

void BM_FASTF(benchmark::State& state) {
  const ReferenceData& ref = reference();
  std::vector<float> re(kNfft), im(kNfft);
  for (auto _ : state) {
    for (int32_t k = 0; k < kNfft; ++k) re[k] = ref.raw[size_t(k) * kNch];
    std::fill(im.begin(), im.end(), 0.0f);
    kelv::FASTF(re.data(), im.data(), kNfft);
    benchmark::DoNotOptimize(re.data());
    benchmark::DoNotOptimize(im.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FASTF);

void BM_MATRINV(benchmark::State& state) {
  const ReferenceData& ref = reference();
  std::vector<float> inverse(size_t(kNch) * kNch);
  for (auto _ : state) {
    kelv::MATRINV(kNch, ref.general.data(), inverse.data());
    benchmark::DoNotOptimize(inverse.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MATRINV);

// Argument: the order, 8 as in the spectral matrices, 7 as in the coherences.
void BM_HERMINV(benchmark::State& state) {
  if (!usable(state)) return;
  const ReferenceData& ref = reference();
  const int32_t n = int32_t(state.range(0));
  const std::vector<cfloat>& a = n == kNch ? ref.spectralMatrix : ref.reduced;
  std::vector<cfloat> inverse(size_t(n) * n);
  for (auto _ : state) {
    kelv::HERMINV(n, a.data(), inverse.data());
    benchmark::DoNotOptimize(inverse.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_HERMINV)->Arg(kNch)->Arg(kNch - 1);

void BM_CHOLESKY(benchmark::State& state) {
  if (!usable(state)) return;
  const ReferenceData& ref = reference();
  std::vector<cfloat> packedInput;
  for (int32_t k = 1; k <= kNch; ++k)
    for (int32_t i = 1; i <= k; ++i)
      packedInput.push_back(ref.spectralMatrix[(i - 1) + size_t(k - 1) * kNch]);
  std::vector<cfloat> rhsInput(kNch);
  for (int32_t i = 0; i < kNch; ++i) rhsInput[i] = cfloat(float(i + 1), float(kNch - i));
  std::vector<cfloat> t(packedInput.size()), b(kNch);
  int32_t status = 0;
  for (auto _ : state) {
    std::copy(packedInput.begin(), packedInput.end(), t.begin());
    std::copy(rhsInput.begin(), rhsInput.end(), b.begin());
    kelv::CHOLESKY(kNch, 1.0e-15f, t.data(), b.data(), status);
    benchmark::DoNotOptimize(b.data());
    benchmark::DoNotOptimize(status);
    benchmark::ClobberMemory();
  }
  if (status != 0) state.SkipWithError("the factorisation reported a small or bad pivot");
}
BENCHMARK(BM_CHOLESKY);

void BM_LTREND(benchmark::State& state) {
  const ReferenceData& ref = reference();
  std::vector<float> x(kNlen);
  for (auto _ : state) {
    for (int32_t k = 0; k < kNlen; ++k) x[k] = ref.raw[size_t(k) * kNch];
    kelv::LTREND(x.data(), kNlen);
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LTREND);

// ---- estimation ---------------------------------------------------------------

void BM_TRANSFX(benchmark::State& state) {
  const ReferenceData& ref = reference();
  std::vector<float> x(ref.raw.size());
  for (auto _ : state) {
    std::copy(ref.raw.begin(), ref.raw.end(), x.begin());
    kelv::TRANSFX(kNch, kNlen, kNfft, 1, 0, x.data());
    benchmark::DoNotOptimize(x.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TRANSFX);

void BM_ARSPECTR(benchmark::State& state) {
  const ReferenceData& ref = reference();
  std::vector<cfloat> spectra(ref.spectra.size());
  for (auto _ : state) {
    kelv::ARSPECTR(kOrder, kNch, kNlen, kNfft, kNfreq, ref.window.data(), spectra.data());
    benchmark::DoNotOptimize(spectra.data());
    benchmark::ClobberMemory();
  }
  state.counters["blank"] = double(blankFrequencies(spectra));
}
BENCHMARK(BM_ARSPECTR);

void BM_CANOCOH(benchmark::State& state) {
  if (!usable(state)) return;
  const ReferenceData& ref = reference();
  std::vector<float> coherences(kNch);
  for (auto _ : state) {
    kelv::CANOCOH(ref.spectralMatrix.data(), kNch, coherences.data());
    benchmark::DoNotOptimize(coherences.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CANOCOH);

// All frequencies of one window's spectra.
//
// The counter "blank" of this and the window benchmarks counts the frequencies whose
// matrix was not finite and so took the short path.
void BM_CANOCOH_window(benchmark::State& state) {
  const ReferenceData& ref = reference();
  std::vector<float> coherences(size_t(kNch) * kNfreq);
  for (auto _ : state) {
    for (int32_t f = 0; f < kNfreq; ++f)
      kelv::CANOCOH(ref.spectra.data() + size_t(f) * kNch * kNch, kNch,
                    coherences.data() + size_t(f) * kNch);
    benchmark::DoNotOptimize(coherences.data());
    benchmark::ClobberMemory();
  }
  state.counters["blank"] = double(blankFrequencies(ref.spectra));
}
BENCHMARK(BM_CANOCOH_window);

// ---- one window of the window loop ----------------------------------------------

// The window loop's first steps: clear the buffer, copy the window, preprocess.
void preparedWindow(const ReferenceData& ref, std::vector<float>& windowData) {
  std::fill(windowData.begin(), windowData.end(), 0.0f);
  for (int32_t k = 0; k < kNlen; ++k)
    for (int32_t j = 0; j < kNch; ++j)
      windowData[j + size_t(k) * kNch] = ref.raw[j + size_t(k) * kNch];
  kelv::TRANSFX(kNch, kNlen, kNfft, 1, 0, windowData.data());
}

// The work of one window exactly as the program's window loop does it, less the
// progress line: clear and fill the window, preprocess, fit, and one coherence
// measure per frequency.
void BM_window(benchmark::State& state) {
  const ReferenceData& ref = reference();
  const size_t matrixSize = size_t(kNch) * kNch;
  std::vector<float> windowData(size_t(kNch) * kNfft);
  std::vector<cfloat> spectra(matrixSize * kNfreq), freqMatrix(matrixSize);
  std::vector<float> coherences(kNch), gridColumn(kNfreq);
  for (auto _ : state) {
    preparedWindow(ref, windowData);
    kelv::ARSPECTR(kOrder, kNch, kNlen, kNfft, kNfreq, windowData.data(), spectra.data());
    for (int32_t f = 0; f < kNfreq; ++f) {
      const cfloat* slice = spectra.data() + size_t(f) * matrixSize;
      std::copy(slice, slice + matrixSize, freqMatrix.begin());
      kelv::CANOCOH(freqMatrix.data(), kNch, coherences.data());
      gridColumn[f] = kelv::coherenceMeasure(coherences.data(), kNch);
    }
    benchmark::DoNotOptimize(gridColumn.data());
    benchmark::ClobberMemory();
  }
  state.counters["blank"] = double(std::count_if(gridColumn.begin(), gridColumn.end(),
                                                 [](float z) { return !std::isfinite(z); }));
}
BENCHMARK(BM_window);

// ---- the window analysis the run performs (double precision) --------------------

void BM_ARFIT(benchmark::State& state) {
  const ReferenceData& ref = reference();
  const size_t mat = size_t(kNch) * kNch;
  std::vector<float> a(mat * kOrder), vf(mat), vfinv(mat);
  for (auto _ : state) {
    kelv::ARFIT(kOrder, kNch, kNlen, ref.window.data(), a.data(), vf.data(), vfinv.data());
    benchmark::DoNotOptimize(a.data());
  }
}
BENCHMARK(BM_ARFIT);

void BM_ARFIT_double(benchmark::State& state) {
  const ReferenceData& ref = reference();
  const size_t mat = size_t(kNch) * kNch;
  std::vector<double> a(mat * kOrder), vf(mat), vfinv(mat);
  for (auto _ : state) {
    kelv::ARFIT(kOrder, kNch, kNlen, ref.window.data(), a.data(), vf.data(), vfinv.data());
    benchmark::DoNotOptimize(a.data());
  }
}
BENCHMARK(BM_ARFIT_double);

// All frequencies of the fitted reference window, kLanes at a time: transfer
// function, G, its factorisation, the inverse's diagonal and the measure.
void BM_spectrumBlock_window(benchmark::State& state) {
  kelv::SpectralWork work(kOrder, kNch, kNfft, kNfreq);
  kelv::fitWindow(kNlen, reference().window.data(), work);
  std::vector<float> gridColumn(kNfreq);
  for (auto _ : state) {
    kelv::spectralStage(work, gridColumn.data());
    benchmark::DoNotOptimize(gridColumn.data());
  }
}
BENCHMARK(BM_spectrumBlock_window);

// One window as the program's window loop runs it: fill, preprocess, fit and the
// measure at every frequency.
void BM_window_fused(benchmark::State& state) {
  const ReferenceData& ref = reference();
  kelv::SpectralWork work(kOrder, kNch, kNfft, kNfreq);
  std::vector<float> windowData(size_t(kNch) * kNfft), gridColumn(kNfreq);
  for (auto _ : state) {
    preparedWindow(ref, windowData);
    kelv::coherenceSpectrum(kNlen, windowData.data(), work, gridColumn.data());
    benchmark::DoNotOptimize(gridColumn.data());
    benchmark::ClobberMemory();
  }
  state.counters["blank"] = double(std::count_if(gridColumn.begin(), gridColumn.end(),
                                                 [](float z) { return !std::isfinite(z); }));
}
BENCHMARK(BM_window_fused);

// ---- the grid's text ---------------------------------------------------------------

// The reference window's column of the grid: 512 measures in [0, 1).
const std::vector<float>& referenceColumn() {
  static const std::vector<float> column = [] {
    kelv::SpectralWork work(kOrder, kNch, kNfft, kNfreq);
    std::vector<float> windowData(size_t(kNch) * kNfft), c(kNfreq);
    preparedWindow(reference(), windowData);
    kelv::coherenceSpectrum(kNlen, windowData.data(), work, c.data());
    return c;
  }();
  return column;
}

// One window's column of the grid's text (512 fields) into rows of nx columns, column
// after column as the window loop writes them: nx 610 is the reference grid, whose rows
// lie 9.8 KB apart; nx 1 leaves the rows adjacent, the formatting alone.
template <void (*format)(const float*, int32_t, int32_t, int32_t, char*)>
void formatColumns(benchmark::State& state) {
  const auto nx = int32_t(state.range(0));
  const std::vector<float>& column = referenceColumn();
  std::vector<char> rows(kelv::dsaaRowsBytes(nx, kNfreq));
  int32_t w = 1;
  for (auto _ : state) {
    format(column.data(), nx, kNfreq, w, rows.data());
    w = w % nx + 1;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kNfreq);
}

void BM_formatDsaaColumn(benchmark::State& state) {
  formatColumns<kelv::formatDsaaColumn>(state);
}
BENCHMARK(BM_formatDsaaColumn)->Arg(1)->Arg(610);

// ---- the window's copy --------------------------------------------------------------

// The reference record: 8 channels of 40000 samples, channels side by side as the
// program holds them.
constexpr int32_t kRecordSamples = 40000;
constexpr int32_t kShift = 64;

const std::vector<float>& referenceRecord() {
  static const std::vector<float> record =
      kelv::sim::simulate(kelv::sim::exampleModel(kNch, true), kRecordSamples, kSeed);
  return record;
}

// The windows of the reference run (610 of 1024 samples, shift 64) one after another,
// copied into the window buffer with their finiteness checked.
template <bool (*copy)(const kelv::Plan&, const kelv::Samples&, int64_t, float*)>
void copyWindows(benchmark::State& state) {
  const std::vector<float>& record = referenceRecord();
  const kelv::Plan plan =
      kelv::makePlan({0, kNlen, kShift, kOrder, 0.0, 1.0}, kNch, kRecordSamples);
  const kelv::Samples samples = kelv::channelsFastest(record.data(), kNch, kRecordSamples);
  std::vector<float> windowData(size_t(kNch) * kNfft);
  int64_t w = 1;
  int64_t gaps = 0;
  for (auto _ : state) {
    gaps += !copy(plan, samples, 1 + (w - 1) * plan.shift, windowData.data());
    w = w % plan.nWindows + 1;
    benchmark::ClobberMemory();
  }
  if (gaps != 0) state.SkipWithError("the reference record has a gap");
  state.SetBytesProcessed(state.iterations() * int64_t(sizeof(float)) * kNch * kNlen);
}

void BM_copyStretch(benchmark::State& state) {
  copyWindows<kelv::copyStretch>(state);
}
BENCHMARK(BM_copyStretch);

// The same window analysis for nch = 4 .. 64 channels of the example's process
// (window 1024, order 10): the cost per window as the channel count grows.
void BM_window_channels(benchmark::State& state) {
  const auto nch = int32_t(state.range(0));
  // From about 32 channels on the coupled process leaves V numerically singular in
  // float samples (every node blank); those channel counts run uncoupled.
  const std::vector<float> raw =
      kelv::sim::simulate(kelv::sim::exampleModel(nch, nch <= 16), kNlen, 99);
  kelv::SpectralWork work(kOrder, nch, kNfft, kNfreq);
  std::vector<float> windowData(size_t(nch) * kNfft), gridColumn(kNfreq);
  for (auto _ : state) {
    std::copy(raw.begin(), raw.end(), windowData.begin());
    kelv::TRANSFX(nch, kNlen, kNfft, 1, 0, windowData.data());
    kelv::coherenceSpectrum(kNlen, windowData.data(), work, gridColumn.data());
    benchmark::DoNotOptimize(gridColumn.data());
  }
}
BENCHMARK(BM_window_channels)->RangeMultiplier(2)->Range(4, 64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
