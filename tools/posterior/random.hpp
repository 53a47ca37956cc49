// The random numbers of the sampler: one stream per chain, so that what a chain
// draws depends on the seed and on the chain's number only, never on which
// thread runs it or when.
//
// A stream is xoshiro256** (D. Blackman and S. Vigna, ACM TOMS 47 (2021) 36),
// its state filled by SplitMix64 from the seed and the stream's number.  Every
// operation is written out here (no <random> distribution, whose algorithms
// differ between standard libraries), so that a seed gives the same numbers
// with every compiler; the normal deviates use the C library's log and sqrt.
#pragma once

#include <cmath>
#include <cstdint>

namespace tessaline::posterior {

class RandomStream {
 public:
  RandomStream() : RandomStream(0, 0) {}
  RandomStream(std::uint64_t seed, std::uint64_t stream) {
    std::uint64_t x = seed ^ (0xD1B54A32D192ED03ULL * (stream + 1));
    for (std::uint64_t& w : s_) w = splitmix64(x);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform in [0, 1), 53 random bits.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  // Uniform on a < b.
  double uniform(double a, double b) { return a + (b - a) * uniform(); }

  // Uniform integer in 0..n-1 (n >= 1), by the multiply-shift of the upper 32
  // bits; the bias is below n / 2^32.
  int below(int n) {
    return static_cast<int>(((next() >> 32) * static_cast<std::uint64_t>(n)) >> 32);
  }

  // Standard normal deviate by Marsaglia's polar method; the second deviate of
  // each pair is kept for the next call.
  double normal() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double u, v, s;
    do {
      u = 2.0 * uniform() - 1.0;
      v = 2.0 * uniform() - 1.0;
      s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    spare_ = v * f;
    has_spare_ = true;
    return u * f;
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static std::uint64_t splitmix64(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  std::uint64_t s_[4] = {};
  double spare_ = 0;
  bool has_spare_ = false;
};

}  // namespace tessaline::posterior
