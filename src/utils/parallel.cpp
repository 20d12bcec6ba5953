#include "utils/parallel.hpp"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>

#include <tbb/global_control.h>

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

// The process-wide pool.  Worker threads do not survive fork(), while the
// scheduler's bookkeeping would: a child that used the inherited pool would
// wait for workers that do not exist.  So before a fork the pool is shut
// down completely (the arena terminated and the workers joined through the
// scheduler handle), and the next loop, in the parent or in the child,
// starts it again.  No loop can be running then: a kernel holds the
// interpreter lock for its whole call, and fork() from Python needs it too.
struct Pool {
  tbb::task_arena arena{configured_threads()};
  tbb::task_scheduler_handle handle;
  std::atomic<bool> live{false};
  std::mutex start;
};

Pool& the_pool() {
  static Pool* pool = new Pool();  // lives until the process ends
  return *pool;
}

void before_fork() {
  Pool& p = the_pool();
  if (!p.live.load(std::memory_order_acquire)) return;
  p.arena.terminate();
  (void)tbb::finalize(p.handle, std::nothrow);  // waits for the workers to exit
  p.live.store(false, std::memory_order_release);
}

}  // namespace

tbb::task_arena& pool() {
  Pool& p = the_pool();
  if (!p.live.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(p.start);
    if (!p.live.load(std::memory_order_relaxed)) {
      static std::once_flag registered;
      std::call_once(registered, [] { pthread_atfork(before_fork, nullptr, nullptr); });
      p.handle = tbb::task_scheduler_handle(tbb::attach{});
      p.arena.initialize();
      p.live.store(true, std::memory_order_release);
    }
  }
  return p.arena;
}

int pool_size() { return pool().max_concurrency(); }

}  // namespace korvane
