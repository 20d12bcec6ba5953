// Numerical building blocks shared by every kernel: overflow-free logistic
// forms, log-sum-exp, the probability clamp and the log-likelihood of one
// dichotomous response row.  All are small and inline: they sit in the
// innermost loops.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "frame/types.hpp"

namespace korvane {

inline constexpr double kProbFloor = 1e-10;
inline constexpr double kProbCeil = 0.9999999999;  // the double nearest 1 - 1e-10
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// 1 / (1 + e^-z): for z >= 0, e = exp(-z) and 1 / (e + 1); otherwise
// (NaN included) e = exp(z) and e / (e + 1).  The exponent is never positive,
// so exp never overflows.  Written with selects rather than jumps: the same
// operations, without mispredicted branches on random signs.
inline double logistic(double z) {
  const bool non_negative = z >= 0;
  const double e = std::exp(non_negative ? -z : z);
  return (non_negative ? 1.0 : e) / (e + 1.0);
}

// ln logistic(z); ln(1 - logistic(z)) is log_sigmoid(-z).
inline double log_sigmoid(double z) {
  if (z >= 0) return -std::log1p(std::exp(-z));
  return z - std::log1p(std::exp(z));
}

// ln(1 - logistic(z)) with the branch at z <= 0, so that at z = 0 both
// responses contribute exactly -ln 2 the same way.
inline double log_one_minus_sigmoid(double z) {
  if (z <= 0) return -std::log1p(std::exp(z));
  return -z - std::log1p(std::exp(-z));
}

// Log-probability of a dichotomous response with logit z: code 1 is
// correct, any other non-negative code incorrect.
inline double log_prob_2pl(bool correct, double z) {
  return correct ? log_sigmoid(z) : log_one_minus_sigmoid(z);
}

// max(p, 1e-10) with a NaN raised to the floor, then min(., 0.9999999999).
inline double clamp_prob(double p) {
  p = (p >= kProbFloor) ? p : kProbFloor;
  return (p <= kProbCeil) ? p : kProbCeil;
}

// The 3PL probability of a correct response, clamped.
inline double prob_3pl(double z, double c) { return clamp_prob((1.0 - c) * logistic(z) + c); }

// ln sum_q e^(v_q).  NaN never becomes the maximum; an infinite or empty
// maximum is returned as is; otherwise a NaN entry makes the result NaN.
inline double log_sum_exp(const double* v, std::size_t n) {
  double m = -kInf;
  for (std::size_t q = 0; q < n; ++q)
    if (v[q] > m) m = v[q];
  if (std::isinf(m)) return m;
  double s = 0.0;
  for (std::size_t q = 0; q < n; ++q) s += std::exp(v[q] - m);
  return m + std::log(s);
}

// Log-likelihood of one response row at ability theta under the 2PL model.
// The parameter views are read only at non-missing positions; a position past
// their end fails the call, discrimination tested before difficulty.
inline double log_likelihood_2pl(const std::int32_t* row, std::size_t n_items, double theta, const F1& a,
                                 const F1& b) {
  double sum = 0.0;
  for (std::size_t j = 0; j < n_items; ++j) {
    const std::int32_t x = row[j];
    if (x < 0) continue;
    require_entry(j, a.size(), "discrimination");
    require_entry(j, b.size(), "difficulty");
    const double z = (theta - b(j)) * a(j);
    sum += log_prob_2pl(x == 1, z);
  }
  return sum;
}

// The same under the 3PL model, with P clamped to [1e-10, 0.9999999999].
inline double log_likelihood_3pl(const std::int32_t* row, std::size_t n_items, double theta, const F1& a,
                                 const F1& b, const F1& c) {
  double sum = 0.0;
  for (std::size_t j = 0; j < n_items; ++j) {
    const std::int32_t x = row[j];
    if (x < 0) continue;
    require_entry(j, a.size(), "discrimination");
    require_entry(j, b.size(), "difficulty");
    require_entry(j, c.size(), "guessing");
    const double p = prob_3pl((theta - b(j)) * a(j), c(j));
    sum += (x == 1) ? std::log(p) : std::log(1.0 - p);
  }
  return sum;
}

}  // namespace korvane
