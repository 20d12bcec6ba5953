// Linking and fixed-item calibration.
//
// fixed_calib_em puts new 2PL items on the scale of anchor items whose
// parameters are known: an EM loop over a caller-supplied grid whose E-step
// adds the anchors' log-likelihood (computed once) to that of the new items,
// and whose M-step fits each new item by a weighted least-squares regression
// of the empirical logits on the grid.  stocking_lord_criterion is the loss a
// caller minimises to find the linear map between two calibrations.
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

// A 1-D view of a vector owned by the kernel.
F1 view_of(const std::vector<double>& v) {
  const std::ptrdiff_t shape = static_cast<std::ptrdiff_t>(v.size());
  const std::ptrdiff_t stride = sizeof(double);
  return F1(reinterpret_cast<const char*>(v.data()), &shape, &stride);
}

// max(lo, x) then min(hi, .), a NaN x staying NaN.  The pair is checked when
// it is applied: a reversed pair or one holding NaN fails the call.
double clamp_into(double x, const Pair& bounds, const char* name) {
  if (!(bounds.first <= bounds.second)) {
    fail(std::string(name) + " must be (lower, upper) with lower <= upper and no NaN");
  }
  if (x < bounds.first) x = bounds.first;
  if (x > bounds.second) x = bounds.second;
  return x;
}

// The settings of one M-step, shared by every new item.
struct MStepSettings {
  Pair disc_bounds, diff_bounds, prob_clamp;
  double min_count;
  std::uint64_t min_valid_points;
};

// One item's update from its expected counts r_k, n_k: weighted least
// squares of the clamped empirical logits on the nodes, weights n_k, over the
// nodes whose count exceeds min_count.  Returns false when the item keeps
// its parameters (too few valid nodes, or no spread of the valid nodes).
bool regress_item(const double* r, const double* n, const std::vector<double>& theta, const MStepSettings& s,
                  std::vector<double>& x, std::vector<double>& y, std::vector<double>& w, double& a_out,
                  double& b_out) {
  x.clear();
  y.clear();
  w.clear();
  for (std::size_t k = 0; k < theta.size(); ++k) {
    if (!(n[k] > s.min_count)) continue;
    const double p = clamp_into(r[k] / n[k], s.prob_clamp, "prob_clamp");
    x.push_back(theta[k]);
    y.push_back(std::log(p / (1.0 - p)));
    w.push_back(n[k]);
  }
  if (x.size() < s.min_valid_points) return false;
  const std::size_t m = x.size();
  double sw = 0.0, swx = 0.0, swy = 0.0;
  for (std::size_t k = 0; k < m; ++k) sw += w[k];
  for (std::size_t k = 0; k < m; ++k) swx += w[k] * x[k];
  for (std::size_t k = 0; k < m; ++k) swy += w[k] * y[k];
  const double x_bar = swx / sw;
  const double y_bar = swy / sw;
  double sxx = 0.0, sxy = 0.0;
  for (std::size_t k = 0; k < m; ++k) {
    const double dx = x[k] - x_bar;
    sxx += w[k] * (dx * dx);
  }
  for (std::size_t k = 0; k < m; ++k) sxy += w[k] * (x[k] - x_bar) * (y[k] - y_bar);
  if (sxx / sw < 1e-10) return false;
  a_out = clamp_into((sxy / sw) / (sxx / sw), s.disc_bounds, "disc_bounds");
  b_out = clamp_into(x_bar - y_bar / a_out, s.diff_bounds, "diff_bounds");
  return true;
}

// Columns of `responses` listed in `columns`, gathered per person:
// out[i * count + m] = responses(i, columns[m]) for m < count.
std::vector<std::int32_t> gather_columns(const I2& responses, const U64List& columns, std::size_t count) {
  const std::size_t n_persons = responses.rows();
  std::vector<std::int32_t> out(checked_product<std::int32_t>(n_persons, count));
  if (count == 0) return out;
  parallel_for(n_persons, [&](std::size_t i) {
    for (std::size_t m = 0; m < count; ++m) out[i * count + m] = responses(i, columns[m]);
  });
  return out;
}

void require_columns(const U64List& columns, std::size_t n_items, const char* name) {
  for (std::size_t m = 0; m < columns.size(); ++m) {
    if (columns[m] >= n_items) {
      fail(std::string(name) + "[" + std::to_string(m) + "] = " + std::to_string(columns[m]) +
           " is not a column of responses, which has " + std::to_string(n_items));
    }
  }
}

std::tuple<Vec, Vec, Vec, double, std::uint64_t, bool> fixed_calib_em(
    I2 responses, U64List anchor_items, U64List new_items, F1 anchor_disc, F1 anchor_diff, F1 theta_grid,
    F1 quad_weights, std::uint64_t max_iter, double tol, Pair disc_bounds, Pair diff_bounds, Pair prob_clamp,
    double init_disc, double init_diff, double min_count, std::uint64_t min_valid_points) {
  const std::size_t n_persons = responses.rows();
  const std::size_t n_grid = theta_grid.size();
  const std::size_t n_anchor = anchor_disc.size();
  const std::size_t n_new = new_items.size();
  require_columns(anchor_items, responses.cols(), "anchor_items");
  require_columns(new_items, responses.cols(), "new_items");
  if (quad_weights.size() < n_grid) {
    fail("quad_weights has " + std::to_string(quad_weights.size()) + " entries; theta_grid has " +
         std::to_string(n_grid));
  }
  if (n_persons > 0 && n_grid > 0) {
    if (n_anchor > anchor_items.size()) {
      fail("anchor_disc has " + std::to_string(n_anchor) + " entries but anchor_items only " +
           std::to_string(anchor_items.size()));
    }
    if (anchor_diff.size() < n_anchor) {
      fail("anchor_diff has " + std::to_string(anchor_diff.size()) + " entries; anchor_disc has " +
           std::to_string(n_anchor));
    }
  }

  // The person-by-node buffers first: a size that cannot be allocated ends
  // the call before any work is done.
  Mat anchor_ll(n_persons, n_grid);
  Mat posterior(n_persons, n_grid);

  // Responses per person, anchors and new items each in list order.  With no
  // persons or no nodes the anchors are never used.
  const std::size_t n_anchor_used = (n_persons > 0 && n_grid > 0) ? n_anchor : 0;
  const std::vector<std::int32_t> anchor_resp = gather_columns(responses, anchor_items, n_anchor_used);
  const std::vector<std::int32_t> new_resp = gather_columns(responses, new_items, n_new);

  const std::vector<double> theta = theta_grid.to_vector();
  std::vector<double> log_prior(n_grid);
  for (std::size_t k = 0; k < n_grid; ++k) log_prior[k] = std::log(quad_weights(k) + 1e-10);

  // The anchors' log-likelihood at every node, once.
  if (n_anchor_used > 0) {
    const ItemLogTable table = ItemLogTable::two_pl(theta_grid, anchor_disc, anchor_diff, n_anchor_used);
    parallel_for(n_persons, [&](std::size_t i) {
      table.row_log_likelihood(anchor_resp.data() + i * n_anchor_used, anchor_ll.row(i));
    });
  }

  std::vector<double> a(n_new, init_disc), b(n_new, init_diff);
  const MStepSettings settings{disc_bounds, diff_bounds, prob_clamp, min_count, min_valid_points};
  std::vector<double> person_lse(n_persons);
  // Counts of the M-step: items in blocks, one parallel task per block.
  std::vector<double> r_counts(checked_product<double>(n_new, n_grid));
  std::vector<double> n_counts(r_counts.size());
  const std::size_t n_blocks =
      std::max<std::size_t>(1, std::min<std::size_t>(n_new, 4 * static_cast<std::size_t>(pool_size())));
  const std::size_t block = std::max<std::size_t>(1, (n_new + n_blocks - 1) / n_blocks);

  double loglik = -kInf, prev = -kInf;
  std::uint64_t iterations = 0;
  bool converged = false;
  for (std::uint64_t iter = 1; iter <= max_iter; ++iter) {
    iterations = iter;

    // E-step: new items' log-likelihood + anchors + log prior, normalised.
    const ItemLogTable new_table = ItemLogTable::two_pl(theta_grid, view_of(a), view_of(b), n_new);
    parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
      std::vector<double> l(n_grid);
      for (std::size_t i = begin; i < end; ++i) {
        new_table.row_log_likelihood(new_resp.data() + i * n_new, l.data());
        const double* anchors = anchor_ll.row(i);
        for (std::size_t k = 0; k < n_grid; ++k) l[k] = l[k] + anchors[k] + log_prior[k];
        const double lse = log_sum_exp(l.data(), n_grid);
        double* post = posterior.row(i);
        for (std::size_t k = 0; k < n_grid; ++k) post[k] = std::exp(l[k] - lse);
        person_lse[i] = lse;
      }
    });
    loglik = 0.0;
    for (std::size_t i = 0; i < n_persons; ++i) loglik += person_lse[i];

    if (tol > std::fabs(loglik - prev)) {
      converged = true;
      break;
    }

    // M-step from this iteration's posterior, on copies of the parameters.
    std::fill(r_counts.begin(), r_counts.end(), 0.0);
    std::fill(n_counts.begin(), n_counts.end(), 0.0);
    std::vector<double> a_new = a, b_new = b;
    if (n_new > 0) {
      parallel_for((n_new + block - 1) / block, [&](std::size_t blk) {
        const std::size_t t0 = blk * block, t1 = std::min(n_new, t0 + block);
        ItemCountBuilder builder;
        builder.add(
            n_persons, t0, t1, n_grid, [&](std::size_t i, std::size_t t) { return new_resp[i * n_new + t]; },
            [&](std::size_t i, double*) -> const double* { return posterior.row(i); },
            r_counts.data() + t0 * n_grid, n_counts.data() + t0 * n_grid);
        std::vector<double> xs, ys, ws;
        for (std::size_t t = t0; t < t1; ++t) {
          regress_item(r_counts.data() + t * n_grid, n_counts.data() + t * n_grid, theta, settings, xs, ys, ws,
                       a_new[t], b_new[t]);
        }
      });
    }

    double delta_a = 0.0, delta_b = 0.0;  // running maxima; NaN changes are ignored
    for (std::size_t t = 0; t < n_new; ++t) {
      const double da = std::fabs(a_new[t] - a[t]);
      const double db = std::fabs(b_new[t] - b[t]);
      if (da > delta_a) delta_a = da;
      if (db > delta_b) delta_b = db;
    }
    a = std::move(a_new);
    b = std::move(b_new);
    if (tol > delta_a + delta_b) {
      converged = true;
      break;
    }
    prev = loglik;
  }

  Vec eap(n_persons);
  parallel_for(n_persons, [&](std::size_t i) {
    const double* post = posterior.row(i);
    double s = 0.0;
    for (std::size_t k = 0; k < n_grid; ++k) s += post[k] * theta[k];
    eap(i) = s;
  });
  Vec a_out(n_new), b_out(n_new);
  std::copy(a.begin(), a.end(), a_out.data());
  std::copy(b.begin(), b.end(), b_out.data());
  return {std::move(a_out), std::move(b_out), std::move(eap), loglik, iterations, converged};
}

// Q(A, B) = sum_j sum_k (P_old(j, k) - P_new(j, k))^2, the new curve taken at
// A * theta_k + B.  The inner sum over nodes is serial per item; the outer
// one is a parallel sum.
double stocking_lord(F1 disc_old, F1 diff_old, F1 disc_new, F1 diff_new, double a, double b, F1 theta_grid) {
  const std::size_t n_items = disc_old.size();
  const std::size_t n_grid = theta_grid.size();
  if (n_grid == 0 || n_items == 0) return 0.0;
  require_entry(n_items - 1, diff_old.size(), "diff_old");
  require_entry(n_items - 1, disc_new.size(), "disc_new");
  require_entry(n_items - 1, diff_new.size(), "diff_new");
  const std::vector<double> theta = theta_grid.to_vector();
  return parallel_sum(n_items, [&](std::size_t j) {
    const double a_old = disc_old(j), b_old = diff_old(j), a_new = disc_new(j), b_new = diff_new(j);
    double s = 0.0;
    for (std::size_t k = 0; k < n_grid; ++k) {
      const double p_old = logistic(a_old * (theta[k] - b_old));
      const double p_new = logistic(a_new * ((theta[k] * a + b) - b_new));
      const double d = p_old - p_new;
      s += d * d;
    }
    return s;
  });
}

}  // namespace

void declare_calibration(Registry& r) {
  r.def<fixed_calib_em>("fixed_calib_em",
                        {"responses", "anchor_items", "new_items", "anchor_disc", "anchor_diff", "theta_grid",
                         "quad_weights", "max_iter", "tol", Arg{"disc_bounds", Pair{0.2, 5.0}},
                         Arg{"diff_bounds", Pair{-5.0, 5.0}}, Arg{"prob_clamp", Pair{0.01, 0.99}},
                         Arg{"init_disc", 1.0}, Arg{"init_diff", 0.0}, Arg{"min_count", 1.0},
                         Arg{"min_valid_points", std::uint64_t{3}}},
                        "Fixed-item calibration EM algorithm.\n\n"
                        "Calibrates new items to an existing scale defined by anchor items\n"
                        "with fixed parameters.");
  r.def<stocking_lord>("stocking_lord_criterion",
                       {"disc_old", "diff_old", "disc_new", "diff_new", "a", "b", "theta_grid"},
                       "Stocking-Lord equating criterion computation.");
}

}  // namespace korvane
