// The compiled half of the Python package: the plan of a run's settings, and the run
// itself on a channels x samples float32 array. The package's Python half checks the
// arguments' types and converts the samples; this half asks the library. The
// interpreter's lock is released while the windows are analysed, and taken back now
// and then between windows to let a pending Ctrl-C stop the run.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kelvarodine/kelvarodine.hpp"

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<float, py::array::c_style>;
using FloatColumns = py::array_t<float, py::array::f_style>;

// How often a run looks for a pending signal: often enough that Ctrl-C stops it well
// within a second, seldom enough that taking the interpreter's lock costs nothing.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

struct Arguments {
  int64_t nch = 0;
  int64_t samples = 0;
  kelv::Settings settings;
};

// The settings as the library takes them. The Python half has already brought every
// integer into 32 bits (a value outside them, which the library refuses in any case,
// as its nearest 32-bit value).
Arguments arguments(int64_t nch, int64_t samples, int32_t diff, int32_t window, int32_t shift,
                    int32_t order, double t0, double dt) {
  return {nch, samples, {diff, window, shift, order, t0, dt}};
}

kelv::Plan planOf(const Arguments& a) {
  if (a.nch > std::numeric_limits<int32_t>::max())
    throw kelv::SettingsError("data", "data: at most " +
                                          std::to_string(std::numeric_limits<int32_t>::max()) +
                                          " channels, not " + std::to_string(a.nch));
  return kelv::makePlan(a.settings, static_cast<int32_t>(a.nch), a.samples);
}

// The plan as a dict, or {"setting": ..., "problem": ...} when a setting breaks its
// rule.
py::dict plan(int64_t nch, int64_t samples, int32_t diff, int32_t window, int32_t shift,
              int32_t order, double t0, double dt) {
  py::dict d;
  try {
    const kelv::Plan p = planOf(arguments(nch, samples, diff, window, shift, order, t0, dt));
    d["diff"] = p.idiff == 1;
    d["window"] = p.nlen;
    d["shift"] = p.shift;
    d["order"] = p.order;
    d["t0"] = p.Tini;
    d["dt"] = p.Tstep;
    d["nfft"] = p.nfft;
    d["windows"] = p.nWindows;
  } catch (const kelv::SettingsError& e) {
    d["setting"] = e.setting();
    d["problem"] = std::string(e.what());
  }
  return d;
}

// Non-finite values as NaN: the grid file's blank nodes.
void blankNonFinite(float* v, int64_t count) {
  for (int64_t i = 0; i < count; ++i)
    if (!std::isfinite(v[i])) v[i] = std::numeric_limits<float>::quiet_NaN();
}

py::dict analyse(const FloatArray& data, int32_t diff, int32_t window, int32_t shift, int32_t order,
                 double t0, double dt, int32_t threads, bool channels, bool null) {
  if (data.ndim() != 2) throw py::value_error("data must be 2-D (channels x samples)");
  const kelv::Plan p =
      planOf(arguments(data.shape(0), data.shape(1), diff, window, shift, order, t0, dt));
  if (threads < 0) throw py::value_error("threads must be 0 (all processors) or more");
  // More threads than processors only crowd each other; the results are the same.
  const int32_t processors = kelv::processorsAvailable();
  const int32_t used = threads == 0 ? processors : std::min(threads, processors);

  const int64_t nfreq = p.nfreq, nWindows = p.nWindows;
  FloatColumns measure({nfreq, nWindows});
  py::object coherences = py::none();
  float* coherenceData = nullptr;
  if (channels) {
    FloatColumns c({int64_t(p.nch), nfreq, nWindows});
    coherenceData = c.mutable_data();
    coherences = std::move(c);
  }
  py::array_t<int32_t> degenerate(nWindows);
  py::array_t<double> frequency(nfreq), time(nWindows);
  for (int32_t f = 1; f <= p.nfreq; ++f) frequency.mutable_at(f - 1) = kelv::rowFrequency(p, f);
  for (int64_t w = 1; w <= nWindows; ++w) time.mutable_at(w - 1) = kelv::windowTime(p, w);

  const kelv::Samples samples = kelv::samplesFastest(data.data(), p.nch, p.realSamples);
  float* grid = measure.mutable_data();
  int32_t* degenerateData = degenerate.mutable_data();
  std::vector<float> levels;
  {
    py::gil_scoped_release release;
    auto lastCheck = std::chrono::steady_clock::now();
    kelv::Options options;
    options.threads = used;
    options.channelCoherences = coherenceData;
    const auto checkSignals = [&lastCheck] {
      const auto now = std::chrono::steady_clock::now();
      if (now - lastCheck < kSignalCheckInterval) return;
      lastCheck = now;
      py::gil_scoped_acquire hold;
      // A handler that raised (KeyboardInterrupt for Ctrl-C) stops the run: the
      // library joins its threads and passes the exception on.
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    };
    options.progress = [&checkSignals](int64_t, int32_t) { checkSignals(); };
    const std::vector<int32_t> counts =
        kelv::analyseWindows(p, samples, 1, nWindows, grid, options);
    std::copy(counts.begin(), counts.end(), degenerateData);
    blankNonFinite(grid, nfreq * nWindows);
    if (coherenceData) blankNonFinite(coherenceData, int64_t(p.nch) * nfreq * nWindows);
    if (null)
      levels = kelv::nullLevels(p, samples, used, [&checkSignals](int64_t) { checkSignals(); });
  }

  py::dict result;
  result["measure"] = measure;
  result["frequency"] = frequency;
  result["time"] = time;
  result["degenerate"] = degenerate;
  result["channel_coherences"] = coherences;
  if (null) {
    FloatColumns l({nfreq, int64_t(2)});
    std::memcpy(l.mutable_data(), levels.data(), levels.size() * sizeof(float));
    result["null_levels"] = l;
  } else {
    result["null_levels"] = py::none();
  }
  return result;
}

}  // namespace

PYBIND11_MODULE(_kelvarodine, m) {
  m.doc() = "The compiled part of the kelvarodine package; use kelvarodine.analyse.";
  m.attr("__version__") = kelv::kVersion;
  m.attr("MIN_CHANNELS") = kelv::kMinChannels;
  m.attr("MIN_SAMPLES") = kelv::kMinSamples;
  m.def("plan", &plan, py::arg("nch"), py::arg("samples"), py::arg("diff"), py::arg("window"),
        py::arg("shift"), py::arg("order"), py::arg("t0"), py::arg("dt"));
  m.def("analyse", &analyse, py::arg("data").noconvert(), py::arg("diff"), py::arg("window"),
        py::arg("shift"), py::arg("order"), py::arg("t0"), py::arg("dt"), py::arg("threads"),
        py::arg("channels"), py::arg("null"));
  m.def("processors_available", &kelv::processorsAvailable);
}
