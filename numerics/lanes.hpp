// Kernels over kLanes independent problems at once.
//
// A lane vector holds one value of each of kLanes problems of the same shape (the
// same matrix element at kLanes frequencies, the same sample of kLanes channels).
// Every operation on lane vectors is the IEEE operation of each lane on its own, so
// a lane computes exactly the bits the scalar routine computes for its problem:
// the batched routines below are the scalar ones, operation for operation, and only
// run kLanes of them side by side in the processor's vector registers.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "numerics/arrays.hpp"

namespace kelv {

inline constexpr int kLanes = 8;

using LaneF = float __attribute__((vector_size(kLanes * sizeof(float))));
using LaneD = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = int64_t __attribute__((vector_size(kLanes * sizeof(int64_t))));

// kLanes complex floats: the real parts of all lanes, then the imaginary parts.
struct CLane {
  LaneF re, im;
};

inline LaneD widen(LaneF x) {
  return __builtin_convertvector(x, LaneD);
}
inline LaneF narrow(LaneD x) {
  return __builtin_convertvector(x, LaneF);
}
inline LaneD splat(double v) {
  return LaneD{} + v;
}
inline LaneF splatF(float v) {
  return LaneF{} + v;
}
inline LaneD select(LaneMask m, LaneD yes, LaneD no) {
  return m ? yes : no;
}
inline bool anyLane(LaneMask m) {
  for (int l = 0; l < kLanes; ++l)
    if (m[l]) return true;
  return false;
}
inline LaneD laneSqrt(LaneD x) {
  LaneD r;
  for (int l = 0; l < kLanes; ++l) r[l] = std::sqrt(x[l]);
  return r;
}
inline LaneD laneAbs(LaneD x) {
  LaneD r;
  for (int l = 0; l < kLanes; ++l) r[l] = std::fabs(x[l]);
  return r;
}
inline LaneF laneAbsF(LaneF x) {
  LaneF r;
  for (int l = 0; l < kLanes; ++l) r[l] = std::fabs(x[l]);
  return r;
}

// kLanes consecutive floats, without any alignment requirement.
inline LaneF loadF(const float* p) {
  LaneF v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void storeF(float* p, LaneF v) {
  std::memcpy(p, &v, sizeof v);
}

// Twiddle factors of an n-point FASTF, stage by stage, formed by the same
// recurrence: stage s (half = 2^(s-1)) holds its u for j = 1..half at pairs
// half - 1 + (j - 1). table: 2 (n - 1) doubles (real, imaginary).
void fastfTwiddles(int32_t n, double* table);

// FASTF of kLanes sequences at once; re(k), im(k), k = 1..n, hold element k of every
// sequence. Only elements 1..nonzero may be nonzero on entry; the others must be
// +0.0, and the butterflies that would only combine such zeros are skipped, which
// leaves every lane bit for bit as FASTF leaves it.
void fastfLanes(int32_t n, int32_t nonzero, const double* twiddles, LaneF* re, LaneF* im);

// HERMINV of kLanes matrices at once: a and b are n x n arrays of CLane (one-based,
// column-major); t holds n(n+1)/2 and e holds n CLane of working storage. Every lane
// of b is what HERMINV writes for that lane's matrix, not-a-number included.
void herminvLanes(int32_t n, const CLane* a, CLane* b, CLane* t, CLane* e);

}  // namespace kelv
