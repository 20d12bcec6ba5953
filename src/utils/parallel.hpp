// The data-parallel loop every kernel uses: one process-wide oneTBB arena,
// created on first use, with KORVANE_NUM_THREADS workers when that variable
// holds a positive integer and one per available processor otherwise.
//
// Every index is processed exactly once; a body writes only the result slots
// of its own indices, so collected results are in index order whatever the
// scheduling.  An exception thrown by a body ends the loop and is rethrown on
// the calling thread.  A loop started inside a task of another loop joins the
// same arena (nested parallelism).
#pragma once

#include <cstddef>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>

namespace korvane {

tbb::task_arena& pool();

// Number of workers of the pool.
int pool_size();

// body(begin, end) for disjoint chunks covering [0, n).  Use it to set up
// per-chunk scratch buffers once instead of once per index.
template <class Body>
void parallel_chunks(std::size_t n, Body&& body) {
  if (n == 0) return;
  pool().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                      [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
  });
}

// body(i) for every i in [0, n).
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
  parallel_chunks(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) body(i);
  });
}

// Sum of term(i) over [0, n) combined in scheduling order: the last bits
// may differ between runs.  Only for the few reductions that are allowed to.
template <class Term>
double parallel_sum(std::size_t n, Term&& term) {
  if (n == 0) return 0.0;
  double total = 0.0;
  pool().execute([&] {
    total = tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, n, 1), 0.0,
        [&](const tbb::blocked_range<std::size_t>& r, double acc) {
          for (std::size_t i = r.begin(); i < r.end(); ++i) acc += term(i);
          return acc;
        },
        [](double x, double y) { return x + y; });
  });
  return total;
}

}  // namespace korvane
