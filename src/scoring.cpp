// Person scores under known 2PL item parameters: EAP on a caller-supplied
// quadrature grid, and the weighted likelihood estimate (WLE) by a
// golden-section search on a caller-supplied interval.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "frame/binding.hpp"
#include "utils/item_tables.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"
#include "utils/posterior.hpp"

namespace korvane {
namespace {

constexpr double kWeightFloor = 1e-10;  // added to every prior weight before its log
constexpr double kInfoFloor = 1e-10;    // information at or below this adds no WLE term
constexpr double kPhi = 1.618033988749895;

// ---- EAP ---------------------------------------------------------------------

// Each person's log-likelihood row is a sum of item-by-node table rows (the
// same bits as log_likelihood_2pl per node); the posterior summary then runs
// over the nodes in order.
std::tuple<Vec, Vec> eap_scores(I2 responses, F1 quad_points, F1 quad_weights, F1 discrimination,
                                F1 difficulty) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const std::size_t n_quad = quad_points.size();
  if (quad_weights.size() < n_quad) {
    fail("quad_weights has " + std::to_string(quad_weights.size()) + " entries; quad_points has " +
         std::to_string(n_quad));
  }
  std::vector<double> theta = quad_points.to_vector();
  std::vector<double> log_prior(n_quad);
  for (std::size_t q = 0; q < n_quad; ++q) log_prior[q] = std::log(quad_weights(q) + kWeightFloor);
  const ItemLogTable table = ItemLogTable::two_pl(quad_points, discrimination, difficulty, n_items);

  Vec eap(n_persons), se(n_persons);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<double> lp(n_quad), post(n_quad);
    for (std::size_t i = begin; i < end; ++i) {
      responses.copy_row(i, row.data());
      table.row_log_likelihood(row.data(), lp.data());
      for (std::size_t q = 0; q < n_quad; ++q) lp[q] += log_prior[q];
      const GridSummary g = summarize_grid_posterior(lp.data(), theta.data(), n_quad, post.data());
      eap[i] = g.mean;
      se[i] = g.se;
    }
  });
  return {std::move(eap), std::move(se)};
}

// ---- WLE ---------------------------------------------------------------------

// Item parameters of the information sum (items 0 .. min(len a, len b) - 1),
// copied once per call.
struct WleItems {
  std::vector<double> a, b, a2;  // a2 = a * a
  std::size_t n = 0;
};

// Log-likelihood (answered items) and test information (every item) at theta
// in one pass: exp(-|z|) is shared between log_sigmoid(+-z) and P, which
// gives the same bits as evaluating each of them on its own.  code[j] is the
// response to item j, -1 where it is missing or beyond the response row.
inline double weighted_log_likelihood(const WleItems& it, const std::int32_t* code, double theta) {
  double ll = 0.0, info = 0.0;
  for (std::size_t j = 0; j < it.n; ++j) {
    const double z = (theta - it.b[j]) * it.a[j];
    const std::int32_t x = code[j];
    double p;
    if (z >= 0) {
      const double e = std::exp(-z);
      p = 1.0 / (e + 1.0);
      if (x >= 0) ll += (x == 1 || z <= 0) ? -std::log1p(e) : -z - std::log1p(e);
    } else if (z < 0) {
      const double e = std::exp(z);
      p = e / (e + 1.0);
      if (x >= 0) ll += (x == 1) ? z - std::log1p(e) : -std::log1p(e);
    } else {  // NaN: the plain forms, so that even the NaN bits agree
      p = logistic(z);
      if (x >= 0) ll += log_prob_2pl(x == 1, z);
    }
    info += (1.0 - p) * (it.a2[j] * p);
  }
  return info > kInfoFloor ? ll + 0.5 * std::log(info) : ll;
}

inline double test_information(const WleItems& it, double theta) {
  double info = 0.0;
  for (std::size_t j = 0; j < it.n; ++j) {
    const double p = logistic((theta - it.b[j]) * it.a[j]);
    info += (1.0 - p) * (it.a2[j] * p);
  }
  return info;
}

struct Memo {
  double x = 0.0, f = 0.0;
  bool valid = false;
};

inline bool same_bits(double x, double y) {
  return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

// The golden-section search runs while the bracket is wider than tol and
// also stops when an iteration leaves the bracket unchanged: from then on
// every iteration would repeat the same one, so without this rule a
// tolerance of 0 (or a bracket a few units in the last place wide) would
// never end.  Searches that end by the width test are untouched by it.
std::tuple<Vec, Vec> wle_scores(I2 responses, F1 discrimination, F1 difficulty, double theta_min,
                                double theta_max, double tol) {
  if (std::isinf(theta_min)) fail("theta_min is infinite; the search interval must be finite");
  if (std::isinf(theta_max)) fail("theta_max is infinite; the search interval must be finite");
  if (tol < 0) tol = 0.0;  // a negative tolerance counts as 0 (a NaN one stops at once)

  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  WleItems it;
  it.n = std::min(discrimination.size(), difficulty.size());
  it.a = discrimination.to_vector();
  it.b = difficulty.to_vector();
  it.a.resize(it.n);
  it.b.resize(it.n);
  it.a2.resize(it.n);
  for (std::size_t j = 0; j < it.n; ++j) it.a2[j] = it.a[j] * it.a[j];
  // Whether the search takes a step is the same for every person; only then
  // is a likelihood evaluated and are the answered items checked against the
  // parameter lengths.
  const bool searches = theta_max - theta_min > tol;

  Vec wle(n_persons), se(n_persons);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<std::int32_t> code(it.n, -1);
    for (std::size_t i = begin; i < end; ++i) {
      responses.copy_row(i, row.data());
      std::size_t answered = 0;
      for (std::size_t j = 0; j < n_items; ++j) {
        if (row[j] < 0) continue;
        ++answered;
        if (searches) {
          require_entry(j, discrimination.size(), "discrimination");
          require_entry(j, difficulty.size(), "difficulty");
        }
      }
      if (answered == 0) {
        wle[i] = 0.0;
        se[i] = kInf;
        continue;
      }
      const std::size_t shared = std::min(n_items, it.n);
      std::copy(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(shared), code.begin());

      // WL is a pure function of theta: when a new point is bit for bit a
      // point of the previous iteration, its value is taken from there (the
      // same number a fresh evaluation gives).
      const auto evaluate = [&](double x, const Memo& m1, const Memo& m2) {
        if (m1.valid && same_bits(x, m1.x)) return m1.f;
        if (m2.valid && same_bits(x, m2.x)) return m2.f;
        return weighted_log_likelihood(it, code.data(), x);
      };
      Memo m1, m2;
      double lo = theta_min, hi = theta_max;
      double width = hi - lo;
      while (width > tol) {
        const double d = width / kPhi;
        const double x1 = hi - d;
        const double x2 = lo + d;
        const double f1 = evaluate(x1, m1, m2);
        const double f2 = evaluate(x2, m1, m2);
        m1 = {x1, f1, true};
        m2 = {x2, f2, true};
        const double new_lo = (f1 > f2) ? lo : x1;
        const double new_hi = (f1 > f2) ? x2 : hi;
        if (new_lo == lo && new_hi == hi) break;
        lo = new_lo;
        hi = new_hi;
        width = hi - lo;
      }
      const double estimate = (lo + hi) * 0.5;
      const double info = test_information(it, estimate);
      wle[i] = estimate;
      se[i] = info > kInfoFloor ? 1.0 / std::sqrt(info) : kInf;
    }
  });
  return {std::move(wle), std::move(se)};
}

}  // namespace

void declare_scoring(Registry& r) {
  r.def<eap_scores>("compute_eap_scores",
                    {"responses", "quad_points", "quad_weights", "discrimination", "difficulty"},
                    "Compute EAP (Expected A Posteriori) scores");
  r.def<wle_scores>("compute_wle_scores",
                    {"responses", "discrimination", "difficulty", "theta_min", "theta_max", "tol"},
                    "Compute WLE (Weighted Likelihood Estimation) scores");
}

}  // namespace korvane
