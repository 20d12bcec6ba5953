// Random numbers: a PCG64 generator (128-bit LCG state, XSL-RR 64-bit output,
// the same stream as NumPy's PCG64 for the same state and increment) and the
// draws the kernels use.  Every draw is built from the raw output with IEEE
// arithmetic only (no std:: distributions, no libm in the normal draw), so a
// seed gives the same numbers with every compiler and on every platform.
#pragma once

#include <cmath>
#include <cstdint>

#include "frame/types.hpp"

namespace korvane {

__extension__ typedef unsigned __int128 u128;  // GCC/Clang extension type

// Seed of the generator of parallel task `offset`: seed + offset, wrapping
// modulo 2^64.
inline std::uint64_t task_seed(std::uint64_t seed, std::uint64_t offset) { return seed + offset; }

// Natural logarithm of a positive finite x from IEEE basic operations only:
// x = m * 2^e with m in [sqrt(1/2), sqrt(2)), ln m = 2 atanh(f), f = (m-1)/(m+1),
// |f| < 0.1716, by its odd series to f^27 (truncation below 1e-21 relative).
inline double portable_log(double x) {
  int e;
  double m = std::frexp(x, &e);  // exact; m in [0.5, 1)
  if (m < 0.70710678118654752440) {
    m *= 2.0;
    e -= 1;
  }
  const double f = (m - 1.0) / (m + 1.0);
  const double f2 = f * f;
  double s = 1.0 / 27.0;
  for (int k = 25; k >= 1; k -= 2) s = s * f2 + 1.0 / k;
  const double ln_m = 2.0 * f * s;
  constexpr double kLn2Hi = 6.93147180369123816490e-01;  // ln 2 split so that e * hi is exact
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  const double de = static_cast<double>(e);
  return de * kLn2Hi + (ln_m + de * kLn2Lo);
}

class Pcg64 {
 public:
  static constexpr u128 kMultiplier = (static_cast<u128>(0x2360ED051FC65DA4ULL) << 64) | 0x4385DF649FCCF645ULL;

  // A generator seeded from one 64-bit value: SplitMix64 expands the seed into
  // a 128-bit state and a 128-bit stream selector, which then go through the
  // PCG seeding steps.  Different seeds give unrelated streams.
  explicit Pcg64(std::uint64_t seed) {
    std::uint64_t sm = seed;
    // Four outputs taken in sequence: the operands of | are unsequenced, so
    // two calls inside one expression could be combined in either order.
    const std::uint64_t s0 = splitmix(sm), s1 = splitmix(sm), s2 = splitmix(sm), s3 = splitmix(sm);
    const u128 init_state = (static_cast<u128>(s0) << 64) | s1;
    const u128 init_seq = (static_cast<u128>(s2) << 64) | s3;
    state_ = 0;
    inc_ = (init_seq << 1) | 1;
    step();
    state_ += init_state;
    step();
  }

  // A generator at a given raw state and increment (inc must be odd).
  static Pcg64 from_state(u128 state, u128 inc) {
    Pcg64 g(0);
    g.state_ = state;
    g.inc_ = inc;
    return g;
  }

  // Raw 64-bit output: advance, then permute the new state.
  std::uint64_t next() {
    step();
    const std::uint64_t hi = static_cast<std::uint64_t>(state_ >> 64);
    const std::uint64_t lo = static_cast<std::uint64_t>(state_);
    const unsigned rot = static_cast<unsigned>(hi >> 58);
    const std::uint64_t x = hi ^ lo;
    return (x >> rot) | (x << ((64 - rot) & 63));
  }

  // Uniform real in [0, 1) with 53 random bits.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  // Uniform integer in [0, k), unbiased (multiply-shift with rejection);
  // k = 0 is an empty range and fails the call.
  std::uint64_t below(std::uint64_t k) {
    if (k == 0) fail("cannot draw an integer from an empty range");
    u128 m = static_cast<u128>(next()) * k;
    std::uint64_t low = static_cast<std::uint64_t>(m);
    if (low < k) {
      const std::uint64_t threshold = (0 - k) % k;
      while (low < threshold) {
        m = static_cast<u128>(next()) * k;
        low = static_cast<std::uint64_t>(m);
      }
    }
    return static_cast<std::uint64_t>(m >> 64);
  }

  // Standard normal by the polar method; the second value of each accepted
  // pair is kept for the next call.
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
    const double factor = std::sqrt(-2.0 * portable_log(s) / s);
    spare_ = v * factor;
    has_spare_ = true;
    return u * factor;
  }

 private:
  static std::uint64_t splitmix(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  void step() { state_ = state_ * kMultiplier + inc_; }

  u128 state_ = 0;
  u128 inc_ = 1;
  double spare_ = 0.0;
  bool has_spare_ = false;
};

// normal(mu, sigma) = mu + sigma * z, set up once; a non-finite sigma fails
// the call here, a negative finite one simply multiplies z.
class Normal {
 public:
  Normal(double mu, double sigma) : mu_(mu), sigma_(sigma) {
    if (!std::isfinite(sigma)) fail("the standard deviation of a normal draw must be finite");
  }
  double operator()(Pcg64& g) const { return mu_ + sigma_ * g.normal(); }

 private:
  double mu_;
  double sigma_;
};

}  // namespace korvane
