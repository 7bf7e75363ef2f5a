// The vector autoregressive process of the bundled example (see make_example.cpp),
// shared with the tests that hold the program's grid against its true measure.
#pragma once

#include <cmath>

#include "examples/varsim.hpp"

namespace kelv::sim {

// Order 2. Channel 1 is an AR(2) resonance near 0.1 cycles per sample (pole radius
// 0.95); channel j > 1 resonates at 0.05 + 0.4 (j - 1) / nch (pole radius 0.8).
// When `coupled`, channel j also follows channel j - 1 one sample later with
// coefficient 0.9. The coupling is strictly lower triangular, so the process stays
// stable whichever regime is on.
inline VarModel exampleModel(int nch, bool coupled) {
  constexpr double kTwoPi = 6.283185307179586;
  VarModel m(nch, 2);
  for (int j = 1; j <= nch; ++j) {
    const double f0 = j == 1 ? 0.1 : 0.05 + 0.4 * double(j - 1) / nch;
    const double r = j == 1 ? 0.95 : 0.8;
    m.a(1, j, j) = -2.0 * r * std::cos(kTwoPi * f0);
    m.a(2, j, j) = r * r;
    if (coupled && j > 1) m.a(1, j, j - 1) = -0.9;
  }
  return m;
}

}  // namespace kelv::sim
