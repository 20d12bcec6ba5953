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
