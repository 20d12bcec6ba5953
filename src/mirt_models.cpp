// Response probabilities of models beyond the compensatory 2PL: three
// multidimensional models that combine per-dimension logistic terms
// L_pik = logistic((theta_pk - b_ik) * a_ik) without a compensatory sum, and
// the category probabilities of the sequential (continuation-ratio) model.
//
// Each is one parallel map over persons writing that person's row; the
// products inside a cell run in dimension (or step) order, so results do not
// depend on the number of threads.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "frame/binding.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"

namespace korvane {
namespace {

// Copies the first n_items rows and n_factors columns of an item-by-dimension
// parameter matrix, failing when it has fewer.
std::vector<double> item_by_dimension(const F2& m, std::size_t n_items, std::size_t n_factors, const char* name) {
  if (m.cols() < n_factors) {
    fail(std::string(name) + " has " + std::to_string(m.cols()) + " columns; one per dimension (" +
         std::to_string(n_factors) + ") is needed");
  }
  if (m.rows() < n_items) {
    fail(std::string(name) + " has " + std::to_string(m.rows()) + " rows; one per item (" +
         std::to_string(n_items) + ") is needed");
  }
  std::vector<double> out(checked_product<double>(n_items, n_factors));
  for (std::size_t i = 0; i < n_items; ++i)
    for (std::size_t k = 0; k < n_factors; ++k) out[i * n_factors + k] = m(i, k);
  return out;
}

enum class Combine { Conjunctive, Disjunctive, Partial };

// cell(p, i): conjunctive  prod_k L_pik,
//             disjunctive  1 - prod_k (1 - L_pik),
//             partial      prod_k pow(L_pik, c_ik),
// products from 1.0 in increasing k.
template <Combine kind>
Mat mirt_probs(const F2& theta, const F2& discrimination, const F2& difficulty, const F2* compensation) {
  const std::size_t n_persons = theta.rows(), n_factors = theta.cols(), n_items = discrimination.rows();
  std::vector<double> a, b, c;
  if (n_factors > 0) {
    a = item_by_dimension(discrimination, n_items, n_factors, "discrimination");
    b = item_by_dimension(difficulty, n_items, n_factors, "difficulty");
    if constexpr (kind == Combine::Partial) c = item_by_dimension(*compensation, n_items, n_factors, "compensation");
  }
  Mat out(n_persons, n_items);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<double> th(n_factors);
    for (std::size_t p = begin; p < end; ++p) {
      if (n_factors > 0) theta.copy_row(p, th.data());
      double* row = out.row(p);
      for (std::size_t i = 0; i < n_items; ++i) {
        const double* ai = a.data() + i * n_factors;
        const double* bi = b.data() + i * n_factors;
        double prod = 1.0;
        for (std::size_t k = 0; k < n_factors; ++k) {
          const double L = logistic((th[k] - bi[k]) * ai[k]);
          if constexpr (kind == Combine::Conjunctive) prod *= L;
          if constexpr (kind == Combine::Disjunctive) prod *= 1.0 - L;
          if constexpr (kind == Combine::Partial) prod *= std::pow(L, c[i * n_factors + k]);
        }
        row[i] = (kind == Combine::Disjunctive) ? 1.0 - prod : prod;
      }
    }
  });
  return out;
}

Mat noncompensatory_probs(F2 theta, F2 discrimination, F2 difficulty) {
  return mirt_probs<Combine::Conjunctive>(theta, discrimination, difficulty, nullptr);
}

Mat disjunctive_probs(F2 theta, F2 discrimination, F2 difficulty) {
  return mirt_probs<Combine::Disjunctive>(theta, discrimination, difficulty, nullptr);
}

Mat partially_compensatory_probs(F2 theta, F2 discrimination, F2 difficulty, F2 compensation) {
  return mirt_probs<Combine::Partial>(theta, discrimination, difficulty, &compensation);
}

// Sequential model: step k of item i is passed with s_k = logistic((theta -
// t_ik) * a_i); P(X = j) = s_0 ... s_{j-1} (1 - s_j), and the top category
// n_i - 1 takes the full product.  Item i's block starts at column i * K,
// K the largest entry of `n_categories` (2 when it is empty).
Mat sequential_probs(F1 theta, F1 discrimination, F2 thresholds, I1 n_categories) {
  const std::size_t n_persons = theta.size(), n_items = discrimination.size();
  std::int64_t K = 2;
  if (n_categories.size() > 0) {
    K = n_categories(0);
    for (std::size_t i = 1; i < n_categories.size(); ++i) K = std::max<std::int64_t>(K, n_categories(i));
  }
  if (n_categories.size() < n_items) {
    fail("n_categories has " + std::to_string(n_categories.size()) + " entries; one per item (" +
         std::to_string(n_items) + ") is needed");
  }
  if (thresholds.rows() < n_items) {
    fail("thresholds has " + std::to_string(thresholds.rows()) + " rows; one per item (" +
         std::to_string(n_items) + ") is needed");
  }
  // Per item: its category count, slope and step thresholds (packed).
  std::vector<std::size_t> n_cat(n_items), start(n_items + 1, 0);
  for (std::size_t i = 0; i < n_items; ++i) {
    const std::int32_t n = n_categories(i);
    if (n < 1) fail("n_categories[" + std::to_string(i) + "] is " + std::to_string(n) + "; at least 1 is needed");
    if (thresholds.cols() < static_cast<std::size_t>(n) - 1) {
      fail("thresholds has " + std::to_string(thresholds.cols()) + " columns; item " + std::to_string(i) +
           " with " + std::to_string(n) + " categories needs " + std::to_string(n - 1));
    }
    n_cat[i] = static_cast<std::size_t>(n);
    start[i + 1] = start[i] + n_cat[i] - 1;
  }
  std::vector<double> a = discrimination.to_vector(), t(start[n_items]);
  for (std::size_t i = 0; i < n_items; ++i)
    for (std::size_t k = 0; k + 1 < n_cat[i]; ++k) t[start[i] + k] = thresholds(i, k);
  // Every item has n_i >= 1 and K >= n_i here; with no items the width is 0.
  const std::size_t width = n_items == 0 ? 0 : static_cast<std::size_t>(K);
  Mat out(n_persons, checked_product<double>(n_items, width));
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) {
      const double th = theta(p);
      double* row = out.row(p);
      for (std::size_t i = 0; i < n_items; ++i) {
        double* block = row + i * width;
        const double* ti = t.data() + start[i];
        const std::size_t n = n_cat[i];
        double reached = 1.0;  // s_0 * ... * s_{j-1}
        for (std::size_t j = 0; j + 1 < n; ++j) {
          const double s = logistic((th - ti[j]) * a[i]);
          block[j] = reached * (1.0 - s);
          reached *= s;
        }
        block[n - 1] = reached;
      }
    }
  });
  return out;
}

}  // namespace

void declare_mirt_models(Registry& r) {
  r.def<partially_compensatory_probs>("compute_partially_compensatory_probs",
                                      {"theta", "discrimination", "difficulty", "compensation"},
                                      "Compute probabilities for partially compensatory MIRT model");
  r.def<noncompensatory_probs>("compute_noncompensatory_probs", {"theta", "discrimination", "difficulty"},
                               "Compute probabilities for noncompensatory (conjunctive) MIRT model");
  r.def<disjunctive_probs>("compute_disjunctive_probs", {"theta", "discrimination", "difficulty"},
                           "Compute probabilities for disjunctive MIRT model");
  r.def<sequential_probs>("compute_sequential_probs", {"theta", "discrimination", "thresholds", "n_categories"},
                          "Compute probabilities for sequential response model");
}

}  // namespace korvane
