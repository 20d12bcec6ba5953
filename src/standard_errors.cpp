// Observed-information standard errors of 2PL item parameters after an EM
// fit, from the posterior weights of the final E-step.
//
// Each item's log-likelihood is a function of its own (a, b) only, so the
// Hessian is block diagonal with one 2x2 block per item.  The expected
// counts r_jk, n_jk are built once per item; every further evaluation of the
// item log-likelihood then costs O(n_quad), and the second derivatives are
// central finite differences with step h.
#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "frame/binding.hpp"
#include "utils/item_counts.hpp"
#include "utils/item_tables.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"

namespace korvane {
namespace {

// Expected counts of every item: row j of `correct` holds r_jk (posterior
// mass of the persons who answered item j correctly), row j of `answered`
// n_jk (of the persons who answered it at all), summed over persons in order.
struct ItemCounts {
  std::size_t n_quad;
  std::vector<double> correct;
  std::vector<double> answered;
  const double* r(std::size_t j) const { return correct.data() + j * n_quad; }
  const double* n(std::size_t j) const { return answered.data() + j * n_quad; }
};

// Items in blocks, one parallel task per block: each posterior row is read
// once per block, and every item still accumulates its persons in order.
ItemCounts item_counts(const I2& responses, const F2& posterior, std::size_t n_quad) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  ItemCounts c{n_quad, {}, {}};
  const std::size_t cells = checked_product<double>(n_items, n_quad);
  c.correct.assign(cells, 0.0);
  c.answered.assign(cells, 0.0);
  if (n_quad == 0 || n_items == 0) return c;
  const std::size_t n_blocks = std::min<std::size_t>(n_items, 4 * static_cast<std::size_t>(pool_size()));
  const std::size_t block = (n_items + n_blocks - 1) / n_blocks;
  parallel_for((n_items + block - 1) / block, [&](std::size_t blk) {
    const std::size_t j0 = blk * block, j1 = std::min(n_items, j0 + block);
    ItemCountBuilder builder;
    builder.add(
        n_persons, j0, j1, n_quad, [&](std::size_t i, std::size_t j) { return responses(i, j); },
        [&](std::size_t i, double* buffer) -> const double* {
          require_entry(i, posterior.rows(), "posterior_weights (rows)");
          require_entry(n_quad - 1, posterior.cols(), "posterior_weights (columns)");
          posterior.copy_row_prefix(i, n_quad, buffer);  // extra columns unread
          return buffer;
        },
        c.correct.data() + j0 * n_quad, c.answered.data() + j0 * n_quad);
  });
  return c;
}

// max(p, 1e-10) then min(., 0.9999999999); a NaN probability stays NaN so
// that NaN parameters give NaN standard errors.
inline double clamp_prob_keep_nan(double p) {
  if (p < kProbFloor) p = kProbFloor;
  if (p > kProbCeil) p = kProbCeil;
  return p;
}

// l_j(a, b) from the counts: sum over the nodes not skipped for n_jk < 1e-10
// of r ln P + (n - r) ln(1 - P), in node order (a NaN count propagates).
double item_loglik(const double* r, const double* n, const std::vector<double>& theta, double a, double b) {
  double sum = 0.0;
  for (std::size_t k = 0; k < theta.size(); ++k) {
    if (n[k] < 1e-10) continue;
    const double p = clamp_prob_keep_nan(logistic(a * (theta[k] - b)));
    sum += r[k] * std::log(p) + (n[k] - r[k]) * std::log(1.0 - p);
  }
  return sum;
}

void require_parameters(const F1& discrimination, const F1& difficulty, std::size_t n_items) {
  if (n_items == 0) return;
  require_entry(n_items - 1, discrimination.size(), "discrimination");
  require_entry(n_items - 1, difficulty.size(), "difficulty");
}

inline double se_from_second_difference(double d) { return d < -1e-10 ? std::sqrt(-1.0 / d) : kNaN; }

std::tuple<Vec, Vec> item_se_parallel(I2 responses, F2 posterior_weights, F1 quad_points, F1 discrimination,
                                      F1 difficulty, double h) {
  const std::size_t n_items = responses.cols();
  const std::vector<double> theta = quad_points.to_vector();
  const ItemCounts c = item_counts(responses, posterior_weights, theta.size());
  require_parameters(discrimination, difficulty, n_items);
  Vec se_a(n_items), se_b(n_items);
  parallel_for(n_items, [&](std::size_t j) {
    const double a = discrimination(j), b = difficulty(j);
    const double* r = c.r(j);
    const double* n = c.n(j);
    const double l0 = item_loglik(r, n, theta, a, b);
    const double l_ap = item_loglik(r, n, theta, a + h, b);
    const double l_am = item_loglik(r, n, theta, a - h, b);
    const double l_bp = item_loglik(r, n, theta, a, b + h);
    const double l_bm = item_loglik(r, n, theta, a, b - h);
    const double d_a = (l_am + (l_ap - 2.0 * l0)) / (h * h);
    const double d_b = (l_bm + (l_bp - 2.0 * l0)) / (h * h);
    se_a(j) = se_from_second_difference(d_a);
    se_b(j) = se_from_second_difference(d_b);
  });
  return {std::move(se_a), std::move(se_b)};
}

Mat hessian_block_diagonal(I2 responses, F2 posterior_weights, F1 quad_points, F1 discrimination,
                           F1 difficulty, double h) {
  const std::size_t n_items = responses.cols();
  const std::vector<double> theta = quad_points.to_vector();
  const ItemCounts c = item_counts(responses, posterior_weights, theta.size());
  require_parameters(discrimination, difficulty, n_items);
  const std::size_t size = checked_product<double>(n_items, 2);
  Mat out(size, size);
  parallel_for(n_items, [&](std::size_t j) {
    const double a = discrimination(j), b = difficulty(j);
    const double* r = c.r(j);
    const double* n = c.n(j);
    auto l = [&](double aa, double bb) { return item_loglik(r, n, theta, aa, bb); };
    const double l0 = l(a, b);
    const double h_aa = (l(a - h, b) + (l(a + h, b) - 2.0 * l0)) / (h * h);
    const double h_bb = ((l(a, b + h) - 2.0 * l0) + l(a, b - h)) / (h * h);
    const double h_ab = (((l(a + h, b + h) - l(a + h, b - h)) - l(a - h, b + h)) + l(a - h, b - h)) / (4.0 * h * h);
    out(2 * j, 2 * j) = h_aa;
    out(2 * j, 2 * j + 1) = h_ab;
    out(2 * j + 1, 2 * j) = h_ab;
    out(2 * j + 1, 2 * j + 1) = h_bb;
  });
  return out;
}

// Diagonal of the negated inverse of each 2x2 block (a_i, b_i); only the
// diagonal blocks and their upper off-diagonal entry are read.
Vec se_from_hessian(F2 hessian) {
  const std::size_t n = hessian.rows();
  const std::size_t limit = std::min(hessian.rows(), hessian.cols());
  Vec out(n);
  for (std::size_t i = 0; i < n / 2; ++i) {
    require_entry(2 * i + 1, limit, "hessian (rows and columns)");
    const double h00 = hessian(2 * i, 2 * i);
    const double h01 = hessian(2 * i, 2 * i + 1);
    const double h11 = hessian(2 * i + 1, 2 * i + 1);
    const double det = h00 * h11 - h01 * h01;
    if (det > 1e-10) {
      const double var_a = -h11 / det;
      const double var_b = -h00 / det;
      out(2 * i) = var_a > 0 ? std::sqrt(var_a) : kNaN;
      out(2 * i + 1) = var_b > 0 ? std::sqrt(var_b) : kNaN;
    } else {
      out(2 * i) = kNaN;
      out(2 * i + 1) = kNaN;
    }
  }
  return out;
}

// Q = sum_i sum_{k: w_ik >= 1e-10} w_ik * sum_j log P(x_ij | theta_k), without
// the probability clamp.  The item-by-node table gives the inner item sums
// with the same bits as evaluating log_sigmoid(+-z) per person.
double complete_data_ll(I2 responses, F2 posterior_weights, F1 quad_points, F1 discrimination, F1 difficulty) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const std::size_t n_quad = quad_points.size();
  if (n_persons == 0 || n_quad == 0) return 0.0;
  require_entry(n_persons - 1, posterior_weights.rows(), "posterior_weights (rows)");
  require_entry(n_quad - 1, posterior_weights.cols(), "posterior_weights (columns)");
  const ItemLogTable table = ItemLogTable::two_pl(quad_points, discrimination, difficulty, n_items);
  // Per-person terms are computed in chunks (scratch buffers once per chunk);
  // their total is the one parallel sum of this kernel.
  std::vector<double> person(n_persons);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<double> ll(n_quad);
    for (std::size_t i = begin; i < end; ++i) {
      responses.copy_row(i, row.data());
      table.row_log_likelihood(row.data(), ll.data());
      double s = 0.0;
      for (std::size_t k = 0; k < n_quad; ++k) {
        const double w = posterior_weights(i, k);
        if (w >= 1e-10) s += w * ll[k];
      }
      person[i] = s;
    }
  });
  return parallel_sum(n_persons, [&](std::size_t i) { return person[i]; });
}

}  // namespace

void declare_standard_errors(Registry& r) {
  r.def<item_se_parallel>(
      "compute_item_se_parallel",
      {"responses", "posterior_weights", "quad_points", "discrimination", "difficulty", "h"},
      "Compute per-item Fisher information (observed information) in parallel.\n\n"
      "Exploits the block diagonal structure: items are independent,\n"
      "so we only need to compute 2x2 blocks (for 2PL: discrimination, difficulty).");
  r.def<hessian_block_diagonal>(
      "compute_hessian_block_diagonal",
      {"responses", "posterior_weights", "quad_points", "discrimination", "difficulty", "h"},
      "Compute full observed information matrix with block diagonal structure.\n\n"
      "For 2PL model, the Hessian is block diagonal with 2x2 blocks per item.\n"
      "This function computes the full matrix but exploits the block structure.");
  r.def<se_from_hessian>("compute_se_from_hessian", {"hessian"},
                         "Compute standard errors from observed information matrix.\n\n"
                         "Takes the negative inverse of the Hessian and extracts diagonal elements.");
  r.def<complete_data_ll>("compute_complete_data_ll",
                          {"responses", "posterior_weights", "quad_points", "discrimination", "difficulty"},
                          "Compute complete data log-likelihood for all items.\n\n"
                          "Used for finite difference Hessian computation.");
}

}  // namespace korvane
