#include "utils/item_counts.hpp"

namespace korvane {
namespace {

template <std::size_t W>
[[gnu::always_inline]] inline void add_chunk(const double* const* rows, const std::uint32_t* list,
                                             std::size_t count, double* acc, std::size_t k) {
  double a[W];
  for (std::size_t u = 0; u < W; ++u) a[u] = acc[k + u];
  for (std::size_t m = 0; m < count; ++m) {
    const double* x = rows[list[m]] + k;
    for (std::size_t u = 0; u < W; ++u) a[u] += x[u];
  }
  for (std::size_t u = 0; u < W; ++u) acc[k + u] = a[u];
}

}  // namespace

// Compiled for several instruction sets and chosen at load time; the
// additions are the same IEEE additions, in the same order, on every path.
[[gnu::target_clones("avx512f", "avx2", "default")]] void add_listed_rows(const double* const* rows,
                                                                            const std::uint32_t* list,
                                                                            std::size_t count, double* acc,
                                                                            std::size_t n_quad) noexcept {
  std::size_t k = 0;
  for (; k + 8 <= n_quad; k += 8) add_chunk<8>(rows, list, count, acc, k);
  for (; k < n_quad; ++k) add_chunk<1>(rows, list, count, acc, k);
}

}  // namespace korvane
