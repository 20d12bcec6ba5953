// Expected counts of dichotomous items from posterior weights:
//   n_jk = sum over persons with code x_ij >= 0 of posterior[i, k],
//   r_jk = the same over persons with x_ij = 1,
// each summed over persons in increasing order, starting from the value
// already in the output (0 for a fresh count).
//
// Persons are taken in blocks; within a block each item gets the list of
// persons that answered it (and that answered it correctly), and the rows of
// those persons are added node chunk by node chunk into accumulators that
// stay in registers.  Every (item, node) sum still runs over the persons in
// order, so the bits are those of the plain person loop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

// acc[k] += rows[list[m]][k] for m = 0 .. count - 1 in order, k < n_quad,
// with chunks of nodes held in registers.
void add_listed_rows(const double* const* rows, const std::uint32_t* list, std::size_t count, double* acc,
                     std::size_t n_quad) noexcept;

class ItemCountBuilder {
 public:
  static constexpr std::size_t kBlock = 64;  // persons per block

  // Items [j0, j1) of the output, n_quad nodes per item, item-major:
  // r[(j - j0) * n_quad + k].  code(i, j) is the response code of person i
  // to item j; row(i, buffer) returns person i's posterior row, either in
  // place or copied into `buffer` (n_quad doubles); it is called only for
  // persons with at least one non-missing code among the items.
  //
  // skip_n, when given, marks items (by absolute index) whose n is not
  // wanted; their n rows are left untouched.
  template <class Code, class Row>
  void add(std::size_t n_persons, std::size_t j0, std::size_t j1, std::size_t n_quad, Code&& code, Row&& row,
           double* r, double* n, const char* skip_n = nullptr) {
    const std::size_t n_items = j1 - j0;
    if (n_items == 0 || n_quad == 0) return;
    codes_.resize(kBlock * n_items);
    rows_.resize(kBlock);
    buffer_.resize(kBlock * n_quad);
    for (std::size_t b0 = 0; b0 < n_persons; b0 += kBlock) {
      const std::size_t b1 = std::min(n_persons, b0 + kBlock);
      for (std::size_t i = b0; i < b1; ++i) {
        std::int32_t* c = codes_.data() + (i - b0) * n_items;
        bool needed = false;
        for (std::size_t j = 0; j < n_items; ++j) {
          c[j] = code(i, j0 + j);
          needed = needed || c[j] >= 0;
        }
        rows_[i - b0] = needed ? row(i, buffer_.data() + (i - b0) * n_quad) : nullptr;
      }
      for (std::size_t j = 0; j < n_items; ++j) {
        std::size_t n_answered = 0, n_correct = 0;
        for (std::size_t p = 0; p < b1 - b0; ++p) {
          const std::int32_t x = codes_[p * n_items + j];
          answered_[n_answered] = static_cast<std::uint32_t>(p);
          n_answered += (x >= 0);
          correct_[n_correct] = static_cast<std::uint32_t>(p);
          n_correct += (x == 1);
        }
        if (!skip_n || !skip_n[j0 + j]) add_rows(answered_, n_answered, n + j * n_quad, n_quad);
        add_rows(correct_, n_correct, r + j * n_quad, n_quad);
      }
    }
  }

 private:
  void add_rows(const std::uint32_t* list, std::size_t count, double* acc, std::size_t n_quad) const {
    if (count != 0) add_listed_rows(rows_.data(), list, count, acc, n_quad);
  }

  std::vector<std::int32_t> codes_;
  std::vector<const double*> rows_;
  std::vector<double> buffer_;
  std::uint32_t answered_[kBlock];
  std::uint32_t correct_[kBlock];
};

}  // namespace korvane
