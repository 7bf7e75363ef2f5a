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
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "numerics/arrays.hpp"

namespace kelv {

inline constexpr int kLanes = 8;

// The lane kernels are compiled for several instruction sets and the loader picks the
// widest the processor offers. Lane arithmetic is the same IEEE arithmetic in every
// version (no fused multiply-adds: -ffp-contract=off), so the choice changes the
// speed only, never a bit of the results. ThreadSanitizer's runtime cannot start the
// loader's selection, so its builds keep the build's own instruction set, as builds
// configured with KELV_LANE_CLONES=OFF do.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(KELV_NO_LANE_CLONES)
#define KELV_LANE_KERNEL \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define KELV_LANE_KERNEL
#endif
// Helpers that take or return lane vectors are always inlined: a call across
// versions compiled for different instruction sets would disagree on where the
// vectors travel (registers of one width or another, or memory).
#define KELV_LANE_INLINE inline __attribute__((always_inline))

using LaneF = float __attribute__((vector_size(kLanes * sizeof(float))));
using LaneD = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = int64_t __attribute__((vector_size(kLanes * sizeof(int64_t))));

// kLanes complex floats: the real parts of all lanes, then the imaginary parts.
struct CLane {
  LaneF re, im;
};
// The same in double precision.
struct CLaneD {
  LaneD re, im;
};

// Storage for lane vectors. Their natural alignment depends on the instruction set a
// function is compiled for (up to 64 bytes), so every array of them is allocated on
// a 64-byte boundary, which suits all versions of the kernels.
template <class T>
struct LaneAllocator {
  using value_type = T;
  LaneAllocator() = default;
  template <class U>
  LaneAllocator(const LaneAllocator<U>&) {}
  T* allocate(std::size_t n) {
    return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{64}));
  }
  void deallocate(T* p, std::size_t) { ::operator delete (p, std::align_val_t{64}); }
  friend bool operator==(const LaneAllocator&, const LaneAllocator&) { return true; }
};
template <class T>
using LaneVector = std::vector<T, LaneAllocator<T>>;

KELV_LANE_INLINE LaneD widen(LaneF x) {
  return __builtin_convertvector(x, LaneD);
}
KELV_LANE_INLINE LaneF narrow(LaneD x) {
  return __builtin_convertvector(x, LaneF);
}
KELV_LANE_INLINE LaneD splat(double v) {
  return LaneD{} + v;
}
KELV_LANE_INLINE LaneF splatF(float v) {
  return LaneF{} + v;
}
KELV_LANE_INLINE LaneD select(LaneMask m, LaneD yes, LaneD no) {
  return m ? yes : no;
}
KELV_LANE_INLINE bool anyLane(LaneMask m) {
  for (int l = 0; l < kLanes; ++l)
    if (m[l]) return true;
  return false;
}
KELV_LANE_INLINE LaneD laneSqrt(LaneD x) {
  LaneD r = x;
  for (int l = 0; l < kLanes; ++l) r[l] = std::sqrt(x[l]);
  return r;
}
KELV_LANE_INLINE LaneD laneAbs(LaneD x) {
  LaneD r = x;
  for (int l = 0; l < kLanes; ++l) r[l] = std::fabs(x[l]);
  return r;
}

// kLanes consecutive floats, without any alignment requirement.
KELV_LANE_INLINE LaneF loadF(const float* p) {
  LaneF v;
  std::memcpy(&v, p, sizeof v);
  return v;
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
// column-major); work holds herminvLanesWork(n) CLaneD. Every lane of b is what
// HERMINV writes for that lane's matrix, not-a-number included.
void herminvLanes(int32_t n, const CLane* a, CLane* b, CLaneD* work);
inline std::size_t herminvLanesWork(int32_t n) {
  const auto m = static_cast<std::size_t>(n > 0 ? n : 0);
  return m * (m + 1) / 2 + m * m;
}

}  // namespace kelv
