// Axis ranges, round tick steps and their labels, the picture's layout and the
// choice of output format.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "map/map.hpp"

namespace kelv::gridmap {

namespace {

// m x 10^e, for e from about -330 to 310: 0 where it is below the smallest subnormal,
// infinite where it is beyond the largest double.
double decade(int m, int e) {
  if (e >= 0) return m * std::pow(10.0, e);
  // Dividing by an exact power of ten (to 10^22) rounds once; below 10^-308 the
  // divisor would be infinite, so the rest of the way is a second division.
  if (e >= -308) return m / std::pow(10.0, -e);
  return m / std::pow(10.0, -e - 308) / 1e308;
}

}  // namespace

double tickStep(double span, int maxIntervals) {
  if (!(span > 0.0) || !std::isfinite(span)) return 0.0;
  if (maxIntervals < 1) maxIntervals = 1;
  // The decade of span / maxIntervals, as a difference of logarithms: the quotient
  // itself underflows to 0 for a subnormal span. log10 may land a hair on either
  // side of a power of ten: start one decade low and take the first candidate that
  // fits. Spans from the smallest subnormal to the largest double keep e0 within
  // about -330 and 310.
  const int e0 = int(std::floor(std::log10(span) - std::log10(double(maxIntervals)))) - 1;
  for (int e = e0; e <= e0 + 3; ++e) {
    for (int m : {1, 2, 5}) {
      // A step below the smallest subnormal is 0, one beyond the largest double
      // infinite: neither gives ticks.
      const double step = decade(m, e);
      if (step > 0.0 && std::isfinite(step) && span / step <= maxIntervals * (1.0 + 1e-9))
        return step;
    }
  }
  return 0.0;
}

std::vector<double> tickValues(double lo, double hi, double step) {
  std::vector<double> ticks;
  if (!(step > 0.0) || !std::isfinite(lo / step) || !std::isfinite(hi / step)) return ticks;
  const double first = std::ceil(lo / step - 1e-9);
  const double last = std::floor(hi / step + 1e-9);
  if (last - first > 1000.0) return ticks;
  // Counted in integers: beyond 2^53 adding one to `first` may change nothing, and
  // a range too narrow for its magnitude then has a single tick.
  const int64_t count = last >= first ? int64_t(last - first) + 1 : 0;
  for (int64_t i = 0; i < count; ++i) {
    const double k = first + double(i);
    const double v = k * step;
    if (!ticks.empty() && !(v > ticks.back())) break;
    ticks.push_back(k == 0.0 ? 0.0 : v);
  }
  return ticks;
}

std::string tickLabel(double value, double step) {
  if (std::fabs(value) < step * 1e-6) value = 0.0;
  const int stepExponent = int(std::floor(std::log10(step) + 1e-9));
  char text[64];
  if (stepExponent >= -6 && std::fabs(value) < 1e9) {
    std::snprintf(text, sizeof text, "%.*f", std::max(0, -stepExponent), value);
  } else {
    const double magnitude = std::max(std::fabs(value), step);
    const int digits =
        std::clamp(int(std::floor(std::log10(magnitude) + 1e-9)) - stepExponent + 1, 1, 15);
    std::snprintf(text, sizeof text, "%.*g", digits, value);
  }
  return text;
}

AxisRange axisRange(double first, double last, int32_t n) {
  if (n <= 1 || first == last) {
    // Nothing gives the cells a size: show a band around the one coordinate.
    const double half = first != 0.0 ? std::fabs(first) * 0.1 : 0.5;
    return {first - half, first + half, false};
  }
  const double lo = std::min(first, last), hi = std::max(first, last);
  const double halfCell = (hi - lo) / (n - 1) / 2.0;
  return {lo - halfCell, hi + halfCell, first > last};
}

Layout computeLayout(int width, int height) {
  constexpr int kLeft = 110, kRight = 180, kTop = 56, kBottom = 84;
  constexpr int kBarGap = 28, kBarWidth = 22;
  Layout l;
  l.width = width;
  l.height = height;
  l.plot = {kLeft, kTop, width - kLeft - kRight, height - kTop - kBottom};
  l.colourBar = {l.plot.x + l.plot.w + kBarGap, kTop, kBarWidth, l.plot.h};
  return l;
}

std::optional<Format> formatOf(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".png") return Format::png;
  if (ext == ".svg") return Format::svg;
  if (ext == ".pdf") return Format::pdf;
  return std::nullopt;
}

std::string defaultOutputName(const std::string& gridPath) {
  return std::filesystem::path(gridPath).replace_extension(".png").string();
}

}  // namespace kelv::gridmap
