#pragma once

#include <cstdint>

namespace tallowmere_testing {

/// splitmix64: tiny, fast, and the same sequence on every compiler and standard library, so
/// generated archives are byte-identical everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
  }
  /// Uniform enough for test data: [0, bound) for a bound up to 2^32, by multiply-shift rather
  /// than a slow division.
  std::uint64_t below(std::uint64_t bound) { return ((next() >> 32U) * bound) >> 32U; }
  /// In [lo, hi].
  std::uint32_t between(std::uint32_t lo, std::uint32_t hi) {
    return lo + static_cast<std::uint32_t>(below(std::uint64_t{hi - lo} + 1));
  }

 private:
  std::uint64_t state_;
};

}  // namespace tallowmere_testing
