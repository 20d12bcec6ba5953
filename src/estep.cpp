// E-step kernels (posterior weights of every person over a grid of ability
// values) and the expected counts of one item built from those weights.
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "frame/binding.hpp"
#include "utils/item_tables.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"

namespace korvane {
namespace {

// ln(2 pi), the constant of the normal log-density.
constexpr double kLogTwoPi = 1.8378770664093453;

// ln(w_q + 1e-10) for the first n_quad weights; fewer weights than nodes
// fails the call before any person is processed.
std::vector<double> log_quad_weights(const F1& quad_weights, std::size_t n_quad) {
  if (quad_weights.size() < n_quad) {
    fail("quad_weights has " + std::to_string(quad_weights.size()) + " entries and quad_points " +
         std::to_string(n_quad));
  }
  std::vector<double> lw(n_quad);
  for (std::size_t q = 0; q < n_quad; ++q) lw[q] = std::log(quad_weights(q) + 1e-10);
  return lw;
}

// For every person i: row i of the result first holds v_q = node_value(q,
// log-likelihood at node q), then the normalised posterior exp(v_q - L_i),
// L_i = log_sum_exp(v); finish(i, L_i) receives the log marginal.  The rows
// are built in place, so a task needs only its copy of the response row.
template <class NodeValue, class Finish>
Mat posterior_rows(const I2& responses, const ItemLogTable& table, NodeValue&& node_value, Finish&& finish) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols(), n_quad = table.n_quad();
  Mat post(n_persons, n_quad);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    for (std::size_t i = begin; i < end; ++i) {
      responses.copy_row(i, row.data());
      double* v = post.row(i);
      table.row_log_likelihood(row.data(), v);
      for (std::size_t q = 0; q < n_quad; ++q) v[q] = node_value(q, v[q]);
      const double L = log_sum_exp(v, n_quad);
      for (std::size_t q = 0; q < n_quad; ++q) v[q] = std::exp(v[q] - L);
      finish(i, L);
    }
  });
  return post;
}

std::tuple<Mat, Vec> e_step_complete(I2 responses, F1 quad_points, F1 quad_weights, F1 discrimination,
                                     F1 difficulty, double prior_mean, double prior_var) {
  const std::size_t n_quad = quad_points.size();
  const std::vector<double> theta = quad_points.to_vector();
  // Normal log-density at each node.  A non-positive variance is not
  // repaired: it gives NaN here, a NaN posterior and a marginal of 0.
  const double sigma = std::sqrt(prior_var);
  const double C = std::log(prior_var) + kLogTwoPi;
  std::vector<double> lp(n_quad);
  for (std::size_t q = 0; q < n_quad; ++q) {
    const double u = (theta[q] - prior_mean) / sigma;
    lp[q] = (u * u + C) * (-0.5);
  }
  const std::vector<double> lw = log_quad_weights(quad_weights, n_quad);
  const ItemLogTable table = ItemLogTable::two_pl(quad_points, discrimination, difficulty, responses.cols());
  Vec marginal(responses.rows());
  Mat post = posterior_rows(
      responses, table, [&](std::size_t q, double ll) { return (ll + lp[q]) + lw[q]; },
      // the likelihood itself, which underflows to 0 for long tests
      [&](std::size_t i, double L) { marginal(i) = std::exp(L); });
  return {std::move(post), std::move(marginal)};
}

std::tuple<Mat, double> weighted_e_step(I2 responses, F1 weights, F1 quad_points, F1 quad_weights,
                                        F1 discrimination, F1 difficulty) {
  const std::size_t n_persons = responses.rows();
  const std::vector<double> lw = log_quad_weights(quad_weights, quad_points.size());
  const ItemLogTable table = ItemLogTable::two_pl(quad_points, discrimination, difficulty, responses.cols());
  std::vector<double> log_marginal(n_persons);
  Mat post = posterior_rows(
      responses, table, [&](std::size_t q, double ll) { return ll + lw[q]; },
      [&](std::size_t i, double L) { log_marginal[i] = L; });
  // The survey weights enter only the total, summed in person order.
  if (weights.size() < n_persons) {
    fail("weights has " + std::to_string(weights.size()) + " entries and responses " +
         std::to_string(n_persons) + " rows");
  }
  double total = 0.0;
  for (std::size_t i = 0; i < n_persons; ++i) total = total + weights(i) * log_marginal[i];
  return {std::move(post), total};
}

std::tuple<Mat, Vec> mcem_e_step(I2 responses, F3 theta_samples, F1 discrimination, F1 difficulty) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const std::size_t n_samples = theta_samples.extent(1);
  if (theta_samples.extent(0) < n_persons) {
    fail("theta_samples has " + std::to_string(theta_samples.extent(0)) + " persons and responses " +
         std::to_string(n_persons) + " rows");
  }
  if (theta_samples.extent(2) == 0) fail("theta_samples has an empty third axis");
  const std::vector<double> a = discrimination.to_vector();
  const std::vector<double> b = difficulty.to_vector();
  Mat weights(n_persons, n_samples);
  Vec marginal(n_persons);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<double> theta(n_samples);
    for (std::size_t i = begin; i < end; ++i) {
      responses.copy_row(i, row.data());
      for (std::size_t s = 0; s < n_samples; ++s) theta[s] = theta_samples(i, s, 0);
      // ll_s accumulated item by item: each sample's sum runs in item order
      // from 0, as in log_likelihood_2pl.
      double* ll = weights.row(i);
      if (n_samples != 0) {
        for (std::size_t j = 0; j < n_items; ++j) {
          const std::int32_t x = row[j];
          if (x < 0) continue;
          require_entry(j, a.size(), "discrimination");
          require_entry(j, b.size(), "difficulty");
          const double aj = a[j], bj = b[j];
          if (x == 1) {
            for (std::size_t s = 0; s < n_samples; ++s) ll[s] += log_sigmoid((theta[s] - bj) * aj);
          } else {
            for (std::size_t s = 0; s < n_samples; ++s) ll[s] += log_one_minus_sigmoid((theta[s] - bj) * aj);
          }
        }
      }
      // No guard for an infinite maximum: the weights become NaN then.
      double m = -kInf;
      for (std::size_t s = 0; s < n_samples; ++s)
        if (ll[s] > m) m = ll[s];
      double E = 0.0;
      for (std::size_t s = 0; s < n_samples; ++s) {
        ll[s] = std::exp(ll[s] - m);
        E += ll[s];
      }
      for (std::size_t s = 0; s < n_samples; ++s) ll[s] = ll[s] / E;
      marginal(i) = (E / static_cast<double>(n_samples)) * std::exp(m);
    }
  });
  return {std::move(weights), std::move(marginal)};
}

// Posterior row i of one item's counts: fails when the row does not exist.
void require_posterior_row(std::size_t i, const F2& posterior_weights) {
  if (i >= posterior_weights.rows()) {
    fail("posterior_weights has " + std::to_string(posterior_weights.rows()) + " rows; person " +
         std::to_string(i) + " needs one");
  }
}

std::tuple<Vec, Vec> expected_counts(I1 responses, F2 posterior_weights) {
  const std::size_t n_persons = responses.size(), n_quad = posterior_weights.cols();
  Vec r(n_quad), n(n_quad);
  std::vector<double> w(n_quad);
  for (std::size_t i = 0; i < n_persons; ++i) {
    const std::int32_t x = responses(i);
    if (x < 0) continue;
    require_posterior_row(i, posterior_weights);
    posterior_weights.copy_row(i, w.data());
    for (std::size_t k = 0; k < n_quad; ++k) n[k] += w[k];
    if (x == 1)
      for (std::size_t k = 0; k < n_quad; ++k) r[k] += w[k];
  }
  return {std::move(r), std::move(n)};
}

std::tuple<Vec, Vec> weighted_counts(I1 responses, F2 posterior_weights, F1 survey_weights) {
  const std::size_t n_persons = responses.size(), n_quad = posterior_weights.cols();
  Vec r(n_quad), n(n_quad);
  std::vector<double> w(n_quad);
  for (std::size_t i = 0; i < n_persons; ++i) {
    const std::int32_t x = responses(i);
    if (x < 0) continue;  // the survey weight of a missing response is never read
    require_posterior_row(i, posterior_weights);
    require_entry(i, survey_weights.size(), "survey_weights");
    const double s = survey_weights(i);
    posterior_weights.copy_row(i, w.data());
    for (std::size_t k = 0; k < n_quad; ++k) w[k] = w[k] * s;
    for (std::size_t k = 0; k < n_quad; ++k) n[k] += w[k];
    if (x == 1)
      for (std::size_t k = 0; k < n_quad; ++k) r[k] += w[k];
  }
  return {std::move(r), std::move(n)};
}

Mat polytomous_counts(I1 responses, F2 posterior_weights, std::uint64_t n_categories) {
  const std::size_t n_persons = responses.size(), n_quad = posterior_weights.cols();
  const std::size_t K = static_cast<std::size_t>(n_categories);
  Mat R(n_quad, K);
  std::vector<double> w(n_quad);
  for (std::size_t i = 0; i < n_persons; ++i) {
    const std::int32_t x = responses(i);
    if (x < 0 || static_cast<std::uint64_t>(x) >= n_categories) continue;  // outside [0, K): skipped
    require_posterior_row(i, posterior_weights);
    posterior_weights.copy_row(i, w.data());
    const std::size_t c = static_cast<std::size_t>(x);
    for (std::size_t k = 0; k < n_quad; ++k) R(k, c) += w[k];
  }
  return R;
}

}  // namespace

void declare_estep(Registry& r) {
  r.def<e_step_complete>("e_step_complete",
                         {"responses", "quad_points", "quad_weights", "discrimination", "difficulty",
                          "prior_mean", "prior_var"},
                         "Complete E-step computation with posterior weights");
  r.def<expected_counts>("compute_expected_counts", {"responses", "posterior_weights"},
                         "Compute r_k (expected counts) for dichotomous items");
  r.def<polytomous_counts>("compute_expected_counts_polytomous",
                           {"responses", "posterior_weights", "n_categories"},
                           "Compute r_kc (expected counts per category) for polytomous items");
  r.def<mcem_e_step>("mcem_e_step", {"responses", "theta_samples", "discrimination", "difficulty"},
                     "MCEM E-step using theta samples");
  r.def<weighted_e_step>("weighted_e_step",
                         {"responses", "weights", "quad_points", "quad_weights", "discrimination",
                          "difficulty"},
                         "Weighted E-step for survey data");
  r.def<weighted_counts>("weighted_expected_counts", {"responses", "posterior_weights", "survey_weights"},
                         "Weighted expected counts for survey data");
}

}  // namespace korvane
