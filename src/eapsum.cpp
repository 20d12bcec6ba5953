// Sum-score distributions by the Lord-Wingersky recursion, in log space, and
// EAP scores by sum score.  All three run sequentially on the calling thread.
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/binding.hpp"
#include "utils/numerics.hpp"
#include "utils/posterior.hpp"

namespace korvane {
namespace {

constexpr double kCategoryFloor = 1e-10;  // category probabilities below this (or NaN) are raised to it

// ln P(score = s | theta_q) for dichotomous 2PL items.  After item j only
// the rows 0 .. j + 1 can be finite: every higher row stays -inf whatever
// the inputs (both of its terms are -inf, or NaN, both of which give -inf),
// so those rows are left as they were set up.
Mat lw_recursion(F1 theta, F1 discrimination, F1 difficulty) {
  const std::size_t n_items = discrimination.size(), n_quad = theta.size();
  if (difficulty.size() < n_items) {
    fail("difficulty has " + std::to_string(difficulty.size()) + " entries; discrimination has " +
         std::to_string(n_items));
  }
  const std::size_t n_rows = n_items + 1;
  Mat cur(n_rows, n_quad), next(n_rows, n_quad);
  for (std::size_t k = 0; k < cur.size(); ++k) cur[k] = next[k] = -kInf;
  for (std::size_t q = 0; q < n_quad; ++q) cur(0, q) = 0.0;

  std::vector<double> th = theta.to_vector(), lp(n_quad), lq(n_quad);
  for (std::size_t j = 0; j < n_items; ++j) {
    const double a = discrimination(j), b = difficulty(j);
    for (std::size_t q = 0; q < n_quad; ++q) {
      const double z = a * (th[q] - b);
      lp[q] = log_sigmoid(z);
      lq[q] = log_sigmoid(-z);
    }
    for (std::size_t q = 0; q < n_quad; ++q) next(0, q) = cur(0, q) + lq[q];
    for (std::size_t s = 1; s <= j + 1; ++s) {
      const double* keep = cur.row(s);
      const double* up = cur.row(s - 1);
      double* out = next.row(s);
      for (std::size_t q = 0; q < n_quad; ++q) {
        const double u = keep[q] + lq[q];  // item wrong
        const double v = up[q] + lp[q];    // item right
        const double m = (u > v) ? u : v;  // v when either is NaN
        out[q] = std::isfinite(m) ? m + std::log(std::exp(u - m) + std::exp(v - m)) : -kInf;
      }
    }
    std::swap(cur, next);
  }
  return cur;
}

// The same for items whose category probabilities the caller supplies;
// scores above max_score are dropped.
Mat lw_polytomous(F3 item_probs, std::uint64_t max_score) {
  if (max_score == std::numeric_limits<std::uint64_t>::max()) fail("array size overflows");
  const std::size_t n_items = item_probs.extent(0), n_quad = item_probs.extent(1);
  const std::size_t n_cat = item_probs.extent(2);
  const std::size_t n_rows = static_cast<std::size_t>(max_score) + 1;
  Mat cur(n_rows, n_quad), next(n_rows, n_quad);
  for (std::size_t k = 0; k < cur.size(); ++k) cur[k] = -kInf;
  for (std::size_t q = 0; q < n_quad; ++q) cur(0, q) = 0.0;
  if (n_quad == 0) return cur;

  std::vector<double> terms(n_cat);
  for (std::size_t j = 0; j < n_items; ++j) {
    for (std::size_t s = 0; s < n_rows; ++s) {
      for (std::size_t q = 0; q < n_quad; ++q) {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < n_cat && k <= s; ++k) {
          const double prev = cur(s - k, q);
          if (!std::isfinite(prev)) continue;
          const double p_raw = item_probs(j, q, k);
          const double p = (p_raw >= kCategoryFloor) ? p_raw : kCategoryFloor;
          const double t = prev + std::log(p);
          if (std::isfinite(t)) terms[kept++] = t;
        }
        next(s, q) = kept > 0 ? log_sum_exp(terms.data(), kept) : -kInf;
      }
    }
    std::swap(cur, next);
  }
  return cur;
}

// Posterior mean and standard deviation over the nodes for every person's
// (clamped) sum score.  A score's summary depends on its row only, so it is
// computed once per distinct score and copied to every person with it.
std::tuple<Vec, Vec> eapsum(F2 log_p_score_theta, F1 log_prior, I1 sum_scores, F1 theta_points) {
  const std::size_t n_persons = sum_scores.size(), n_quad = theta_points.size();
  const std::size_t n_rows = log_p_score_theta.rows();
  if (n_quad > log_prior.size()) {
    fail("theta_points has " + std::to_string(n_quad) + " entries; log_prior has " +
         std::to_string(log_prior.size()));
  }
  if (n_quad > log_p_score_theta.cols()) {
    fail("theta_points has " + std::to_string(n_quad) + " entries; log_p_score_theta has " +
         std::to_string(log_p_score_theta.cols()) + " columns");
  }
  Vec eap(n_persons), se(n_persons);
  if (n_persons == 0 || n_quad == 0) return {std::move(eap), std::move(se)};
  if (n_rows == 0) fail("log_p_score_theta has no rows");

  std::vector<double> theta = theta_points.to_vector(), prior = log_prior.to_vector();
  std::vector<double> lp(n_quad), post(n_quad);
  std::vector<double> row_eap(n_rows), row_se(n_rows);
  std::vector<char> done(n_rows, 0);
  for (std::size_t i = 0; i < n_persons; ++i) {
    const std::int32_t raw = sum_scores(i);
    std::size_t s = raw <= 0 ? 0 : static_cast<std::size_t>(raw);
    if (s > n_rows - 1) s = n_rows - 1;
    if (!done[s]) {
      for (std::size_t q = 0; q < n_quad; ++q) lp[q] = log_p_score_theta(s, q) + prior[q];
      const GridSummary g = summarize_grid_posterior(lp.data(), theta.data(), n_quad, post.data());
      row_eap[s] = g.mean;
      row_se[s] = g.se;
      done[s] = 1;
    }
    eap[i] = row_eap[s];
    se[i] = row_se[s];
  }
  return {std::move(eap), std::move(se)};
}

}  // namespace

void declare_eapsum(Registry& r) {
  r.def<lw_recursion>("lord_wingersky_recursion", {"theta", "discrimination", "difficulty"},
                      "Lord-Wingersky recursion for computing sum score distributions.\n"
                      "This is the core algorithm for EAPsum scoring.\n"
                      "\n"
                      "For dichotomous items, computes P(sum_score = s | theta) for all s and theta.\n"
                      "Returns log probabilities for numerical stability.");
  r.def<lw_polytomous>("lord_wingersky_polytomous", {"item_probs", "max_score"},
                       "Lord-Wingersky recursion for polytomous items (GRM/GPCM).\n"
                       "\n"
                       "item_probs: shape (n_items, n_quad, max_categories) - P(X_j = k | theta)\n"
                       "Returns log P(sum_score = s | theta) for all s");
  r.def<eapsum>("eapsum_from_distribution", {"log_p_score_theta", "log_prior", "sum_scores", "theta_points"},
                "Compute EAPsum scores using pre-computed sum score distribution.\n"
                "\n"
                "log_p_score_theta: shape (max_score + 1, n_quad) - log P(score | theta)\n"
                "log_prior: shape (n_quad,) - log prior weights\n"
                "sum_scores: shape (n_persons,) - observed sum scores\n"
                "theta_points: shape (n_quad,) - quadrature points\n"
                "\n"
                "Returns (theta_estimates, standard_errors)");
}

}  // namespace korvane
