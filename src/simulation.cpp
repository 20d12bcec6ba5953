// Response simulation: synthetic response matrices drawn from known abilities
// and item parameters under the 2PL/3PL, graded-response and generalized
// partial credit models.
//
// Each person's row is drawn by one task whose generator is seeded from
// seed + person index, one uniform draw per item in item order, so a seed
// gives the same matrix on any number of threads.  The category probabilities
// live in per-chunk scratch buffers: nothing is allocated per person or cell.
#include <cmath>
#include <vector>

#include "frame/binding.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"
#include "utils/random.hpp"

namespace korvane {
namespace {

using Responses = Array<std::int32_t, 2>;

// The smallest category whose cumulative probability (summed in category
// order) is strictly greater than u, or the top category when none is.
inline std::int32_t draw_category(const double* p, std::size_t n_categories, double u) {
  double cumulative = 0.0;
  for (std::size_t k = 0; k < n_categories; ++k) {
    cumulative += p[k];
    if (cumulative > u) return static_cast<std::int32_t>(k);
  }
  return static_cast<std::int32_t>(n_categories - 1);
}

// Parameters of the polytomous models, copied once per call: the slopes and
// the first n_items rows of `thresholds`, item by item.
struct PolytomousItems {
  std::size_t n_items = 0;
  std::size_t n_steps = 0;  // K - 1 thresholds per item
  std::vector<double> a;
  std::vector<double> thresholds;  // n_items x n_steps

  PolytomousItems(const F1& discrimination, const F2& thr) : n_items(discrimination.size()), n_steps(thr.cols()) {
    if (thr.rows() < n_items) {
      fail("thresholds has " + std::to_string(thr.rows()) + " rows; one row per item (" +
           std::to_string(n_items) + ") is needed");
    }
    a = discrimination.to_vector();
    thresholds.resize(checked_product<double>(n_items, n_steps));
    for (std::size_t j = 0; j < n_items; ++j) thr.copy_row(j, thresholds.data() + j * n_steps);
  }
  std::size_t n_categories() const { return n_steps + 1; }
  const double* row(std::size_t j) const { return thresholds.data() + j * n_steps; }
};

// One parallel map over persons; fill(theta, item, u, scratch) returns the
// drawn category.  theta is column 0 of a 2-D `theta`.
template <class Fill>
Responses simulate_polytomous(const F2& theta, const PolytomousItems& items, std::uint64_t seed, Fill&& fill) {
  const std::size_t n_persons = theta.rows(), n_items = items.n_items;
  if (n_persons > 0 && theta.cols() == 0) fail("theta has no columns; column 0 holds the abilities");
  Responses out(n_persons, n_items);
  const std::size_t K = items.n_categories();
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<double> scratch(2 * K + 1);
    for (std::size_t i = begin; i < end; ++i) {
      Pcg64 gen(task_seed(seed, i));
      const double th = theta(i, 0);
      std::int32_t* row = out.row(i);
      for (std::size_t j = 0; j < n_items; ++j) row[j] = fill(th, j, gen.uniform(), scratch.data());
    }
  });
  return out;
}

Responses simulate_grm(F2 theta, F1 discrimination, F2 thresholds, std::uint64_t seed) {
  const PolytomousItems items(discrimination, thresholds);
  const std::size_t K = items.n_categories();
  return simulate_polytomous(theta, items, seed, [&](double th, std::size_t j, double u, double* scratch) {
    // cum[k] = P(X >= k): 1 for k = 0, logistic((theta - delta_{k-1}) * a) for
    // k = 1 .. K-1, 0 for k = K.
    double* cum = scratch;
    double* p = scratch + K + 1;
    const double a = items.a[j];
    const double* delta = items.row(j);
    cum[0] = 1.0;
    for (std::size_t k = 1; k < K; ++k) cum[k] = logistic((th - delta[k - 1]) * a);
    cum[K] = 0.0;
    double total = 0.0;
    for (std::size_t k = 0; k < K; ++k) {
      const double d = cum[k] - cum[k + 1];
      p[k] = (d > 0.0) ? d : 0.0;  // negative differences and NaN become 0
      total += p[k];
    }
    if (total > 1e-10)
      for (std::size_t k = 0; k < K; ++k) p[k] /= total;
    return draw_category(p, K, u);
  });
}

Responses simulate_gpcm(F2 theta, F1 discrimination, F2 thresholds, std::uint64_t seed) {
  const PolytomousItems items(discrimination, thresholds);
  const std::size_t K = items.n_categories();
  return simulate_polytomous(theta, items, seed, [&](double th, std::size_t j, double u, double* scratch) {
    // e_k = exp(sum_{m<k} (theta - delta_m) * a), unshifted; overflow or total
    // underflow gives NaN probabilities and so the top category.
    double* e = scratch;
    const double a = items.a[j];
    const double* delta = items.row(j);
    double s = -0.0;
    double total = 0.0;
    for (std::size_t k = 0; k < K; ++k) {
      if (k > 0) s += (th - delta[k - 1]) * a;
      e[k] = std::exp(s);
      total += e[k];
    }
    for (std::size_t k = 0; k < K; ++k) e[k] /= total;
    return draw_category(e, K, u);
  });
}

Responses simulate_dichotomous(F1 theta, F1 discrimination, F1 difficulty, OptF1 guessing, std::uint64_t seed) {
  const std::size_t n_persons = theta.size(), n_items = discrimination.size();
  std::vector<double> a = discrimination.to_vector(), b(n_items), c(n_items, 0.0);
  for (std::size_t j = 0; j < n_items; ++j) {
    require_entry(j, difficulty.size(), "difficulty");
    b[j] = difficulty(j);
    if (guessing) {
      require_entry(j, guessing->size(), "guessing");
      c[j] = (*guessing)(j);
    }
  }
  Responses out(n_persons, n_items);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      Pcg64 gen(task_seed(seed, i));
      const double th = theta(i);
      std::int32_t* row = out.row(i);
      for (std::size_t j = 0; j < n_items; ++j) {
        const double p = logistic((th - b[j]) * a[j]);
        const double P = p * (1.0 - c[j]) + c[j];
        row[j] = (P > gen.uniform()) ? 1 : 0;  // NaN > u is false: NaN gives 0
      }
    }
  });
  return out;
}

}  // namespace

void declare_simulation(Registry& r) {
  r.def<simulate_grm>("simulate_grm", {"theta", "discrimination", "thresholds", "seed"},
                      "Simulate responses from Graded Response Model");
  r.def<simulate_gpcm>("simulate_gpcm", {"theta", "discrimination", "thresholds", "seed"},
                       "Simulate responses from Generalized Partial Credit Model");
  r.def<simulate_dichotomous>("simulate_dichotomous",
                              {"theta", "discrimination", "difficulty", "guessing", "seed"},
                              "Simulate dichotomous responses (2PL/3PL)");
}

}  // namespace korvane
