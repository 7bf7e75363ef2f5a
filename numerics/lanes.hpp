// Element types of the kernels: float and double scalars, and lane vectors that hold
// one value of each of kLanes independent problems of the same shape (the same matrix
// element at kLanes frequencies, the same sample of kLanes channels).
//
// An algorithm is written once, as a template over its element type, with the few
// operations below that differ between scalars and lane vectors (widening to the
// type its sums are carried in, rounding back, complex parts, masks). Every lane
// operation is the IEEE operation of each lane on its own, so a lane computes exactly
// the bits the scalar instantiation computes for its problem.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
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
// Algorithm templates and helpers that take or return lane vectors are always
// inlined into the kernel that uses them: a call across versions compiled for
// different instruction sets would disagree on where the vectors travel.
#define KELV_LANE_INLINE inline __attribute__((always_inline))

using LaneF = float __attribute__((vector_size(kLanes * sizeof(float))));
using LaneD = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = int64_t __attribute__((vector_size(kLanes * sizeof(int64_t))));

// kLanes complex doubles: the real parts of all lanes, then the imaginary parts.
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

// ---------------------------------------------------------------- widening
// Sums over elements of type T are carried in the wider type widen() gives
// (double for float, LaneD for LaneF).
KELV_LANE_INLINE double widen(float x) {
  return x;
}
KELV_LANE_INLINE double widen(double x) {
  return x;
}
KELV_LANE_INLINE LaneD widen(LaneF x) {
  return __builtin_convertvector(x, LaneD);
}
KELV_LANE_INLINE LaneD widen(LaneD x) {
  return x;
}
template <class T>
using Wide = decltype(widen(std::declval<T>()));

// A wide value rounded to the element type T.
template <class T>
KELV_LANE_INLINE T narrowTo(Wide<T> x) {
  if constexpr (std::is_same_v<T, LaneF>)
    return __builtin_convertvector(x, LaneF);
  else
    return static_cast<T>(x);
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
KELV_LANE_INLINE double laneSqrt(double x) {
  return std::sqrt(x);
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

// Real and imaginary parts of a complex element as references to its real type: a
// std::complex is laid out as two values of its type, real part first.
template <class T>
KELV_LANE_INLINE T& re(std::complex<T>& z) {
  return reinterpret_cast<T(&)[2]>(z)[0];
}
template <class T>
KELV_LANE_INLINE T& im(std::complex<T>& z) {
  return reinterpret_cast<T(&)[2]>(z)[1];
}
template <class T>
KELV_LANE_INLINE const T& re(const std::complex<T>& z) {
  return reinterpret_cast<const T(&)[2]>(z)[0];
}
template <class T>
KELV_LANE_INLINE const T& im(const std::complex<T>& z) {
  return reinterpret_cast<const T(&)[2]>(z)[1];
}
KELV_LANE_INLINE LaneD& re(CLaneD& z) {
  return z.re;
}
KELV_LANE_INLINE LaneD& im(CLaneD& z) {
  return z.im;
}
KELV_LANE_INLINE const LaneD& re(const CLaneD& z) {
  return z.re;
}
KELV_LANE_INLINE const LaneD& im(const CLaneD& z) {
  return z.im;
}

// The real type of a complex element.
template <class Z>
struct RealPart;
template <class T>
struct RealPart<std::complex<T>> {
  using type = T;
};
template <>
struct RealPart<CLaneD> {
  using type = LaneD;
};
template <class Z>
using RealOf = typename RealPart<std::remove_const_t<Z>>::type;

}  // namespace kelv
