// Resampling and imputation: bootstrap person indices, the response matrix of
// one replicate, quasi-Monte-Carlo standard-normal draws, and single and
// multiple imputation of missing dichotomous responses under the 2PL model.
//
// Every random stream belongs to one task and is seeded from seed + the
// task's index (wrapping in 64 bits), so results do not depend on threads.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "frame/binding.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"
#include "utils/random.hpp"

namespace korvane {
namespace {

using Responses = Array<std::int32_t, 2>;

// Row r: n_persons uniform integers in [0, n_persons) from the generator of
// seed + r, in person order.
Array<std::int64_t, 2> bootstrap_indices(std::uint64_t n_persons, std::uint64_t n_bootstrap, std::uint64_t seed) {
  Array<std::int64_t, 2> out(n_bootstrap, n_persons);
  if (n_persons == 0) return out;
  parallel_for(n_bootstrap, [&](std::size_t r) {
    Pcg64 gen(task_seed(seed, r));
    std::int64_t* row = out.row(r);
    for (std::size_t i = 0; i < n_persons; ++i) row[i] = static_cast<std::int64_t>(gen.below(n_persons));
  });
  return out;
}

// Output row r is row indices[r] of `responses`, every column copied verbatim.
Responses resample(I2 responses, L1 indices) {
  const std::size_t n_out = indices.size(), n_persons = responses.rows();
  Responses out(n_out, responses.cols());
  for (std::size_t r = 0; r < n_out; ++r) {
    const std::int64_t idx = indices(r);
    if (idx < 0 || static_cast<std::uint64_t>(idx) >= n_persons) {
      fail("indices[" + std::to_string(r) + "] is " + std::to_string(idx) + "; rows of responses are 0 .. " +
           std::to_string(n_persons) + " - 1");
    }
    responses.copy_row(static_cast<std::size_t>(idx), out.row(r));
  }
  return out;
}

// Radical inverse of k in base B, digits least significant first.
double radical_inverse(std::uint64_t k, std::uint64_t base) {
  const double B = static_cast<double>(base);
  double g = 1.0, u = 0.0;
  for (;;) {
    const std::uint64_t d = k % base;
    g = g / B;
    u = u + static_cast<double>(d) * g;
    if (k < base) break;
    k = k / base;
  }
  return u;
}

// Standard-normal quantile of p by the rational approximation of Abramowitz
// and Stegun 26.2.23 (absolute error below 4.5e-4), p clamped to [0.001, 0.999].
double normal_quantile(double p) {
  p = std::min(0.999, std::max(0.001, p));
  const double q = (p < 0.5) ? p : 1.0 - p;
  const double t = std::sqrt(-2.0 * std::log(q));
  const double t2 = t * t, t3 = t2 * t;
  const double x =
      t - (2.515517 + 0.802853 * t + 0.010328 * t2) / (1.0 + 1.432788 * t + 0.189269 * t2 + 0.001308 * t3);
  return (p < 0.5) ? -x : x;
}

// Entry (person, s, f): the quantile of the radical inverse of s + 1 in base
// f + 2.  The block does not depend on the person or on the seed; it is
// computed once and repeated for every person.
Array<double, 3> qmc_samples(std::uint64_t n_persons, std::uint64_t n_samples, std::uint64_t n_factors,
                             std::uint64_t /*seed: no effect*/) {
  Array<double, 3> out(n_persons, n_samples, n_factors);
  const std::size_t block = checked_product<double>(n_samples, n_factors);
  if (n_persons == 0 || block == 0) return out;
  std::vector<double> first(block);
  for (std::size_t s = 0; s < n_samples; ++s)
    for (std::size_t f = 0; f < n_factors; ++f)
      first[s * n_factors + f] = normal_quantile(radical_inverse(s + 1, f + 2));
  parallel_for(n_persons,
               [&](std::size_t i) { std::memcpy(out.data() + i * block, first.data(), block * sizeof(double)); });
  return out;
}

// Item parameters of the imputation kernels, read only for items that have a
// missing cell to fill: a short vector fails there, not before.
struct ImputationItems {
  std::vector<double> a, b;
  ImputationItems(const F1& discrimination, const F1& difficulty)
      : a(discrimination.to_vector()), b(difficulty.to_vector()) {}

  // out[j] = row[j] for observed cells; a cell equal to `missing` becomes 1 when
  // logistic(a_j (theta - b_j)) > u, u one uniform draw per missing cell.
  void fill_row(std::int32_t* out, std::size_t n_items, std::int32_t missing, double theta, Pcg64& gen) const {
    for (std::size_t j = 0; j < n_items; ++j) {
      if (out[j] != missing) continue;
      require_entry(j, a.size(), "discrimination");
      require_entry(j, b.size(), "difficulty");
      const double P = logistic(a[j] * (theta - b[j]));
      out[j] = (P > gen.uniform()) ? 1 : 0;  // NaN > u is false: NaN gives 0
    }
  }
};

void require_per_person(const F1& v, std::size_t n_persons, const char* name) {
  if (n_persons > 0) require_entry(n_persons - 1, v.size(), name);
}

Responses impute_from_probabilities(I2 responses, F1 theta, F1 discrimination, F1 difficulty,
                                    std::int32_t missing_code, std::uint64_t seed) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  require_per_person(theta, n_persons, "theta");
  const ImputationItems items(discrimination, difficulty);
  Responses out(n_persons, n_items);
  parallel_for(n_persons, [&](std::size_t i) {
    Pcg64 gen(task_seed(seed, i));
    std::int32_t* row = out.row(i);
    responses.copy_row(i, row);
    items.fill_row(row, n_items, missing_code, theta(i), gen);
  });
  return out;
}

// Imputation m, person i: generator of seed + m * n_persons + i, one standard
// normal z first, theta~ = theta_mean[i] + z * theta_se[i], then one uniform per
// missing cell.  Each (imputation, person) pair owns its generator, so the
// pairs run as one flat parallel loop whose index t = m * n_persons + i is
// exactly the seed offset.
Array<std::int32_t, 3> multiple_imputation(I2 responses, F1 theta_mean, F1 theta_se, F1 discrimination,
                                           F1 difficulty, std::int32_t missing_code, std::uint64_t n_imputations,
                                           std::uint64_t seed) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  if (n_imputations > 0) {  // with no imputation no person is processed
    require_per_person(theta_mean, n_persons, "theta_mean");
    require_per_person(theta_se, n_persons, "theta_se");
  }
  const ImputationItems items(discrimination, difficulty);
  Array<std::int32_t, 3> out(n_imputations, n_persons, n_items);
  const std::size_t n_tasks = checked_product<std::int32_t>(n_imputations, n_persons);
  parallel_for(n_tasks, [&](std::size_t t) {
    const std::size_t i = t % n_persons;
    Pcg64 gen(task_seed(seed, t));
    const double z = gen.normal();
    const double theta = theta_mean(i) + z * theta_se(i);
    std::int32_t* row = out.data() + t * n_items;
    responses.copy_row(i, row);
    items.fill_row(row, n_items, missing_code, theta, gen);
  });
  return out;
}

}  // namespace

void declare_bootstrap(Registry& r) {
  r.def<bootstrap_indices>("generate_bootstrap_indices", {"n_persons", "n_bootstrap", "seed"},
                           "Generate bootstrap sample indices");
  r.def<resample>("resample_responses", {"responses", "indices"}, "Resample responses matrix");
  r.def<impute_from_probabilities>("impute_from_probabilities",
                                   {"responses", "theta", "discrimination", "difficulty", "missing_code", "seed"},
                                   "Impute missing data using model probabilities");
  r.def<multiple_imputation>("multiple_imputation",
                             {"responses", "theta_mean", "theta_se", "discrimination", "difficulty", "missing_code",
                              "n_imputations", "seed"},
                             "Multiple imputation in parallel");
  r.def<qmc_samples>("generate_qmc_samples", {"n_persons", "n_samples", "n_factors", "_seed"},
                     "Generate quasi-Monte Carlo samples");
}

}  // namespace korvane
