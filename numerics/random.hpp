// A small deterministic random source: splitmix64 and Box-Muller normals. A seed
// gives the same numbers on every run and every platform with the same libm.
#pragma once

#include <cmath>
#include <cstdint>

namespace kelv {

// The splitmix64 finaliser: a well-mixed 64-bit hash of z.
inline uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t next() { return mix64(s_ += 0x9E3779B97F4A7C15ull); }
  // Uniform in (0, 1).
  double uniform() { return (double(next() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }
  // Standard normal, two at a time by Box-Muller.
  double normal() {
    if (haveSpare_) {
      haveSpare_ = false;
      return spare_;
    }
    const double r = std::sqrt(-2.0 * std::log(uniform()));
    const double th = 6.283185307179586 * uniform();
    spare_ = r * std::sin(th);
    haveSpare_ = true;
    return r * std::cos(th);
  }

 private:
  uint64_t s_;
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

}  // namespace kelv
