// The coherence measure from the multiple coherences of all channels, over any
// element type (float or double coherences, or kLanes frequencies at once).
#pragma once

#include <cstdint>

#include "numerics/lanes.hpp"

namespace kelv {

// sqrt(R(1) * ... * R(n)): the product starts at 1.0 and takes the coherences in
// ascending order, product and root in the wide type.
template <class T>
KELV_LANE_INLINE Wide<T> measureOf(View1<const T> R, int32_t n) {
  Wide<T> prod = Wide<T>{} + 1.0;
  for (int32_t m = 1; m <= n; ++m) prod *= widen(R(m));
  return laneSqrt(prod);
}

}  // namespace kelv
