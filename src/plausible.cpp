// Plausible values: random draws from each person's ability posterior under
// known 2PL item parameters, either from the discrete posterior on a grid
// (plus normal jitter) or from a random-walk Metropolis chain.  Person i
// draws from its own generator seeded with seed + i, so its values depend
// only on the seed and its own response row.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "frame/binding.hpp"
#include "utils/item_tables.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"
#include "utils/random.hpp"

namespace korvane {
namespace {

constexpr double kWeightFloor = 1e-10;  // added to every prior weight before its log

// Node draws: u below the running sum pi_0 + ... + pi_q selects the first
// such q.  The running sums are formed once per person in node order (the
// same bits as accumulating them during a walk) and searched by bisection;
// they never decrease, and from the first NaN on no u is below them, so the
// search covers the sums before it.  When no sum exceeds u the last grid node
// is taken.
Mat plausible_posterior(I2 responses, F1 quad_points, F1 quad_weights, F1 discrimination, F1 difficulty,
                        std::uint64_t n_plausible, double jitter_sd, std::uint64_t seed) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const std::size_t n_points = quad_points.size();
  const std::size_t n = std::min(n_points, quad_weights.size());
  const std::size_t n_draws = static_cast<std::size_t>(n_plausible);
  std::vector<double> theta = quad_points.to_vector();
  std::vector<double> log_prior(n);
  for (std::size_t q = 0; q < n; ++q) log_prior[q] = std::log(quad_weights(q) + kWeightFloor);
  const ItemLogTable table = ItemLogTable::two_pl(quad_points, discrimination, difficulty, n_items);

  Mat out(n_persons, n_draws);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<double> ll(n_points), cum(n);
    for (std::size_t i = begin; i < end; ++i) {
      Pcg64 gen(task_seed(seed, i));
      const Normal jitter_check(0.0, jitter_sd);  // fails on a non-finite jitter_sd
      (void)jitter_check;
      responses.copy_row(i, row.data());
      table.row_log_likelihood(row.data(), ll.data());

      double top = -kInf;
      for (std::size_t q = 0; q < n; ++q) {
        cum[q] = ll[q] + log_prior[q];
        if (cum[q] > top) top = cum[q];
      }
      double total = 0.0;
      for (std::size_t q = 0; q < n; ++q) {
        cum[q] = std::exp(cum[q] - top);
        total += cum[q];
      }
      double c = 0.0;
      std::size_t valid = n;
      for (std::size_t q = 0; q < n; ++q) {
        c += cum[q] / total;
        cum[q] = c;
        if (std::isnan(c) && valid == n) valid = q;
      }

      double* dst = out.row(i);
      for (std::size_t k = 0; k < n_draws; ++k) {
        const double u = gen.uniform();
        std::size_t node = static_cast<std::size_t>(std::upper_bound(cum.data(), cum.data() + valid, u) - cum.data());
        if (node == valid) {
          if (n_points == 0) fail("quad_points is empty; there is no node to draw");
          node = n_points - 1;
        }
        dst[k] = jitter_sd * gen.normal() + theta[node];
      }
    }
  });
  return out;
}

// Random-walk Metropolis on g(theta) = l(theta) - 0.5 theta^2.  g of the
// current state is kept from the step that produced it: it is the same
// number as a fresh evaluation.
Mat plausible_mcmc(I2 responses, F1 discrimination, F1 difficulty, std::uint64_t n_plausible,
                   std::uint64_t n_iter, double proposal_sd, std::uint64_t seed) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const std::size_t n_draws = static_cast<std::size_t>(n_plausible);
  const std::vector<double> a = discrimination.to_vector(), b = difficulty.to_vector();
  // Only a chain that takes a step evaluates a likelihood; only then are the
  // answered items checked against the parameter lengths.
  const bool evaluates = n_iter > 0 && n_draws > 0;

  Mat out(n_persons, n_draws);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    // The answered items of the current person, in item order.
    std::vector<double> ia(n_items), ib(n_items);
    std::vector<char> correct(n_items);
    for (std::size_t i = begin; i < end; ++i) {
      Pcg64 gen(task_seed(seed, i));
      const Normal proposal(0.0, proposal_sd);
      responses.copy_row(i, row.data());
      std::size_t m = 0;
      if (evaluates) {
        for (std::size_t j = 0; j < n_items; ++j) {
          if (row[j] < 0) continue;
          require_entry(j, a.size(), "discrimination");
          require_entry(j, b.size(), "difficulty");
          ia[m] = a[j];
          ib[m] = b[j];
          correct[m] = row[j] == 1;
          ++m;
        }
      }
      const auto log_target = [&](double th) {
        double ll = 0.0;
        for (std::size_t t = 0; t < m; ++t) ll += log_prob_2pl(correct[t] != 0, (th - ib[t]) * ia[t]);
        return ll - 0.5 * th * th;
      };

      double theta = 0.0;
      double g_theta = evaluates ? log_target(theta) : 0.0;
      double* dst = out.row(i);
      for (std::size_t k = 0; k < n_draws; ++k) {
        for (std::uint64_t step = 0; step < n_iter; ++step) {
          const double cand = proposal(gen) + theta;
          const double g_cand = log_target(cand);
          const double u = gen.uniform();
          if (std::log(u) < g_cand - g_theta) {
            theta = cand;
            g_theta = g_cand;
          }
        }
        dst[k] = theta;
      }
    }
  });
  return out;
}

}  // namespace

void declare_plausible(Registry& r) {
  r.def<plausible_posterior>("generate_plausible_values_posterior",
                             {"responses", "quad_points", "quad_weights", "discrimination", "difficulty",
                              "n_plausible", "jitter_sd", "seed"},
                             "Generate plausible values using posterior sampling");
  r.def<plausible_mcmc>("generate_plausible_values_mcmc",
                        {"responses", "discrimination", "difficulty", "n_plausible", "n_iter", "proposal_sd",
                         "seed"},
                        "Generate plausible values using MCMC");
}

}  // namespace korvane
