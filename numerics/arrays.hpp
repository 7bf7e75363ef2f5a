// One-based, column-major views over caller-owned storage.
//
// The routines of Kelvarodine receive arrays as the address of their first element
// with the extents passed separately. These views put that convention in one place:
// element (i, j, k) of an n1 x n2 x n3 array lies at (i-1) + (j-1)*n1 + (k-1)*n1*n2.
// They own nothing and cost nothing; debug builds check every index.
#pragma once

#include <cassert>
#include <complex>
#include <cstddef>
#include <cstdint>

namespace kelv {

using cfloat = std::complex<float>;
using cdouble = std::complex<double>;

template <class T>
class View1 {
 public:
  View1(T* data, int64_t n) : p_(data), n_(n) {}
  T& operator()(int64_t i) const {
    assert(i >= 1 && i <= n_);
    return p_[i - 1];
  }
  T* data() const { return p_; }
  int64_t size() const { return n_; }

 private:
  T* p_;
  int64_t n_;
};

template <class T>
class View2 {
 public:
  View2(T* data, int64_t n1, int64_t n2) : p_(data), n1_(n1), n2_(n2) {}
  T& operator()(int64_t i, int64_t j) const {
    assert(i >= 1 && i <= n1_ && j >= 1 && j <= n2_);
    return p_[(i - 1) + (j - 1) * n1_];
  }
  // Column j as a contiguous one-based vector.
  View1<T> column(int64_t j) const { return View1<T>(&(*this)(1, j), n1_); }
  T* data() const { return p_; }
  int64_t rows() const { return n1_; }
  int64_t cols() const { return n2_; }

 private:
  T* p_;
  int64_t n1_, n2_;
};

template <class T>
class View3 {
 public:
  View3(T* data, int64_t n1, int64_t n2, int64_t n3) : p_(data), n1_(n1), n2_(n2), n3_(n3) {}
  T& operator()(int64_t i, int64_t j, int64_t k) const {
    assert(i >= 1 && i <= n1_ && j >= 1 && j <= n2_ && k >= 1 && k <= n3_);
    return p_[(i - 1) + (j - 1) * n1_ + (k - 1) * n1_ * n2_];
  }
  // The k-th n1 x n2 slice.
  View2<T> slice(int64_t k) const { return View2<T>(&(*this)(1, 1, k), n1_, n2_); }
  T* data() const { return p_; }

 private:
  T* p_;
  int64_t n1_, n2_, n3_;
};

}  // namespace kelv
