// Time per window of the double-precision window analysis for window shapes given on
// the command line, for the table of bench/README.md. It uses only the library's
// long-standing entry points (TRANSFX, ARFIT, SpectralWork and coherenceSpectrum), so
// the same source builds against an older tree too, and bench/window_table.sh runs
// the two builds alternately.
//
//   window_shapes [-r REPEATS] NCH:ORDER:NLEN ...
//
// For each shape: one line "NCH ORDER NLEN TRANSFX FIT ANALYSIS", the median over
// REPEATS (default 5) of the the preprocessing, the fit
// alone, and the fit with the spectral stage (coherenceSpectrum), each repeat timing
// enough windows to last about 20 ms. The window is a stretch of the example's
// coupled process of nch channels.
#include <algorithm>
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

}  // namespace

int main(int argc, char** argv) {
  int repeats = 5;
  int arg = 1;
  if (arg + 1 < argc && std::string(argv[arg]) == "-r") {
    repeats = std::max(1, std::atoi(argv[arg + 1]));
    arg += 2;
  }
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
    std::vector<float> raw = kelv::sim::simulate(kelv::sim::exampleModel(nch, true), nfft, 99);
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
    std::fflush(stdout);
  }
  return 0;
}
