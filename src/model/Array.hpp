// An array indexed from a chosen lower bound, so that a stencil in the code
// reads like the formula it implements: h(i), dXN(i+1), Fh(i-1).
//
// Storage is sized once, from the deck's own counts, when the model is set up
// (resize) and never changes during a run. Bounds are checked in debug and sanitizer builds (QUARNO_CHECK_BOUNDS);
// release builds index the flat storage directly.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace quarno {

[[noreturn]] inline void index_out_of_bounds(int i, int lo, int hi) {
  std::fprintf(stderr, "internal error: index %d outside the bounds %d..%d\n", i, lo, hi);
  std::abort();
}

template <class T>
class Array {
 public:
  Array() = default;
  // An array with elements lo..hi, all initialised to T{}.
  Array(int lo, int hi) { resize(lo, hi); }

  // Elements lo..hi (none when hi < lo), all T{}; what the array held is gone.
  void resize(int lo, int hi) {
    lo_ = lo;
    hi_ = hi < lo ? lo - 1 : hi;
    v_.assign(static_cast<std::size_t>(hi_ - lo_ + 1), T{});
  }

  T& operator()(int i) {
    check(i);
    return v_[static_cast<std::size_t>(i - lo_)];
  }
  const T& operator()(int i) const {
    check(i);
    return v_[static_cast<std::size_t>(i - lo_)];
  }

  int lo() const { return lo_; }
  int hi() const { return hi_; }
  // Pointer to element lo(), for whole-array copies.
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }
  void fill(const T& value) {
    for (auto& x : v_) x = value;
  }

 private:
  void check([[maybe_unused]] int i) const {
#ifdef QUARNO_CHECK_BOUNDS
    if (i < lo_ || i > hi_) index_out_of_bounds(i, lo_, hi_);
#endif
  }

  int lo_ = 1;
  int hi_ = 0;
  std::vector<T> v_;
};

}  // namespace quarno
