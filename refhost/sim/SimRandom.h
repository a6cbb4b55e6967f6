// A small seeded generator whose sequence is the same on every compiler and
// platform (the standard distributions are not), so a seed always makes the
// same drive and the same handset bytes.
#pragma once

#include <cstdint>

class TSimRandom {
 public:
  explicit TSimRandom(uint64_t seed) : State(seed) {}

  // splitmix64
  uint64_t Next() {
    uint64_t z = (State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  double Range(double lo, double hi) { return lo + (hi - lo) * Unit(); }
  // Uniform in [0, n); n > 0.
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool Chance(double p) { return Unit() < p; }

 private:
  uint64_t State;
};
