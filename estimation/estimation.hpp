// Window preprocessing. The rest of a window's analysis is coherenceSpectrum
// (estimation/lanes.hpp); the whole of it, from the samples on, estimation/window.hpp.
#pragma once

#include <cstdint>

#include "numerics/arrays.hpp"

namespace kelv {

// Preprocesses channels 1..nch of x (nch x nfft floats, columns 1..nlen used) in
// place: linear trend removal when itrend == 1, first differences when idiff == 1,
// ten passes of centring and clipping at three standard deviations, standardisation.
void TRANSFX(int32_t nch, int32_t nlen, int32_t nfft, int32_t itrend, int32_t idiff, float* x);

}  // namespace kelv
