// Kelvarodine: the coherence measure of a multichannel record in a moving window.
//
//   kelv::Plan plan = kelv::makePlan(settings, nch, samplesPerChannel);
//   std::vector<float> grid(size_t(plan.nfreq) * plan.nWindows);
//   kelv::analyseWindows(plan, kelv::samplesFastest(data, nch, samplesPerChannel), 1,
//                        plan.nWindows, grid.data(), {.threads = 0});
//
// The library writes nothing to the console, reads no environment and never ends the
// process: errors at its boundary are exceptions whose messages name what is wrong.
#pragma once

#include "kelvarodine/analysis.hpp"
#include "kelvarodine/dsaa.hpp"
#include "kelvarodine/inputs.hpp"
#include "kelvarodine/settings.hpp"
#include "kelvarodine/version.hpp"
