// Time per window of the double-precision window analysis for window shapes given on
// the command line, for the table of bench/README.md. It uses only the library's
// long-standing entry points (TRANSFX, ARFIT, SpectralWork and coherenceSpectrum), so
// the same source builds against an older tree too, and bench/window_table.sh runs
// the two builds alternately.
//
//   window_shapes [-r REPEATS] [--stages] NCH:ORDER:NLEN ...
//
// For each shape: one line "NCH ORDER NLEN TRANSFX FIT ANALYSIS", the median over
// REPEATS (default 5) of the the preprocessing, the fit
// alone, and the fit with the spectral stage (coherenceSpectrum), each repeat timing
// enough windows to last about 20 ms. The window is a stretch of the example's
// coupled process of nch channels (uncoupled above 16 channels).
//
// --stages (only where built with KELV_WINDOW_STAGES, the current tree's build) adds
// for each shape a line per stage of the fit and the spectral stage, "  STAGE US
// MFLOP SHARE": microseconds, millions of floating-point operations as the stage
// performs them (a product and a sum count as two), and the share of the flop bound
// those operations would take at the measured rate of independent vector products
// and sums (printed first, "peak GFLOP/S"), which is what the processor can do without
// fused multiply-adds.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "estimation/arfit.hpp"
#include "estimation/estimation.hpp"
#include "estimation/lanes.hpp"
#include "examples/example_model.hpp"
#include "examples/varsim.hpp"

namespace {

// The calling thread's processor time: on a shared machine it counts only this
// program's work, where wall time counts the other programs' too.
struct Clock {
  static double now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
  }
};

// Median over `repeats` of the microseconds one call of f takes.
template <class F>
double microseconds(int repeats, F&& f) {
  f();  // warm up (and size any working storage)
  int64_t calls = 1;
  for (;;) {
    const auto start = Clock::now();
    for (int64_t c = 0; c < calls; ++c) f();
    const double s = Clock::now() - start;
    if (s >= 0.02 || calls >= (int64_t(1) << 30)) break;
    calls = s <= 0.002 ? calls * 10 : int64_t(double(calls) * 0.025 / s) + 1;
  }
  std::vector<double> t;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    for (int64_t c = 0; c < calls; ++c) f();
    t.push_back((Clock::now() - start) * 1e6 / double(calls));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

#ifdef KELV_WINDOW_STAGES
// Independent vector products and sums, half and half, as fast as the processor runs
// them: the flop bound, in floating-point operations per second.
using kelv::kLanes;
using kelv::LaneD;

KELV_LANE_KERNEL double peakRate() {
  // The factors come from memory at run time, so that no product by 1 is folded.
  volatile double one = 1.0, tiny = 1e-9;
  const LaneD m = kelv::splat(one), c = kelv::splat(tiny);
  LaneD a[8], b[8];
  for (int k = 0; k < 8; ++k) {
    a[k] = kelv::splat(1.0 + k);
    b[k] = kelv::splat(2.0 + k);
  }
  const int64_t rounds = 20000000;
  const double start = Clock::now();
  for (int64_t i = 0; i < rounds; ++i)
    for (int k = 0; k < 8; ++k) {
      a[k] = a[k] * m;
      b[k] = b[k] + c;
    }
  const double seconds = Clock::now() - start;
  double sink = 0.0;
  for (int k = 0; k < 8; ++k) sink += a[k][0] + b[k][0];
  if (sink == 42.0) std::printf(" ");
  return double(rounds) * 16.0 * kLanes / seconds;
}

// Operations of the stages as they run them, a product and a sum counting two.
double lagFlops(double n, double p, double nlen) {
  double f = 0.0;
  for (int k = 0; k <= int(p); ++k) f += 2.0 * n * n * (nlen - k);
  return f;
}
double recursionFlops(double n, double p) {
  double f = 0.0;
  for (int m = 1; m <= int(p); ++m) f += 2.0 * n * n * n * (3.0 * (m - 1) + 4.0);
  return f + (2.0 * p + 2.0) * 2.0 * n * n * n;  // and the Gauss-Jordan inversions
}
double spectralFlops(const kelv::SpectralWork& w) {
  const double n = w.nch, p = w.order, nfreq = w.nfreq;
  double transfer = 4.0 * p * n * n * nfreq;
  if (w.byTransform) {
    const double M = w.fftLength, groups = double(w.residues) / kLanes;
    transfer = n * n * groups * kLanes * (2.0 * (p + 1) + 5.0 * M * std::log2(M));
  }
  double g = 0.0, factor = 0.0, inverse = 0.0;
  for (int i = 1; i <= int(n); ++i) {
    g += 8.0 * n * i;                        // column i of the upper triangle of G
    factor += 10.0 * (i - 1) * (n - i + 1);  // row i of U^H D U
    inverse += 8.0 * i * (i - 1) / 2 + 4.0 * i;
  }
  return transfer + nfreq * (g + factor + inverse);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  int repeats = 5;
  int arg = 1;
  bool stages = false;
  for (; arg < argc && argv[arg][0] == '-'; ++arg) {
    if (std::string(argv[arg]) == "-r" && arg + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++arg]));
    } else if (std::string(argv[arg]) == "--stages") {
      stages = true;
    } else {
      break;
    }
  }
#ifdef KELV_WINDOW_STAGES
  const double peak = stages ? peakRate() : 0.0;
  if (stages) std::printf("peak %.1f GFLOP/S\n", peak * 1e-9);
#else
  if (stages) {
    std::fprintf(stderr, "window_shapes: --stages needs a build with KELV_WINDOW_STAGES\n");
    return 2;
  }
#endif
  if (arg >= argc) {
    std::fprintf(stderr, "usage: window_shapes [-r REPEATS] NCH:ORDER:NLEN ...\n");
    return 2;
  }
  for (; arg < argc; ++arg) {
    int nch = 0, order = 0, nlen = 0;
    if (std::sscanf(argv[arg], "%d:%d:%d", &nch, &order, &nlen) != 3 || nch < 1 || order < 1 ||
        nlen < 2) {
      std::fprintf(stderr, "window_shapes: bad shape %s\n", argv[arg]);
      return 2;
    }
    int32_t nfft = 2;
    while (nfft < nlen) nfft *= 2;
    const int32_t nfreq = nfft / 2;
    // The coupled process makes V numerically singular from about 32 channels on (the
    // chain of couplings leaves the last channels almost no innovation in float
    // samples) and every node blank; there its channels run uncoupled.
    std::vector<float> raw = kelv::sim::simulate(kelv::sim::exampleModel(nch, nch <= 16), nfft, 99);
    raw.resize(size_t(nch) * nfft);
    std::fill(raw.begin() + ptrdiff_t(nch) * nlen, raw.end(), 0.0f);
    std::vector<float> window = raw;
    kelv::TRANSFX(nch, nlen, nfft, 1, 0, window.data());

    std::vector<float> scratch(raw.size());
    const double transfx = microseconds(repeats, [&] {
      std::copy(raw.begin(), raw.end(), scratch.begin());
      kelv::TRANSFX(nch, nlen, nfft, 1, 0, scratch.data());
    });
    const size_t mat = size_t(nch) * nch;
    std::vector<double> a(mat * order), vf(mat), vfinv(mat);
    const double fit = microseconds(repeats, [&] {
      kelv::ARFIT(order, nch, nlen, window.data(), a.data(), vf.data(), vfinv.data());
    });
    kelv::SpectralWork work(order, nch, nfft, nfreq);
    std::vector<float> column(static_cast<size_t>(nfreq));
    const double analysis = microseconds(
        repeats, [&] { kelv::coherenceSpectrum(nlen, window.data(), work, column.data()); });
    std::printf("%d %d %d %.2f %.2f %.2f\n", nch, order, nlen, transfx, fit, analysis);
#ifdef KELV_WINDOW_STAGES
    if (stages) {
      kelv::FitWork<double> fitWork(order, nch);
      const double lag =
          microseconds(repeats, [&] { kelv::lagCovariances(nlen, window.data(), fitWork); });
      const double wholeFit = microseconds(repeats, [&] {
        kelv::ARFIT(order, nch, nlen, window.data(), a.data(), vf.data(), vfinv.data(), fitWork);
      });
      kelv::fitWindow(nlen, window.data(), work);
      const double spectral =
          microseconds(repeats, [&] { kelv::spectralStage(work, column.data()); });
      const auto line = [&](const char* name, double us, double flops) {
        std::printf("  %s %.2f %.3f %.2f\n", name, us, flops * 1e-6, flops / (us * 1e-6) / peak);
      };
      line("lag", lag, lagFlops(nch, order, nlen));
      line("recursion", wholeFit - lag, recursionFlops(nch, order));
      line("spectral", spectral, spectralFlops(work));
    }
#endif
    std::fflush(stdout);
  }
  return 0;
}
