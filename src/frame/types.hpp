// The types a kernel sees: read-only strided views of the caller's arrays,
// owned result arrays, pairs of reals and the failure that ends a call.
// Nothing here knows about Python; the frame (binding.hpp) converts to and
// from these types.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvane {

// An internal failure of a kernel (an index past the end of an argument, an
// invalid setting, an empty range to draw from).  The frame turns it into
// KernelFailure(message) on the calling thread.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message);

// Fails unless entry `index` of the parameter called `name`, which has
// `length` entries, exists.
inline void require_entry(std::size_t index, std::size_t length, const char* name) {
  if (index >= length) {
    fail(std::string(name) + " has " + std::to_string(length) + " entries; entry " +
         std::to_string(index) + " is needed");
  }
}

// A read-only view of an N-dimensional array of T owned by the caller.  Strides
// are in bytes, so any NumPy layout (sliced, reversed, Fortran-ordered,
// zero-stride broadcast, unaligned) is read where it lies.
template <class T, int N>
class View {
 public:
  static_assert(N >= 1 && N <= 3);
  using value_type = T;
  static constexpr int ndim = N;

  View() = default;
  View(const char* data, const std::ptrdiff_t* shape, const std::ptrdiff_t* strides) : data_(data) {
    for (int d = 0; d < N; ++d) {
      shape_[d] = static_cast<std::size_t>(shape[d]);
      strides_[d] = strides[d];
    }
  }

  std::size_t extent(int d) const { return shape_[d]; }
  std::size_t size() const { return shape_[0]; }  // length of a 1-D view, rows of a 2-D one
  std::size_t rows() const { return shape_[0]; }
  std::size_t cols() const { return shape_[1]; }
  bool empty() const {
    for (int d = 0; d < N; ++d)
      if (shape_[d] == 0) return true;
    return false;
  }

  T operator()(std::size_t i) const requires(N == 1) { return load(data_ + offset(0, i)); }
  T operator()(std::size_t i, std::size_t j) const requires(N == 2) {
    return load(data_ + offset(0, i) + offset(1, j));
  }
  T operator()(std::size_t i, std::size_t j, std::size_t k) const requires(N == 3) {
    return load(data_ + offset(0, i) + offset(1, j) + offset(2, k));
  }

  // Row i of a 2-D view copied into out[0 .. cols()).
  void copy_row(std::size_t i, T* out) const requires(N == 2) { copy_row_prefix(i, shape_[1], out); }

  // The first n entries of row i of a 2-D view (n <= cols()) copied into
  // out[0 .. n).
  void copy_row_prefix(std::size_t i, std::size_t n, T* out) const requires(N == 2) {
    const char* p = data_ + offset(0, i);
    if (strides_[1] == static_cast<std::ptrdiff_t>(sizeof(T))) {
      if (n != 0) std::memcpy(out, p, n * sizeof(T));
      return;
    }
    for (std::size_t j = 0; j < n; ++j) out[j] = load(p + offset(1, j));
  }

  // A 1-D view copied into a contiguous vector.
  std::vector<T> to_vector() const requires(N == 1) {
    std::vector<T> out(shape_[0]);
    for (std::size_t i = 0; i < shape_[0]; ++i) out[i] = (*this)(i);
    return out;
  }

 private:
  std::ptrdiff_t offset(int d, std::size_t i) const {
    return static_cast<std::ptrdiff_t>(i) * strides_[d];
  }
  static T load(const char* p) {
    if constexpr (std::is_same_v<T, bool>) {
      return *reinterpret_cast<const unsigned char*>(p) != 0;
    } else {
      T v;
      std::memcpy(&v, p, sizeof(T));  // strides need not be multiples of sizeof(T)
      return v;
    }
  }

  const char* data_ = nullptr;
  std::array<std::size_t, N> shape_{};
  std::array<std::ptrdiff_t, N> strides_{};
};

// Argument kinds, named as in the function tables.
using I2 = View<std::int32_t, 2>;
using I1 = View<std::int32_t, 1>;
using L1 = View<std::int64_t, 1>;
using B1 = View<bool, 1>;
using F1 = View<double, 1>;
using F2 = View<double, 2>;
using F3 = View<double, 3>;
using OptF1 = std::optional<F1>;
using OptI1 = std::optional<I1>;
using U64List = std::vector<std::uint64_t>;

struct Pair {
  double first;
  double second;
};

// n · e, failing when the element count or its byte count would not fit in
// a size_t (a size that no buffer can have).
template <class T>
std::size_t checked_product(std::size_t n, std::size_t e) {
  if (e != 0 && n > std::numeric_limits<std::size_t>::max() / sizeof(T) / e) fail("array size overflows");
  return n * e;
}

namespace detail {
void* allocate_buffer(std::size_t bytes);
void release_buffer(void* p) noexcept;
struct BufferDeleter {
  void operator()(void* p) const noexcept { release_buffer(p); }
};
}  // namespace detail

// A C-contiguous result array owned by the kernel, zero-initialised.  The
// frame copies it into a new NumPy array.
template <class T, int N>
class Array {
 public:
  static_assert(N >= 1 && N <= 3);
  using value_type = T;
  static constexpr int ndim = N;

  Array() : Array(std::array<std::size_t, N>{}) {}
  explicit Array(std::array<std::size_t, N> shape) : Array(shape, false) {}

  // An array whose every element the kernel is about to write: skips the
  // zero fill, so that the first touch of the pages happens in the workers.
  static Array uninitialized(std::array<std::size_t, N> shape) { return Array(shape, true); }
  template <class... E>
  static Array uninitialized(E... extents) requires(sizeof...(E) == N) {
    return Array(std::array<std::size_t, N>{static_cast<std::size_t>(extents)...}, true);
  }

  template <class... E>
  explicit Array(E... extents) requires(sizeof...(E) == N)
      : Array(std::array<std::size_t, N>{static_cast<std::size_t>(extents)...}) {}

  const std::array<std::size_t, N>& shape() const { return shape_; }
  std::size_t extent(int d) const { return shape_[d]; }
  std::size_t size() const { return size_; }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }

  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& operator()(std::size_t i) requires(N == 1) { return data_[i]; }
  T& operator()(std::size_t i, std::size_t j) requires(N == 2) { return data_[i * shape_[1] + j]; }
  T& operator()(std::size_t i, std::size_t j, std::size_t k) requires(N == 3) {
    return data_[(i * shape_[1] + j) * shape_[2] + k];
  }
  const T& operator()(std::size_t i) const requires(N == 1) { return data_[i]; }
  const T& operator()(std::size_t i, std::size_t j) const requires(N == 2) {
    return data_[i * shape_[1] + j];
  }
  const T& operator()(std::size_t i, std::size_t j, std::size_t k) const requires(N == 3) {
    return data_[(i * shape_[1] + j) * shape_[2] + k];
  }
  // Start of row i of a 2-D array.
  T* row(std::size_t i) requires(N == 2) { return data_.get() + i * shape_[1]; }

 private:
  Array(std::array<std::size_t, N> shape, bool skip_fill) : shape_(shape) {
    std::size_t n = 1;
    for (int d = 0; d < N; ++d) n = checked_product<T>(n, shape[d]);
    size_ = n;
    static_assert(std::is_trivially_copyable_v<T>);
    data_.reset(static_cast<T*>(detail::allocate_buffer(n * sizeof(T))));
    if (!skip_fill && n != 0) std::memset(static_cast<void*>(data_.get()), 0, n * sizeof(T));
  }

  std::array<std::size_t, N> shape_{};
  std::size_t size_ = 0;
  std::unique_ptr<T[], detail::BufferDeleter> data_;
};

using Vec = Array<double, 1>;
using Mat = Array<double, 2>;

}  // namespace korvane
