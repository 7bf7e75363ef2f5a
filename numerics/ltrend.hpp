// Least-squares linear trend removal, over any element type (float, double, or
// kLanes channels at once). Sums and the line are carried in the wide type; each
// residual is rounded to the element type when it is written.
#pragma once

#include <cstdint>

#include "numerics/lanes.hpp"

namespace kelv {

template <class T>
KELV_LANE_INLINE void removeTrend(View1<T> v, int32_t n) {
  using W = Wide<T>;
  if (n <= 0) return;
  // One point fixes no slope (the rise would be 0/0); the line through it leaves
  // no residual.
  if (n == 1) {
    v(1) = T{};
    return;
  }
  const double N = static_cast<double>(n);
  W s0{};
  W s1{};
  for (int32_t k = 1; k <= n; ++k) {
    const W x = widen(v(k));
    s0 += x;
    s1 += static_cast<double>(k) * x;
  }
  const W m = s0 / N;
  const W q = s1 / ((N + 1.0) * N);
  const W b = (q - 0.5 * m) * N * 12.0 / (N - 1.0);
  const W a = m - (N + 1.0) * b / (2.0 * N);
  for (int32_t k = 1; k <= n; ++k)
    v(k) = narrowTo<T>((widen(v(k)) - a) - static_cast<double>(k) * b / N);
}

}  // namespace kelv
