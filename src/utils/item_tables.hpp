// Item-by-node log-probability tables.
//
// The log-probability of a response to item j at node q does not depend on
// the person, so a call computes it once for every (item, node) and each
// person's log-likelihood row is a sum of table rows in item order: the same
// bits as evaluating log_likelihood_2pl per person and node, with
// n_items x n_quad instead of n_persons x n_items x n_quad exponentials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/types.hpp"
#include "utils/numerics.hpp"

namespace korvane {

class ItemLogTable {
 public:
  // 2PL: log_sigmoid(z) and log_sigmoid(-z), z = (theta_q - b_j) * a_j.
  static ItemLogTable two_pl(const F1& quad_points, const F1& a, const F1& b, std::size_t n_items);
  // 3PL: ln P and ln(1 - P) of the clamped 3PL probability.
  static ItemLogTable three_pl(const F1& quad_points, const F1& a, const F1& b, const F1& c,
                               std::size_t n_items);
  // Compensatory multidimensional model: z = sum_k a_jk theta_qk - s_j b_j,
  // s_j the sum of all entries of row j of `a`.  Fails up front when `a` has
  // fewer than n_items rows.
  static ItemLogTable mirt(const F2& quad_points, const F2& a, const F1& b, std::size_t n_items);

  std::size_t n_items() const { return n_items_; }
  std::size_t n_quad() const { return n_quad_; }

  // Table row of item j for response code x >= 0 (code 1 correct).
  const double* log_probs(std::size_t j, std::int32_t x) const {
    return (x == 1 ? correct_.data() : incorrect_.data()) + j * n_quad_;
  }

  // out[q] = sum over the non-missing codes of `row` (n_items of them), in
  // item order, of log P(x_j | theta_q).  A non-missing code of an item that
  // has no parameters fails the call, unless there are no nodes (then no
  // log-likelihood is evaluated).
  void row_log_likelihood(const std::int32_t* row, double* out) const;

  // Fails with the message of the first parameter that item j lacks.
  [[noreturn]] void fail_missing(std::size_t j) const;

  struct Limit {
    std::size_t usable;  // items below this have the parameter
    std::string what;    // "difficulty has 4 entries"
  };

 private:

  ItemLogTable(std::size_t n_items, std::size_t n_quad, std::vector<Limit> limits);

  std::size_t n_items_ = 0;
  std::size_t n_quad_ = 0;
  std::size_t usable_ = 0;  // items with every parameter
  std::vector<Limit> limits_;
  std::vector<double> correct_;
  std::vector<double> incorrect_;
};

}  // namespace korvane
