// M-step kernels: per-item Newton updates of 2PL and 3PL item parameters from
// the persons' posterior weights over a quadrature grid, and the per-item
// expected counts they rest on.
//
// The counts of item j at node k are n_jk = sum of posterior_weights[i, k]
// over persons with a non-negative code and r_jk = the same over persons with
// code 1, both summed in person order.  Items are processed in blocks: each
// person's posterior row is read once per block and added to the counts of
// every item of the block that the person answered, so the posterior matrix
// is streamed once per block instead of once per item.  Each item's sums
// still run in person order, so the bits do not depend on the block size.
#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "frame/binding.hpp"
#include "utils/item_counts.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"

namespace korvane {
namespace {

// At most this many items share one pass over the posterior; their counts
// (2 x 16 x n_quad doubles) stay in the first-level cache for usual grids.
constexpr std::size_t kMaxBlockItems = 16;
constexpr double kMinCount = 1e-10;  // nodes with less expected mass carry no information
constexpr double kMinPivot = 1e-10;  // smallest |determinant| or |curvature| that is used

// Counts of items [j0, j1) of persons [0, n_persons) over the first n_quad
// nodes added into r and n, one row of n_quad per item starting at item j0.
// Every posterior row read must exist (checked by the caller).
void accumulate_counts(const I2& responses, const F2& post, std::size_t n_persons, std::size_t n_quad,
                       std::size_t j0, std::size_t j1, double* r, double* n, ItemCountBuilder& builder) {
  builder.add(
      n_persons, j0, j1, n_quad, [&](std::size_t i, std::size_t j) { return responses(i, j); },
      [&](std::size_t i, double* buffer) -> const double* {
        post.copy_row_prefix(i, n_quad, buffer);  // extra columns unread
        return buffer;
      },
      r, n);
}

// First person at or after `from` with a non-missing code among items
// [j0, j1), or n_persons.
std::size_t first_answering(const I2& responses, std::size_t from, std::size_t j0, std::size_t j1) {
  for (std::size_t i = from; i < responses.rows(); ++i)
    for (std::size_t j = j0; j < j1; ++j)
      if (responses(i, j) >= 0) return i;
  return responses.rows();
}

// Counts of items [j0, j1) as accumulate_counts, failing at the first
// non-missing response whose posterior row or columns do not exist (rows
// tested before columns).
void block_counts(const I2& responses, const F2& post, std::size_t n_quad, std::size_t j0, std::size_t j1,
                  double* r, double* n, ItemCountBuilder& builder) {
  if (n_quad == 0) return;
  const std::size_t n_persons = responses.rows();
  auto fail_rows = [&](std::size_t i) {
    fail("posterior_weights has " + std::to_string(post.rows()) + " rows; person " + std::to_string(i) +
         " needs one");
  };
  const std::size_t first = first_answering(responses, 0, j0, j1);
  if (first == n_persons) return;
  if (first >= post.rows()) fail_rows(first);
  if (post.cols() < n_quad) {
    fail("posterior_weights has " + std::to_string(post.cols()) + " columns and quad_points " +
         std::to_string(n_quad) + " entries");
  }
  const std::size_t covered = std::min(n_persons, post.rows());
  const std::size_t beyond = first_answering(responses, covered, j0, j1);
  if (beyond != n_persons) fail_rows(beyond);
  accumulate_counts(responses, post, covered, n_quad, j0, j1, r, n, builder);
}

// Items per block: few enough that every worker gets about two blocks, at
// most kMaxBlockItems.  The counts do not depend on it.
std::size_t block_items(std::size_t n_items) {
  const std::size_t share = 2 * static_cast<std::size_t>(std::max(1, pool_size()));
  return std::clamp<std::size_t>((n_items + share - 1) / share, 1, kMaxBlockItems);
}

// item(j, r_j, n_j) for every item, in a parallel map over blocks of items.
template <class Item>
void for_each_item_counts(const I2& responses, const F2& post, std::size_t n_quad, Item&& item) {
  const std::size_t n_items = responses.cols(), block = block_items(n_items);
  const std::size_t n_blocks = (n_items + block - 1) / block;
  const std::size_t cells = checked_product<double>(block, n_quad);
  parallel_chunks(n_blocks, [&](std::size_t begin, std::size_t end) {
    std::vector<double> r(cells), n(cells);
    ItemCountBuilder builder;
    for (std::size_t blk = begin; blk < end; ++blk) {
      const std::size_t j0 = blk * block, j1 = std::min(n_items, j0 + block);
      std::fill(r.begin(), r.end(), 0.0);
      std::fill(n.begin(), n.end(), 0.0);
      block_counts(responses, post, n_quad, j0, j1, r.data(), n.data(), builder);
      for (std::size_t j = j0; j < j1; ++j) item(j, r.data() + (j - j0) * n_quad, n.data() + (j - j0) * n_quad);
    }
  });
}

// Clamp into [lo, hi]: below lo becomes lo, above hi becomes hi, NaN stays.
inline double clamp_to(double x, double lo, double hi) {
  if (x < lo) x = lo;
  if (x > hi) x = hi;
  return x;
}

// P clamped to [1e-10, 0.9999999999] with a NaN left NaN.
inline double clamp_prob_keep_nan(double p) {
  if (p < kProbFloor) p = kProbFloor;
  if (p > kProbCeil) p = kProbCeil;
  return p;
}

void require_bounds(const Pair& bounds, const char* name) {
  if (!(bounds.first <= bounds.second)) {
    fail(std::string(name) + " (" + std::to_string(bounds.first) + ", " + std::to_string(bounds.second) +
         ") is not an ordered pair of numbers");
  }
}

struct Newton2pl {
  const double* theta;
  std::size_t n_quad;
  std::uint64_t max_iter;
  double tol;
  Pair disc_bounds, diff_bounds;
  double damping, regularization;

  // Damped Newton-Raphson on the item's expected complete-data
  // log-likelihood sum_k r_k ln P_k + (n_k - r_k) ln(1 - P_k).
  void operator()(const double* r, const double* n, double& a, double& b) const {
    for (std::uint64_t it = 0; it < max_iter; ++it) {
      double ga = 0.0, gb = 0.0, haa = 0.0, hbb = 0.0, hab = 0.0;
      for (std::size_t k = 0; k < n_quad; ++k) {
        if (n[k] < kMinCount) continue;  // a NaN count is not skipped
        const double d = theta[k] - b;
        const double P = clamp_prob_keep_nan(logistic(a * d));
        const double D = r[k] - n[k] * P;         // observed minus expected correct
        const double W = (1.0 - P) * (n[k] * P);  // binomial information weight
        gb = gb - a * D;
        ga = ga + D * d;
        haa = haa - W * d * d;
        hbb = hbb - W * a * a;
        hab = hab + a * W * d;
      }
      haa = haa - regularization;
      hbb = hbb - regularization;
      const double det = haa * hbb - hab * hab;
      if (std::fabs(det) < kMinPivot) return;  // a NaN determinant carries on
      require_bounds(disc_bounds, "disc_bounds");
      require_bounds(diff_bounds, "diff_bounds");
      const double sa = (hbb * ga - hab * gb) / det;
      const double sb = (haa * gb - hab * ga) / det;
      a = clamp_to(a - damping * sa, disc_bounds.first, disc_bounds.second);
      b = clamp_to(b - damping * sb, diff_bounds.first, diff_bounds.second);
      if (std::fabs(sa) < tol && std::fabs(sb) < tol) return;  // the undamped step
    }
  }
};

struct Newton3pl {
  const double* theta;
  std::size_t n_quad;
  std::uint64_t max_iter;
  double tol;
  Pair disc_bounds, diff_bounds, guess_bounds;
  double damping_ab, damping_c, regularization, regularization_c;

  // One damped diagonal Newton step of a and b from a common gradient and
  // curvature, then one of c at the new a and b, per iteration.
  void operator()(const double* r, const double* n, double& a, double& b, double& c) const {
    for (std::uint64_t it = 0; it < max_iter; ++it) {
      const double F = 1.0 - c;
      double ga = 0.0, gb = 0.0, ha = 0.0, hb = 0.0;
      for (std::size_t k = 0; k < n_quad; ++k) {
        if (!(n[k] >= kMinCount)) continue;  // a NaN count is skipped here
        const double d = theta[k] - b;
        const double ps = logistic(a * d);
        const double dpa = d * ((1.0 - ps) * (ps * F));
        const double dpb = a * ((1.0 - ps) * (-ps * F));
        const double P = clamp_prob_keep_nan(ps * F + c);
        const double V = P * (1.0 - P) + 1e-10;
        const double D = r[k] - n[k] * P;
        const double W = (1.0 - P) * (n[k] * P);
        ga += D * dpa / V;
        gb += D * dpb / V;
        ha -= W * dpa * dpa / V;
        hb -= W * dpb * dpb / V;
      }
      const double ca = ha - regularization, cb = hb - regularization;
      if (std::fabs(ca) > kMinPivot) {
        require_bounds(disc_bounds, "disc_bounds");
        a = clamp_to(a - (ga / ca) * damping_ab, disc_bounds.first, disc_bounds.second);
      }
      if (std::fabs(cb) > kMinPivot) {
        require_bounds(diff_bounds, "diff_bounds");
        b = clamp_to(b - (gb / cb) * damping_ab, diff_bounds.first, diff_bounds.second);
      }
      // Asymptote pass at the new a and b, still with F = 1 - old c.
      double gc = 0.0, hc = 0.0;
      for (std::size_t k = 0; k < n_quad; ++k) {
        if (!(n[k] >= kMinCount)) continue;
        const double ps = logistic(a * (theta[k] - b));
        const double P = clamp_prob_keep_nan(ps * F + c);
        const double V = (1.0 - P) * P + 1e-10;
        hc -= (1.0 - ps) * (n[k] * (1.0 - ps)) / V;
        gc += (1.0 - ps) * (r[k] - n[k] * P) / V;
      }
      const double cc = hc - regularization_c;
      if (std::fabs(cc) > kMinPivot) {
        require_bounds(guess_bounds, "guess_bounds");
        c = clamp_to(c - (gc / cc) * damping_c, guess_bounds.first, guess_bounds.second);
      }
      if (std::fabs(ga) < tol && std::fabs(gb) < tol && std::fabs(gc) < tol) return;
    }
  }
};

std::tuple<Vec, Vec> m_step_dichotomous(I2 responses, F2 posterior_weights, F1 quad_points, F1 discrimination,
                                        F1 difficulty, std::uint64_t max_iter, double tol, Pair disc_bounds,
                                        Pair diff_bounds, double damping, double regularization) {
  const std::vector<double> theta = quad_points.to_vector();
  const Newton2pl newton{theta.data(), theta.size(), max_iter, tol, disc_bounds, diff_bounds, damping,
                         regularization};
  const std::size_t n_items = responses.cols();
  Vec a_out(n_items), b_out(n_items);
  for_each_item_counts(responses, posterior_weights, theta.size(),
                       [&](std::size_t j, const double* r, const double* n) {
                         require_entry(j, discrimination.size(), "discrimination");
                         require_entry(j, difficulty.size(), "difficulty");
                         double a = discrimination(j), b = difficulty(j);
                         newton(r, n, a, b);
                         a_out(j) = a;
                         b_out(j) = b;
                       });
  return {std::move(a_out), std::move(b_out)};
}

std::tuple<Vec, Vec, Vec> m_step_3pl(I2 responses, F2 posterior_weights, F1 quad_points, F1 discrimination,
                                     F1 difficulty, F1 guessing, std::uint64_t max_iter, double tol,
                                     Pair disc_bounds, Pair diff_bounds, Pair guess_bounds, double damping_ab,
                                     double damping_c, double regularization, double regularization_c) {
  const std::vector<double> theta = quad_points.to_vector();
  const Newton3pl newton{theta.data(), theta.size(), max_iter, tol, disc_bounds, diff_bounds, guess_bounds,
                         damping_ab, damping_c, regularization, regularization_c};
  const std::size_t n_items = responses.cols();
  Vec a_out(n_items), b_out(n_items), c_out(n_items);
  for_each_item_counts(responses, posterior_weights, theta.size(),
                       [&](std::size_t j, const double* r, const double* n) {
                         require_entry(j, discrimination.size(), "discrimination");
                         require_entry(j, difficulty.size(), "difficulty");
                         require_entry(j, guessing.size(), "guessing");
                         double a = discrimination(j), b = difficulty(j), c = guessing(j);
                         newton(r, n, a, b, c);
                         a_out(j) = a;
                         b_out(j) = b;
                         c_out(j) = c;
                       });
  return {std::move(a_out), std::move(b_out), std::move(c_out)};
}

std::tuple<Mat, Mat> expected_counts_parallel(I2 responses, F2 posterior_weights) {
  const std::size_t n_items = responses.cols(), n_quad = posterior_weights.cols();
  Mat r(n_items, n_quad), n(n_items, n_quad);
  const std::size_t block = block_items(n_items);
  const std::size_t n_blocks = (n_items + block - 1) / block;
  parallel_chunks(n_blocks, [&](std::size_t begin, std::size_t end) {
    ItemCountBuilder builder;
    for (std::size_t blk = begin; blk < end; ++blk) {
      const std::size_t j0 = blk * block, j1 = std::min(n_items, j0 + block);
      // The result rows of a block are adjacent: count into them directly.
      block_counts(responses, posterior_weights, n_quad, j0, j1, r.row(j0), n.row(j0), builder);
    }
  });
  return {std::move(r), std::move(n)};
}

}  // namespace

void declare_mstep(Registry& r) {
  r.def<m_step_dichotomous>("m_step_dichotomous_parallel",
                            {"responses", "posterior_weights", "quad_points", "discrimination", "difficulty",
                             "max_iter", "tol", "disc_bounds", "diff_bounds", "damping", "regularization"},
                            "Parallel M-step optimization for dichotomous items (2PL/3PL).\n\n"
                            "Uses Newton-Raphson optimization for each item in parallel.\n"
                            "Each item's parameters are optimized independently given the posterior weights.");
  r.def<m_step_3pl>("m_step_3pl_parallel",
                    {"responses", "posterior_weights", "quad_points", "discrimination", "difficulty", "guessing",
                     "max_iter", "tol", "disc_bounds", "diff_bounds", "guess_bounds", "damping_ab", "damping_c",
                     "regularization", "regularization_c"},
                    "Parallel M-step for 3PL model including guessing parameter.");
  r.def<expected_counts_parallel>("compute_expected_counts_parallel", {"responses", "posterior_weights"},
                                  "Compute expected counts for dichotomous items in parallel.\n\n"
                                  "Returns r_k (correct responses) and n_k (total responses) per quadrature point.");
}

}  // namespace korvane
