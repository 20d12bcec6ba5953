// Response simulation: synthetic response matrices drawn from known abilities
// and item parameters under the 2PL/3PL, graded-response and generalized
// partial credit models.
//
// Each person's row is drawn by one task whose generator is seeded from
// seed + person index, one uniform draw per item in item order, so a seed
// gives the same matrix on any number of threads.  The category probabilities
// live in per-chunk scratch buffers: nothing is allocated per person or cell.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
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

// ---- Graded-response draws: fast decisions with an exact fallback
//
// A draw only compares cumulative probabilities with u, so their exact
// values are needed only when u lies very close to one of them.  Each
// person's step probabilities are first approximated for all items at once
// with a branch-free vectorised polynomial exponential; when the steps are
// clearly decreasing (no category is clipped to 0) and every cumulative sum
// clears u by kMargin, the category is the one the exact evaluation gives.
// Otherwise the item is evaluated exactly as the model states.  The
// approximation's error is below 1e-11, so the margin of 1e-9 leaves a wide
// safety factor, and the exact path runs only for u within about 1e-9 of a
// boundary, for nearly equal or unordered thresholds, near-certain steps and
// NaN inputs.

constexpr double kMargin = 1e-9;

// logistic(z) to within 1e-11 absolute for every z (NaN for NaN):
// exp(-|z|) by exp(x) = 2^n e^r, n = round(x / ln 2), |r| <= ln 2 / 2, and
// the Taylor polynomial of e^r to degree 9 (truncation below 1e-11).  Four
// lanes at a time with the compiler's vector extension (two SSE2 halves, or
// one AVX2 register in the clone built for processors that have it); the
// selections are bit masks, so there is no data-dependent branch.
using Lanes = double __attribute__((vector_size(32)));
using LaneBits = std::int64_t __attribute__((vector_size(32)));

// e^r by its Taylor polynomial of degree 9, in place (by reference, so that
// the vector form passes no vector by value).
template <class V>
inline void exp_series(V& r) {
  V poly = r * (1.0 / 362880.0) + 1.0 / 40320.0;
  poly = poly * r + 1.0 / 5040.0;
  poly = poly * r + 1.0 / 720.0;
  poly = poly * r + 1.0 / 120.0;
  poly = poly * r + 1.0 / 24.0;
  poly = poly * r + 1.0 / 6.0;
  poly = poly * r + 0.5;
  poly = poly * r + 1.0;
  r = poly * r + 1.0;
}

constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2Hi = 6.93147180369123816490e-01;  // few mantissa bits: n * hi is exact
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kShifter = 0x1.8p52;  // adding it rounds to an integer held in the low bits
constexpr double kFloor = -700.0;      // exp(-700) ~ 1e-304, far below the error bound

double approx_logistic_one(double z) {
  double x = -std::fabs(z);
  if (x < kFloor) x = kFloor;  // NaN stays NaN
  const double t = x * kLog2e + kShifter;
  const double nd = t - kShifter;
  double r = (x - nd * kLn2Hi) - nd * kLn2Lo;
  exp_series(r);
  const std::uint64_t k = std::bit_cast<std::uint64_t>(t) - std::bit_cast<std::uint64_t>(kShifter);
  const double e = r * std::bit_cast<double>((k + 1023) << 52);
  return ((z >= 0) ? 1.0 : e) / (e + 1.0);
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target_clones("avx2", "default")]]
#endif
void approx_logistic(const double* z, double* out, std::size_t n) {
  constexpr std::int64_t kSign = std::numeric_limits<std::int64_t>::min();
  const LaneBits sign = {kSign, kSign, kSign, kSign};
  const Lanes one = {1.0, 1.0, 1.0, 1.0}, floor = {kFloor, kFloor, kFloor, kFloor}, zero = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Lanes zi;
    std::memcpy(&zi, z + i, sizeof zi);
    Lanes x = (Lanes)((LaneBits)zi | sign);  // -|z|
    const LaneBits low = x < floor;           // false for NaN
    x = (Lanes)(((LaneBits)x & ~low) | ((LaneBits)floor & low));
    const Lanes t = x * kLog2e + kShifter;
    const Lanes nd = t - kShifter;
    Lanes r = (x - nd * kLn2Hi) - nd * kLn2Lo;
    exp_series(r);
    const LaneBits k = (LaneBits)t - std::bit_cast<std::int64_t>(kShifter);
    const Lanes e = r * (Lanes)((k + 1023) << 52);
    const LaneBits positive = zi >= zero;
    const Lanes num = (Lanes)(((LaneBits)one & positive) | ((LaneBits)e & ~positive));
    const Lanes p = num / (e + 1.0);
    std::memcpy(out + i, &p, sizeof p);
  }
  for (; i < n; ++i) out[i] = approx_logistic_one(z[i]);
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

// One parallel map over persons.  Per chunk the model gets one scratch
// buffer; per person model.person(theta, scratch) prepares what the items
// share, then model.item(theta, j, u, scratch) returns the category of item j
// for its uniform u.  theta is column 0 of a 2-D `theta`.
template <class Model>
Responses simulate_polytomous(const F2& theta, const Model& model, std::uint64_t seed) {
  const std::size_t n_persons = theta.rows(), n_items = model.items.n_items;
  if (n_persons > 0 && theta.cols() == 0) fail("theta has no columns; column 0 holds the abilities");
  Responses out(n_persons, n_items);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<double> scratch(model.scratch_size());
    for (std::size_t i = begin; i < end; ++i) {
      Pcg64 gen(task_seed(seed, i));
      const double th = theta(i, 0);
      model.person(th, scratch.data());
      std::int32_t* row = out.row(i);
      for (std::size_t j = 0; j < n_items; ++j) row[j] = model.item(th, j, gen.uniform(), scratch.data());
    }
  });
  return out;
}

struct GradedResponse {
  const PolytomousItems& items;
  std::size_t K;

  // Approximate step probabilities of every item (n_items x (K - 1)), then
  // 2K + 1 doubles for the exact evaluation.
  std::size_t scratch_size() const { return checked_product<double>(items.n_items, K - 1) + 2 * K + 1; }

  void person(double th, double* scratch) const {
    double* star = scratch + 2 * K + 1;
    const std::size_t steps = K - 1;
    for (std::size_t j = 0; j < items.n_items; ++j) {
      const double a = items.a[j];
      const double* delta = items.row(j);
      for (std::size_t k = 0; k < steps; ++k) star[j * steps + k] = (th - delta[k]) * a;
    }
    approx_logistic(star, star, items.n_items * steps);
  }

  std::int32_t item(double th, std::size_t j, double u, double* scratch) const {
    // With P*_0 = 1 and P*_K = 0, the cumulative probability of categories
    // 0 .. k is 1 - P*_{k+1} as long as no difference P*_k - P*_{k+1} is
    // negative (no category is clipped to 0) and the approximations keep the
    // differences and comparisons clear of the margin.
    const double* star = scratch + 2 * K + 1 + j * (K - 1);
    if (K <= 64) {
      // Category = number of cumulative sums below u, once each sum is clear
      // of u and the steps are clearly decreasing; no data-dependent branch.
      double previous = 1.0;
      bool clear = true;
      std::int32_t count = 0;
      for (std::size_t k = 0; k + 1 < K; ++k) {
        const double cumulative = 1.0 - star[k];
        const bool lower = cumulative < u - kMargin;
        clear &= (previous - star[k] > kMargin) & (lower | (cumulative > u + kMargin));
        count += lower;
        previous = star[k];
      }
      if (clear & (previous > kMargin)) return count;
    }
    return exact(th, j, u, scratch);
  }

  std::int32_t exact(double th, std::size_t j, double u, double* scratch) const {
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
  }
};

struct PartialCredit {
  const PolytomousItems& items;
  std::size_t K;

  std::size_t scratch_size() const { return K; }
  void person(double, double*) const {}

  std::int32_t item(double th, std::size_t j, double u, double* scratch) const {
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
  }
};

Responses simulate_grm(F2 theta, F1 discrimination, F2 thresholds, std::uint64_t seed) {
  const PolytomousItems items(discrimination, thresholds);
  return simulate_polytomous(theta, GradedResponse{items, items.n_categories()}, seed);
}

Responses simulate_gpcm(F2 theta, F1 discrimination, F2 thresholds, std::uint64_t seed) {
  const PolytomousItems items(discrimination, thresholds);
  return simulate_polytomous(theta, PartialCredit{items, items.n_categories()}, seed);
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
