// Whole fits of the 2PL model inside one call: EM on the fitting grid, the
// Metropolis-Hastings Robbins-Monro scheme, a Metropolis-within-Gibbs sampler
// and the nonparametric bootstrap of the EM fit.
//
// The EM fit is built from two operations, e_step_2pl_internal and
// m_step_2pl_internal, which the bootstrap runs unchanged for every replicate
// (replicates in parallel, each E-step and M-step a nested parallel loop on the
// same pool).  The MHRM fit is built from sample_theta_mh (one random-walk
// Metropolis step per person) and compute_total_ll (complete-data
// log-likelihood), which the Gibbs sampler reuses.
//
// Every result depends only on the arguments: per-index work writes its own
// slot, sums run in index order (compute_total_ll excepted, a parallel sum),
// and random numbers come from generators tied to replicate or person indices
// or from one driver generator consumed serially.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/binding.hpp"
#include "utils/item_counts.hpp"
#include "utils/item_tables.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"
#include "utils/quadrature.hpp"
#include "utils/random.hpp"

namespace korvane {
namespace {

// The parameter box shared by the EM M-step, the MHRM update and the Gibbs
// proposals.
constexpr double kMinDisc = 0.1;
constexpr double kMaxDisc = 5.0;
constexpr double kMinDiff = -6.0;
constexpr double kMaxDiff = 6.0;

// min(hi, max(lo, x)); a NaN x ends at lo.
double clamp_to(double x, double lo, double hi) { return std::min(hi, std::max(lo, x)); }

// Read-only views of buffers owned by the call, so that the owned vectors and
// resampled matrices go through the same code as the caller's arrays.
F1 view_of(const std::vector<double>& v, std::size_t n) {
  const std::ptrdiff_t shape[1] = {static_cast<std::ptrdiff_t>(n)};
  const std::ptrdiff_t strides[1] = {static_cast<std::ptrdiff_t>(sizeof(double))};
  return F1(reinterpret_cast<const char*>(v.data()), shape, strides);
}
F1 view_of(const std::vector<double>& v) { return view_of(v, v.size()); }

I2 matrix_view(const std::vector<std::int32_t>& cells, std::size_t rows, std::size_t cols) {
  const std::ptrdiff_t shape[2] = {static_cast<std::ptrdiff_t>(rows), static_cast<std::ptrdiff_t>(cols)};
  const std::ptrdiff_t strides[2] = {static_cast<std::ptrdiff_t>(cols * sizeof(std::int32_t)),
                                     static_cast<std::ptrdiff_t>(sizeof(std::int32_t))};
  return I2(reinterpret_cast<const char*>(cells.data()), shape, strides);
}

void require_length(std::size_t have, std::size_t need, const char* what) {
  if (have < need) {
    fail(std::string(what) + " has " + std::to_string(have) + " entries; " + std::to_string(need) +
         " are needed");
  }
}

// ---------------------------------------------------------------------------
// EM on a fixed grid

struct EStep {
  std::vector<double> posterior;  // n_persons rows of n_quad weights, person order
  std::vector<double> marginal;   // L_i = exp(log_sum_exp of the log posterior), a likelihood
};

// Posterior over the nodes and marginal likelihood of every person, written
// into `out` (whose buffers a fit reuses from one iteration to the next).
// The log posterior of person i at node k is ln(w_k + 1e-10) plus the row's
// 2PL log-likelihood at theta_k (items in order, missing codes skipped).
void e_step_2pl_internal(const I2& responses, const std::vector<double>& quad_points,
                         const std::vector<double>& quad_weights, const std::vector<double>& discrimination,
                         const std::vector<double>& difficulty, std::size_t n_persons, std::size_t n_items,
                         std::size_t n_quad, EStep& out) {
  require_length(responses.rows(), n_persons, "responses");
  if (responses.cols() != n_items) fail("responses do not have " + std::to_string(n_items) + " items");
  require_length(quad_points.size(), n_quad, "quad_points");
  require_length(quad_weights.size(), n_quad, "quad_weights");
  std::vector<double> log_prior(n_quad);
  for (std::size_t k = 0; k < n_quad; ++k) log_prior[k] = std::log(quad_weights[k] + 1e-10);
  // The table fails like log_likelihood_2pl at the first answered item that
  // lacks a parameter.
  const ItemLogTable table = ItemLogTable::two_pl(view_of(quad_points, n_quad), view_of(discrimination),
                                                  view_of(difficulty), n_items);
  out.posterior.resize(checked_product<double>(n_persons, n_quad));
  out.marginal.resize(n_persons);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    for (std::size_t i = begin; i < end; ++i) {
      responses.copy_row(i, row.data());
      double* l = out.posterior.data() + i * n_quad;
      table.row_log_likelihood(row.data(), l);
      for (std::size_t k = 0; k < n_quad; ++k) l[k] = log_prior[k] + l[k];
      const double lse = log_sum_exp(l, n_quad);
      for (std::size_t k = 0; k < n_quad; ++k) l[k] = std::exp(l[k] - lse);
      out.marginal[i] = std::exp(lse);
    }
  });
}

// sum_i ln(L_i + 1e-10) in person order.
double marginal_log_likelihood(const std::vector<double>& marginal) {
  double ll = 0.0;
  for (const double l : marginal) ll += std::log(l + 1e-10);
  return ll;
}

// At most 10 damped Newton steps for one item from its expected counts r_k
// (correct) and n_k (answered), with a fixed ridge on the approximate Hessian
// and the parameter box after every half step.
std::pair<double, double> newton_2pl(const double* r, const double* n, const std::vector<double>& theta,
                                     std::size_t n_quad, double a, double b) {
  for (int step = 0; step < 10; ++step) {
    double sum_d = 0.0, sum_dd = 0.0, sum_wdd = 0.0, sum_waa = 0.0, sum_awd = 0.0;
    for (std::size_t k = 0; k < n_quad; ++k) {
      if (!(n[k] >= 1e-10)) continue;  // nodes with (almost) no expected responses
      const double d = theta[k] - b;
      const double p = clamp_prob(logistic(a * d));
      const double dev = r[k] - n[k] * p;
      const double w = n[k] * p * (1.0 - p);
      sum_d += dev;
      sum_dd += dev * d;
      sum_wdd += w * (d * d);
      sum_waa += w * (a * a);
      sum_awd += a * w * d;
    }
    const double g_a = sum_dd;
    const double g_b = -a * sum_d;
    const double h_aa = -sum_wdd - 0.01;
    const double h_bb = -sum_waa - 0.01;
    const double h_ab = sum_awd;
    const double det = h_aa * h_bb - h_ab * h_ab;
    if (std::abs(det) < 1e-10) break;
    const double delta_a = (h_bb * g_a - h_ab * g_b) / det;
    const double delta_b = (h_aa * g_b - h_ab * g_a) / det;
    a = clamp_to(a - 0.5 * delta_a, kMinDisc, kMaxDisc);
    b = clamp_to(b - 0.5 * delta_b, kMinDiff, kMaxDiff);
    if (std::abs(delta_a) < 1e-4 && std::abs(delta_b) < 1e-4) break;
  }
  return {a, b};
}

// Per item: 1 when every person answered it.  Depends on the responses
// only, so a fit forms it once.
std::vector<char> complete_items(const I2& responses) {
  const std::size_t n_items = responses.cols();
  std::vector<char> complete(n_items, 1);
  std::vector<std::int32_t> row(n_items);
  for (std::size_t i = 0; i < responses.rows(); ++i) {
    responses.copy_row(i, row.data());
    for (std::size_t j = 0; j < n_items; ++j)
      if (row[j] < 0) complete[j] = 0;
  }
  return complete;
}

// New (a_j, b_j) for every item from the posterior of the last E-step,
// written over the two vectors.  Items run in parallel; a chunk of items
// accumulates its counts in one pass over the persons, each item's counts in
// person order.  An item answered by every person (`complete`, from
// complete_items) has as n_k the sum of all posterior rows in person order,
// the same for every such item: it is formed once.
void m_step_2pl_internal(const I2& responses, const std::vector<double>& posterior,
                         const std::vector<double>& quad_points, const std::vector<char>& complete,
                         std::vector<double>& discrimination, std::vector<double>& difficulty,
                         std::size_t n_persons, std::size_t n_items, std::size_t n_quad) {
  require_length(responses.rows(), n_persons, "responses");
  require_length(responses.cols(), n_items, "responses");
  require_length(posterior.size(), checked_product<double>(n_persons, n_quad), "posterior");
  require_length(quad_points.size(), n_quad, "quad_points");
  require_length(complete.size(), n_items, "complete");
  require_length(discrimination.size(), n_items, "discrimination");
  require_length(difficulty.size(), n_items, "difficulty");

  std::vector<double> all_n;
  if (std::find(complete.begin(), complete.end(), 1) != complete.end()) {
    all_n.assign(n_quad, 0.0);
    for (std::size_t i = 0; i < n_persons; ++i) {
      const double* post = posterior.data() + i * n_quad;
      for (std::size_t k = 0; k < n_quad; ++k) all_n[k] += post[k];
    }
  }

  std::vector<std::pair<double, double>> result(n_items);
  parallel_chunks(n_items, [&](std::size_t first, std::size_t last) {
    const std::size_t width = last - first;
    std::vector<double> r(width * n_quad, 0.0), n(width * n_quad, 0.0);
    ItemCountBuilder counts;
    counts.add(
        n_persons, first, last, n_quad, [&](std::size_t i, std::size_t j) { return responses(i, j); },
        [&](std::size_t i, double*) { return posterior.data() + i * n_quad; }, r.data(), n.data(),
        complete.data());
    for (std::size_t j = first; j < last; ++j) {
      const double* nj = complete[j] ? all_n.data() : n.data() + (j - first) * n_quad;
      result[j] = newton_2pl(r.data() + (j - first) * n_quad, nj, quad_points, n_quad, discrimination[j],
                             difficulty[j]);
    }
  });
  for (std::size_t j = 0; j < n_items; ++j) {
    discrimination[j] = result[j].first;
    difficulty[j] = result[j].second;
  }
}

// Start difficulty of every item from the mean of its non-negative codes
// (the raw code values, so a 2 adds 2).  The codes are summed in 64-bit
// integers: int32 codes near 2^31 overflow a 32-bit sum after two persons.
std::vector<double> start_difficulties(const I2& responses) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  std::vector<std::int64_t> sum(n_items, 0), count(n_items, 0);
  std::vector<std::int32_t> row(n_items);
  for (std::size_t i = 0; i < n_persons; ++i) {
    responses.copy_row(i, row.data());
    for (std::size_t j = 0; j < n_items; ++j) {
      if (row[j] < 0) continue;
      sum[j] += row[j];
      ++count[j];
    }
  }
  std::vector<double> b(n_items, 0.0);
  for (std::size_t j = 0; j < n_items; ++j) {
    if (count[j] == 0) continue;
    const double p = clamp_to(static_cast<double>(sum[j]) / static_cast<double>(count[j]), 0.01, 0.99);
    b[j] = -std::log(p) / std::max(std::abs(std::log(1.0 - p)), 0.01);
  }
  return b;
}

struct EmFit {
  std::vector<double> discrimination;
  std::vector<double> difficulty;
  double log_likelihood;
  std::uint64_t n_iter;
  bool converged;
};

// The whole EM procedure on one response matrix: start values, then E-step,
// convergence test (tol > |l - l_previous|, l_previous = -inf at first) and
// M-step, at most max_iter times.  The returned log-likelihood is that of the
// last iteration that went on to an M-step.
EmFit em_procedure(const I2& responses, std::uint64_t n_quadpts, std::uint64_t max_iter, double tol) {
  const Quadrature grid = gauss_hermite_quadrature(n_quadpts);
  const std::size_t n_persons = responses.rows(), n_items = responses.cols(), n_quad = grid.nodes.size();
  EmFit fit{std::vector<double>(n_items, 1.0), start_difficulties(responses), -kInf, 0, false};
  const std::vector<char> complete = max_iter > 0 ? complete_items(responses) : std::vector<char>(n_items, 0);
  EStep e;
  for (std::uint64_t t = 1; t <= max_iter; ++t) {
    e_step_2pl_internal(responses, grid.nodes, grid.weights, fit.discrimination, fit.difficulty, n_persons,
                        n_items, n_quad, e);
    const double ll = marginal_log_likelihood(e.marginal);
    if (tol > std::abs(ll - fit.log_likelihood)) {
      fit.converged = true;
      fit.n_iter = t;
      break;
    }
    m_step_2pl_internal(responses, e.posterior, grid.nodes, complete, fit.discrimination, fit.difficulty,
                        n_persons, n_items, n_quad);
    fit.log_likelihood = ll;
    fit.n_iter = t;
    if (t == max_iter) break;  // t + 1 would wrap for max_iter = 2^64 - 1
  }
  return fit;
}

Vec to_vec(const std::vector<double>& v) {
  Vec out(v.size());
  std::copy(v.begin(), v.end(), out.data());
  return out;
}

std::tuple<Vec, Vec, double, std::uint64_t, bool> em_fit_2pl(I2 responses, std::uint64_t n_quadpts,
                                                            std::uint64_t max_iter, double tol) {
  const EmFit fit = em_procedure(responses, n_quadpts, max_iter, tol);
  return {to_vec(fit.discrimination), to_vec(fit.difficulty), fit.log_likelihood, fit.n_iter, fit.converged};
}

// Replicate r resamples the persons with the generator of seed + r and fits
// the resampled matrix with the EM procedure; replicates run in parallel.
std::tuple<Mat, Mat> bootstrap_fit_2pl(I2 responses, std::uint64_t n_bootstrap, std::uint64_t n_quadpts,
                                       std::uint64_t max_iter, double tol, std::uint64_t seed) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  Mat discrimination(n_bootstrap, n_items), difficulty(n_bootstrap, n_items);
  const std::size_t cells = checked_product<std::int32_t>(n_persons, n_items);
  parallel_for(n_bootstrap, [&](std::size_t r) {
    Pcg64 gen(task_seed(seed, r));
    std::vector<std::int32_t> resampled(cells);
    for (std::size_t i = 0; i < n_persons; ++i) {
      const std::size_t source = gen.below(n_persons);
      responses.copy_row(source, resampled.data() + i * n_items);
    }
    const EmFit fit = em_procedure(matrix_view(resampled, n_persons, n_items), n_quadpts, max_iter, tol);
    std::copy(fit.discrimination.begin(), fit.discrimination.end(), discrimination.row(r));
    std::copy(fit.difficulty.begin(), fit.difficulty.end(), difficulty.row(r));
  });
  return {std::move(discrimination), std::move(difficulty)};
}

// ---------------------------------------------------------------------------
// Metropolis steps

// One random-walk Metropolis step for every person against the 2PL likelihood
// of the row times a standard-normal prior.  The driver generator gives one
// raw output per person, in person order, as the seed of that person's own
// generator; the proposal is drawn before the uniform of the acceptance test.
std::vector<double> sample_theta_mh(const I2& responses, const std::vector<double>& theta, const F1& discrimination,
                                    const F1& difficulty, const Normal& proposal, Pcg64& driver) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  require_length(theta.size(), n_persons, "theta");
  std::vector<std::uint64_t> seeds(n_persons);
  for (std::size_t i = 0; i < n_persons; ++i) seeds[i] = driver.next();
  std::vector<double> out(n_persons);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    for (std::size_t i = begin; i < end; ++i) {
      Pcg64 gen(seeds[i]);
      const double current = theta[i];
      const double candidate = proposal(gen) + current;
      responses.copy_row(i, row.data());
      const double ll = log_likelihood_2pl(row.data(), n_items, current, discrimination, difficulty);
      const double ll_candidate = log_likelihood_2pl(row.data(), n_items, candidate, discrimination, difficulty);
      const double target = ll + (-0.5 * current * current);
      const double target_candidate = ll_candidate + (-0.5 * candidate * candidate);
      const double u = gen.uniform();
      out[i] = (std::log(u) < target_candidate - target) ? candidate : current;
    }
  });
  return out;
}

// sum_i log_likelihood_2pl(row i, theta_i): the complete-data log-likelihood
// at the given abilities, a parallel sum (its last bits depend on scheduling).
double compute_total_ll(const I2& responses, const std::vector<double>& theta, const F1& discrimination,
                        const F1& difficulty) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  require_length(theta.size(), n_persons, "theta");
  return parallel_sum(n_persons, [&](std::size_t i) {
    thread_local std::vector<std::int32_t> row;
    row.resize(n_items);
    responses.copy_row(i, row.data());
    return log_likelihood_2pl(row.data(), n_items, theta[i], discrimination, difficulty);
  });
}

// For every item j, one pass over the persons (in order) summing the
// log-probabilities of the answered responses at two parameter pairs:
// (a1_j, b1_j) into l1[j] and (a0_j, b0_j) into l0[j].  Items run in
// parallel; every item's sums are in person order.
void item_log_likelihood_pairs(const I2& responses, const std::vector<double>& theta,
                               const std::vector<double>& a1, const std::vector<double>& b1,
                               const std::vector<double>& a0, const std::vector<double>& b0,
                               std::vector<double>& l1, std::vector<double>& l0) {
  const std::size_t n_persons = responses.rows();
  parallel_chunks(responses.cols(), [&](std::size_t first, std::size_t last) {
    std::vector<double> s1(last - first, 0.0), s0(last - first, 0.0);
    for (std::size_t i = 0; i < n_persons; ++i) {
      const double th = theta[i];
      for (std::size_t j = first; j < last; ++j) {
        const std::int32_t x = responses(i, j);
        if (x < 0) continue;
        s1[j - first] += log_prob_2pl(x == 1, a1[j] * (th - b1[j]));
        s0[j - first] += log_prob_2pl(x == 1, a0[j] * (th - b0[j]));
      }
    }
    for (std::size_t j = first; j < last; ++j) {
      l1[j] = s1[j - first];
      l0[j] = s0[j - first];
    }
  });
}

// The Robbins-Monro step of every item: the mean score of its answered
// responses (residual x - P with the numeric code x) times the gain, then the
// box.  Items are independent, so they run in parallel; each item's sums are
// in person order and b's score uses the a from before the update.
void robbins_monro_update(const I2& responses, const std::vector<double>& theta, double gain,
                          std::vector<double>& a, std::vector<double>& b) {
  const std::size_t n_persons = responses.rows();
  parallel_chunks(responses.cols(), [&](std::size_t first, std::size_t last) {
    const std::size_t width = last - first;
    std::vector<double> g_a(width, 0.0), g_b(width, 0.0);
    std::vector<std::uint64_t> m(width, 0);
    for (std::size_t i = 0; i < n_persons; ++i) {
      const double th = theta[i];
      for (std::size_t j = first; j < last; ++j) {
        const std::int32_t x = responses(i, j);
        if (x < 0) continue;
        const double d = th - b[j];
        const double p = logistic(a[j] * d);
        const double e = static_cast<double>(x) - p;
        g_a[j - first] += d * e;
        g_b[j - first] -= a[j] * e;
        ++m[j - first];
      }
    }
    for (std::size_t j = first; j < last; ++j) {
      const std::size_t k = j - first;
      if (m[k] == 0) continue;
      const double count = static_cast<double>(m[k]);
      a[j] = clamp_to((g_a[k] / count) * gain + a[j], kMinDisc, kMaxDisc);
      b[j] = clamp_to((g_b[k] / count) * gain + b[j], kMinDiff, kMaxDiff);
    }
  });
}

std::tuple<Vec, Vec, double> mhrm_fit_2pl(I2 responses, std::uint64_t n_cycles, std::uint64_t burnin,
                                          double proposal_sd, std::uint64_t seed) {
  const Normal proposal(0.0, proposal_sd);  // a non-finite sd fails here, before any cycle
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  std::vector<double> a(n_items, 1.0), b(n_items, 0.0), theta(n_persons, 0.0);
  const F1 a_view = view_of(a), b_view = view_of(b);
  Pcg64 driver(seed);
  for (std::uint64_t c = 0; c < n_cycles; ++c) {
    theta = sample_theta_mh(responses, theta, a_view, b_view, proposal, driver);
    if (c < burnin) continue;
    robbins_monro_update(responses, theta, 1.0 / (static_cast<double>(c) + 1.0), a, b);
  }
  const double ll = compute_total_ll(responses, theta, a_view, b_view);
  return {to_vec(a), to_vec(b), ll};
}

// Metropolis-within-Gibbs: per iteration the abilities (sample_theta_mh with
// proposal sd 0.5), then every discrimination, then every difficulty, each by
// one random-walk step of sd 0.1 inside the box.  The driver generator gives,
// per iteration, n_persons raw outputs for the ability step, then a normal and
// a uniform for each discrimination in item order, then the same for each
// difficulty.
std::tuple<Mat, Mat, Mat, Vec> gibbs_sample_2pl(I2 responses, std::uint64_t n_iter, std::uint64_t burnin,
                                                std::uint64_t thin, std::uint64_t seed) {
  if (thin == 0) fail("thin must be at least 1");
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const std::uint64_t n_stored = n_iter > burnin ? (n_iter - burnin - 1) / thin + 1 : 0;
  Mat a_draws(n_stored, n_items), b_draws(n_stored, n_items), theta_draws(n_stored, n_persons);
  Vec ll_draws(n_stored);

  std::vector<double> a(n_items, 1.0), b(n_items, 0.0), theta(n_persons, 0.0);
  std::vector<double> candidate(n_items), uniform(n_items), ll_candidate(n_items), ll_current(n_items);
  const F1 a_view = view_of(a), b_view = view_of(b);
  const Normal proposal(0.0, 0.5);
  Pcg64 driver(seed);
  std::size_t stored = 0;
  for (std::uint64_t t = 0; t < n_iter; ++t) {
    theta = sample_theta_mh(responses, theta, a_view, b_view, proposal, driver);

    // Discriminations, prior -0.5 (ln a)^2, with the current difficulties.
    for (std::size_t j = 0; j < n_items; ++j) {
      const double z = driver.normal();
      candidate[j] = clamp_to((0.1 * z + 0.0) + a[j], kMinDisc, kMaxDisc);
      uniform[j] = driver.uniform();
    }
    item_log_likelihood_pairs(responses, theta, candidate, b, a, b, ll_candidate, ll_current);
    for (std::size_t j = 0; j < n_items; ++j) {
      const double log_new = std::log(candidate[j]), log_old = std::log(a[j]);
      const double delta = (ll_candidate[j] + (-0.5) * (log_new * log_new)) -
                           (ll_current[j] + (-0.5) * (log_old * log_old));
      if (std::log(uniform[j]) < delta) a[j] = candidate[j];
    }

    // Difficulties, prior -0.5 b^2, with the discriminations just updated.
    for (std::size_t j = 0; j < n_items; ++j) {
      const double z = driver.normal();
      candidate[j] = clamp_to((0.1 * z + 0.0) + b[j], kMinDiff, kMaxDiff);
      uniform[j] = driver.uniform();
    }
    item_log_likelihood_pairs(responses, theta, a, candidate, a, b, ll_candidate, ll_current);
    for (std::size_t j = 0; j < n_items; ++j) {
      const double delta = (ll_candidate[j] + (-0.5) * (candidate[j] * candidate[j])) -
                           (ll_current[j] + (-0.5) * (b[j] * b[j]));
      if (std::log(uniform[j]) < delta) b[j] = candidate[j];
    }

    if (t >= burnin && (t - burnin) % thin == 0) {
      std::copy(a.begin(), a.end(), a_draws.row(stored));
      std::copy(b.begin(), b.end(), b_draws.row(stored));
      std::copy(theta.begin(), theta.end(), theta_draws.row(stored));
      ll_draws[stored] = compute_total_ll(responses, theta, a_view, b_view);
      ++stored;
    }
  }
  return {std::move(a_draws), std::move(b_draws), std::move(theta_draws), std::move(ll_draws)};
}

}  // namespace

void declare_estimation(Registry& r) {
  r.def<em_fit_2pl>("em_fit_2pl", {"responses", "n_quadpts", "max_iter", "tol"},
                    "EM algorithm for 2PL model fitting");
  r.def<gibbs_sample_2pl>("gibbs_sample_2pl", {"responses", "n_iter", "burnin", "thin", "seed"},
                          "Gibbs sampling for 2PL model");
  r.def<mhrm_fit_2pl>("mhrm_fit_2pl", {"responses", "n_cycles", "burnin", "proposal_sd", "seed"},
                      "Metropolis-Hastings Robbins-Monro for 2PL");
  r.def<bootstrap_fit_2pl>("bootstrap_fit_2pl",
                           {"responses", "n_bootstrap", "n_quadpts", "max_iter", "tol", "seed"},
                           "Bootstrap parameter estimation for 2PL");
}

}  // namespace korvane
