#include "frame/types.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace korvane {

void fail(const std::string& message) { throw Failure(message); }

}  // namespace korvane

namespace korvane::detail {

// Large result buffers are aligned to 2 MiB and offered to the kernel as
// transparent huge pages: a fresh 10 MB buffer then costs a handful of page
// faults instead of thousands.
void* allocate_buffer(std::size_t bytes) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (bytes >= 2 * kHuge) {
    const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = nullptr;
    if (posix_memalign(&p, kHuge, rounded) != 0) throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
    return p;
  }
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (!p) throw std::bad_alloc();
  return p;
}

void release_buffer(void* p) noexcept { std::free(p); }

}  // namespace korvane::detail
