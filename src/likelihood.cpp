// Person-by-node log-likelihood matrices: log P(response row i | theta = node q)
// under the 2PL, 3PL and compensatory multidimensional models.
#include "frame/binding.hpp"
#include "utils/item_tables.hpp"
#include "utils/parallel.hpp"

namespace korvane {
namespace {

// One parallel map over persons: each task copies its response row and adds
// up the table rows of its answered items.
Mat person_by_node(const I2& responses, const ItemLogTable& table) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  auto out = Mat::uninitialized(n_persons, table.n_quad());
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    for (std::size_t i = begin; i < end; ++i) {
      responses.copy_row(i, row.data());
      table.row_log_likelihood(row.data(), out.row(i));
    }
  });
  return out;
}

Mat log_likelihoods_2pl(I2 responses, F1 quad_points, F1 discrimination, F1 difficulty) {
  return person_by_node(responses, ItemLogTable::two_pl(quad_points, discrimination, difficulty, responses.cols()));
}

Mat log_likelihoods_3pl(I2 responses, F1 quad_points, F1 discrimination, F1 difficulty, F1 guessing) {
  return person_by_node(
      responses, ItemLogTable::three_pl(quad_points, discrimination, difficulty, guessing, responses.cols()));
}

Mat log_likelihoods_mirt(I2 responses, F2 quad_points, F2 discrimination, F1 difficulty) {
  return person_by_node(responses, ItemLogTable::mirt(quad_points, discrimination, difficulty, responses.cols()));
}

}  // namespace

void declare_likelihood(Registry& r) {
  r.def<log_likelihoods_2pl>("compute_log_likelihoods_2pl",
                             {"responses", "quad_points", "discrimination", "difficulty"},
                             "Compute log-likelihoods for all persons at all quadrature points (2PL)");
  r.def<log_likelihoods_3pl>("compute_log_likelihoods_3pl",
                             {"responses", "quad_points", "discrimination", "difficulty", "guessing"},
                             "Compute log-likelihoods for all persons at all quadrature points (3PL)");
  r.def<log_likelihoods_mirt>("compute_log_likelihoods_mirt",
                              {"responses", "quad_points", "discrimination", "difficulty"},
                              "Compute log-likelihoods for multidimensional IRT");
}

}  // namespace korvane
