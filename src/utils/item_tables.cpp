#include "utils/item_tables.hpp"

#include <algorithm>
#include <cmath>

#include "utils/parallel.hpp"

namespace korvane {
namespace {

ItemLogTable::Limit entries(std::size_t length, const char* name) { return {length, std::string(name) + " has " + std::to_string(length) + " entries"}; }

}  // namespace

ItemLogTable::ItemLogTable(std::size_t n_items, std::size_t n_quad, std::vector<Limit> limits)
    : n_items_(n_items), n_quad_(n_quad), usable_(n_items), limits_(std::move(limits)) {
  for (const Limit& l : limits_) usable_ = std::min(usable_, l.usable);
  const std::size_t cells = checked_product<double>(usable_, n_quad);
  correct_.resize(cells);
  incorrect_.resize(cells);
}

void ItemLogTable::fail_missing(std::size_t j) const {
  for (const Limit& l : limits_) {
    if (j >= l.usable) fail(l.what + "; item " + std::to_string(j) + " needs one");
  }
  fail("item " + std::to_string(j) + " has no parameters");
}

ItemLogTable ItemLogTable::two_pl(const F1& quad_points, const F1& a, const F1& b, std::size_t n_items) {
  ItemLogTable t(n_items, quad_points.size(), {entries(a.size(), "discrimination"), entries(b.size(), "difficulty")});
  const std::vector<double> theta = quad_points.to_vector();
  parallel_for(t.usable_, [&](std::size_t j) {
    const double aj = a(j), bj = b(j);
    double* c1 = t.correct_.data() + j * t.n_quad_;
    double* c0 = t.incorrect_.data() + j * t.n_quad_;
    for (std::size_t q = 0; q < t.n_quad_; ++q) {
      const double z = (theta[q] - bj) * aj;
      c1[q] = log_prob_2pl(true, z);
      c0[q] = log_prob_2pl(false, z);
    }
  });
  return t;
}

ItemLogTable ItemLogTable::three_pl(const F1& quad_points, const F1& a, const F1& b, const F1& c,
                                    std::size_t n_items) {
  ItemLogTable t(n_items, quad_points.size(),
                 {entries(a.size(), "discrimination"), entries(b.size(), "difficulty"), entries(c.size(), "guessing")});
  const std::vector<double> theta = quad_points.to_vector();
  parallel_for(t.usable_, [&](std::size_t j) {
    const double aj = a(j), bj = b(j), cj = c(j);
    double* c1 = t.correct_.data() + j * t.n_quad_;
    double* c0 = t.incorrect_.data() + j * t.n_quad_;
    for (std::size_t q = 0; q < t.n_quad_; ++q) {
      const double p = prob_3pl((theta[q] - bj) * aj, cj);
      c1[q] = std::log(p);
      c0[q] = std::log(1.0 - p);
    }
  });
  return t;
}

ItemLogTable ItemLogTable::mirt(const F2& quad_points, const F2& a, const F1& b, std::size_t n_items) {
  if (a.rows() < n_items) {
    fail("discrimination has " + std::to_string(a.rows()) + " rows; the responses have " +
         std::to_string(n_items) + " items");
  }
  const std::size_t n_quad = quad_points.rows();
  const std::size_t n_factors = quad_points.cols();
  // The dot product needs n_factors slopes per item; the location needs b_j.
  const bool enough_columns = a.cols() >= n_factors;
  ItemLogTable t(n_items, n_quad,
                 {{enough_columns ? n_items : 0, "discrimination has " + std::to_string(a.cols()) +
                                                     " columns and quad_points " + std::to_string(n_factors)},
                  entries(b.size(), "difficulty")});
  const std::size_t theta_cells = checked_product<double>(n_quad, n_factors);
  std::vector<double> theta(theta_cells);
  for (std::size_t q = 0; q < n_quad; ++q) quad_points.copy_row(q, theta.data() + q * n_factors);
  parallel_for(t.usable_, [&](std::size_t j) {
    double slope_total = 0.0;  // over all columns of row j, not only the first n_factors
    for (std::size_t k = 0; k < a.cols(); ++k) slope_total += a(j, k);
    const double shift = slope_total * b(j);
    double* c1 = t.correct_.data() + j * t.n_quad_;
    double* c0 = t.incorrect_.data() + j * t.n_quad_;
    for (std::size_t q = 0; q < n_quad; ++q) {
      const double* th = theta.data() + q * n_factors;
      double w = 0.0;
      for (std::size_t k = 0; k < n_factors; ++k) w += a(j, k) * th[k];
      const double z = w - shift;
      c1[q] = log_prob_2pl(true, z);
      c0[q] = log_prob_2pl(false, z);
    }
  });
  return t;
}

}  // namespace korvane

namespace korvane {
namespace {

// out[q0 .. q0 + W) += rows[k][q0 .. q0 + W) for k = 0 .. m - 1 in order, with
// the W running sums held in registers: the same additions, in the same
// order per cell, as adding one table row at a time.
template <std::size_t W>
[[gnu::always_inline]] inline void add_block(const double* const* rows, std::size_t m, std::size_t q0,
                                             double* out) {
  double acc[W];
  for (std::size_t u = 0; u < W; ++u) acc[u] = out[q0 + u];
  for (std::size_t k = 0; k < m; ++k) {
    const double* t = rows[k] + q0;
    for (std::size_t u = 0; u < W; ++u) acc[u] += t[u];
  }
  for (std::size_t u = 0; u < W; ++u) out[q0 + u] = acc[u];
}

// Compiled for several instruction sets and chosen at load time; additions
// are IEEE additions on every path (no contraction), so the bits agree.
[[gnu::target_clones("avx512f", "avx2", "default")]] void add_rows(const double* const* rows, std::size_t m,
                                                                     std::size_t n_quad, double* out) {
  std::size_t q0 = 0;
  for (; q0 + 32 <= n_quad; q0 += 32) add_block<32>(rows, m, q0, out);
  for (; q0 + 8 <= n_quad; q0 += 8) add_block<8>(rows, m, q0, out);
  for (; q0 < n_quad; ++q0) add_block<1>(rows, m, q0, out);
}

}  // namespace

void ItemLogTable::row_log_likelihood(const std::int32_t* row, double* out) const {
  for (std::size_t q = 0; q < n_quad_; ++q) out[q] = 0.0;
  if (n_quad_ == 0) return;
  // Items without parameters must be missing.  Items below usable_ never
  // fail, so the first answered item at or above it is the one reported.
  for (std::size_t j = usable_; j < n_items_; ++j)
    if (row[j] >= 0) fail_missing(j);
  // Table rows of the answered items, gathered without branches a bounded
  // number at a time, so that no buffer is allocated per person.
  constexpr std::size_t kPass = 256;
  const double* rows[kPass];
  const double* const correct = correct_.data();
  const double* const incorrect = incorrect_.data();
  for (std::size_t j0 = 0; j0 < usable_; j0 += kPass) {
    const std::size_t j1 = std::min(usable_, j0 + kPass);
    std::size_t m = 0;
    for (std::size_t j = j0; j < j1; ++j) {
      const std::int32_t x = row[j];
      rows[m] = (x == 1 ? correct : incorrect) + j * n_quad_;
      m += (x >= 0);
    }
    add_rows(rows, m, n_quad_, out);
  }
}

}  // namespace korvane
