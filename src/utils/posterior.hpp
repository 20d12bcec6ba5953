// Summary of a posterior over a grid of ability values.
#pragma once

#include <cmath>
#include <cstddef>

#include "utils/numerics.hpp"

namespace korvane {

struct GridSummary {
  double mean;  // EAP
  double se;    // posterior standard deviation
};

// Given the log posterior lp[0 .. n) at nodes theta[0 .. n): the weights
// post_q = exp(lp_q - log_sum_exp(lp)) (written to `post`), the mean
// sum_q theta_q post_q and sqrt(sum_q post_q (theta_q - mean)^2), summed in
// node order.  `post` may be `lp` itself.  A log posterior that is -inf
// everywhere gives NaN weights.
inline GridSummary summarize_grid_posterior(const double* lp, const double* theta, std::size_t n, double* post) {
  const double total = log_sum_exp(lp, n);
  double mean = 0.0;
  for (std::size_t q = 0; q < n; ++q) {
    post[q] = std::exp(lp[q] - total);
    mean += theta[q] * post[q];
  }
  double var = 0.0;
  for (std::size_t q = 0; q < n; ++q) {
    const double d = theta[q] - mean;
    var += post[q] * (d * d);
  }
  return {mean, std::sqrt(var)};
}

}  // namespace korvane
