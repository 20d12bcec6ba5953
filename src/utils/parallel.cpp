#include "utils/parallel.hpp"

#include <cerrno>
#include <cstdlib>

namespace korvane {
namespace {

int configured_threads() {
  if (const char* text = std::getenv("KORVANE_NUM_THREADS")) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && v > 0 && v <= 4096) return static_cast<int>(v);
  }
  return tbb::task_arena::automatic;
}

}  // namespace

tbb::task_arena& pool() {
  static tbb::task_arena arena(configured_threads());
  static const bool ready = (arena.initialize(), true);
  (void)ready;
  return arena;
}

int pool_size() { return pool().max_concurrency(); }

}  // namespace korvane
