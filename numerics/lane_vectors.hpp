// Vectors of any power-of-two width W of floats or doubles, for kernels whose vector
// runs down a column of a matrix stored with its rows padded to a multiple of W.
// As with the lane vectors of numerics/lanes.hpp, every operation is the IEEE
// operation of each element on its own, so an element gets exactly the bits the
// scalar loop gives it, whatever W and the instruction set.
#pragma once

#include <cstring>

#include "numerics/lanes.hpp"

namespace kelv {

template <class T, int W>
struct VectorOf {
  typedef T type __attribute__((vector_size(W * sizeof(T))));
};
template <class T, int W>
using Vec = typename VectorOf<T, W>::type;

// W elements of T from p (any alignment), and the same widened to double.
template <int W, class T>
KELV_LANE_INLINE Vec<T, W> loadVec(const T* p) {
  Vec<T, W> v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <int W, class T>
KELV_LANE_INLINE Vec<double, W> loadWideVec(const T* p) {
  return __builtin_convertvector(loadVec<W>(p), Vec<double, W>);
}
template <int W, class T>
KELV_LANE_INLINE void storeVec(T* p, Vec<T, W> v) {
  std::memcpy(p, &v, sizeof v);
}
// A vector of doubles rounded to T and stored at p.
template <int W, class T>
KELV_LANE_INLINE void storeNarrowVec(T* p, Vec<double, W> v) {
  storeVec<W>(p, __builtin_convertvector(v, Vec<T, W>));
}

}  // namespace kelv
