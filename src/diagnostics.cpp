// Fit diagnostics of the 2PL model at known abilities and item parameters:
// batch probabilities and variances, standardized residuals, infit and
// outfit, the local-dependence matrices Q3 and LD chi-square, and observed
// and expected first- and second-order margins.
//
// Every sum runs sequentially in person (or node) order inside one task, so
// the results do not depend on the number of threads.  The item-pair
// statistics work from a per-cell matrix computed once per call (residuals,
// probabilities or response values) and visit persons in blocks, so that the
// rows of a block are read from cache by every pair of a task.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "frame/binding.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"

namespace korvane {
namespace {

// The first min(n, length) entries of a parameter vector, contiguous.
std::vector<double> head(const F1& v, std::size_t n) {
  std::vector<double> out(std::min(n, v.size()));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = v(i);
  return out;
}

// 2PL item parameters copied before the parallel loops.  Entries beyond the
// items in use are never copied; a missing entry fails only when an item
// needs it.
struct Items {
  std::vector<double> a, b;
  Items(const F1& discrimination, const F1& difficulty, std::size_t n_items)
      : a(head(discrimination, n_items)), b(head(difficulty, n_items)) {}

  // Fails unless item j has both parameters (discrimination tested first).
  void require(std::size_t j) const {
    require_entry(j, a.size(), "discrimination");
    require_entry(j, b.size(), "difficulty");
  }
  bool has(std::size_t j) const { return j < a.size() && j < b.size(); }
  // logistic((theta - b_j) * a_j): the difference first, then the slope.
  double prob(std::size_t j, double theta) const { return logistic((theta - b[j]) * a[j]); }
};

// Start of row i of a read-only matrix.
const double* row_of(const Mat& m, std::size_t i) { return m.data() + i * m.extent(1); }

// Cell values with absent cells (NaN) replaced by 0.0, and a mask of 1.0
// for a present cell and 0.0 for an absent one.  The pair loops multiply by
// the mask instead of branching, so that the loop over the second item has
// no control flow: every present value is finite, a product with a mask of
// 1.0 is exact, a product with 0.0 is a zero, and a zero added to a sum that
// starts from +0.0 leaves it unchanged.
struct Masked {
  Mat value, mask;
  Masked(std::size_t n_persons, std::size_t n_items) : value(n_persons, n_items), mask(n_persons, n_items) {}
  // Row p from `cells` (NaN = absent).
  void set_row(std::size_t p, const double* cells, std::size_t n_items) {
    double* v = value.row(p);
    double* m = mask.row(p);
    for (std::size_t j = 0; j < n_items; ++j) {
      const bool present = !std::isnan(cells[j]);
      v[j] = present ? cells[j] : 0.0;
      m[j] = present ? 1.0 : 0.0;
    }
  }
};

// ---- batch probabilities, variances and residuals ----

// The persons of a batch function: one per entry of theta, items one per
// entry of discrimination.  The other item vectors must be at least as long
// as soon as a cell is computed.
struct Batch {
  std::vector<double> theta;
  Items items;
  std::size_t n_persons, n_items;
  Batch(const F1& th, const F1& a, const F1& b)
      : theta(th.to_vector()), items(a, b, a.size()), n_persons(th.size()), n_items(a.size()) {
    if (n_persons > 0 && n_items > 0) items.require(n_items - 1);
  }
};

Mat probabilities_batch(F1 theta, F1 discrimination, F1 difficulty) {
  const Batch in(theta, discrimination, difficulty);
  Mat out(in.n_persons, in.n_items);
  parallel_chunks(in.n_persons, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) {
      double* row = out.row(p);
      const double t = in.theta[p];
      for (std::size_t j = 0; j < in.n_items; ++j) row[j] = in.items.prob(j, t);
    }
  });
  return out;
}

Mat probabilities_batch_3pl(F1 theta, F1 discrimination, F1 difficulty, F1 guessing) {
  const Batch in(theta, discrimination, difficulty);
  const std::vector<double> c = head(guessing, in.n_items);
  if (in.n_persons > 0 && in.n_items > 0) require_entry(in.n_items - 1, c.size(), "guessing");
  Mat out(in.n_persons, in.n_items);
  parallel_chunks(in.n_persons, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) {
      double* row = out.row(p);
      const double t = in.theta[p];
      for (std::size_t j = 0; j < in.n_items; ++j) row[j] = in.items.prob(j, t) * (1.0 - c[j]) + c[j];
    }
  });
  return out;
}

std::tuple<Mat, Mat> expected_variance_batch(F1 theta, F1 discrimination, F1 difficulty) {
  const Batch in(theta, discrimination, difficulty);
  Mat expected(in.n_persons, in.n_items), variance(in.n_persons, in.n_items);
  parallel_chunks(in.n_persons, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) {
      double* e = expected.row(p);
      double* v = variance.row(p);
      const double t = in.theta[p];
      for (std::size_t j = 0; j < in.n_items; ++j) {
        const double prob = in.items.prob(j, t);
        e[j] = prob;
        v[j] = (1.0 - prob) * prob;
      }
    }
  });
  return {std::move(expected), std::move(variance)};
}

// Standardized residuals of one response row: NaN for a missing code
// (parameters not read), else (x - P) / sqrt((1 - P) P + 1e-10) with the
// code's numeric value x.  Q3 uses this same code for its residuals.
void residual_row(const std::int32_t* row, std::size_t n_items, double theta, const Items& items,
                  double* out) {
  for (std::size_t j = 0; j < n_items; ++j) {
    const std::int32_t x = row[j];
    if (x < 0) {
      out[j] = kNaN;
      continue;
    }
    items.require(j);
    const double p = items.prob(j, theta);
    out[j] = (static_cast<double>(x) - p) / std::sqrt((1.0 - p) * p + 1e-10);
  }
}

// The residual matrix, persons in rows; theta must cover every row.
Mat residual_matrix(const I2& responses, const F1& theta, const Items& items) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  Mat out(n_persons, n_items);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    for (std::size_t p = begin; p < end; ++p) {
      require_entry(p, theta.size(), "theta");
      responses.copy_row(p, row.data());
      residual_row(row.data(), n_items, theta(p), items, out.row(p));
    }
  });
  return out;
}

Mat standardized_residuals(I2 responses, F1 theta, F1 discrimination, F1 difficulty) {
  return residual_matrix(responses, theta, Items(discrimination, difficulty, responses.cols()));
}

// ---- infit and outfit ----

std::tuple<Vec, Vec, Vec, Vec> fit_statistics(I2 responses, F1 theta, F1 discrimination, F1 difficulty) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const Items items(discrimination, difficulty, n_items);
  // Cell pairs (s, v): the squared standardized residual and the variance,
  // NaN for a missing response.  The person statistics are summed over the
  // row as it is formed, items in order; the item statistics read the cells
  // with a NaN s set to zero and a mask (see Masked).
  Masked s(n_persons, n_items);
  Mat v(n_persons, n_items);  // 0.0 where s is NaN
  Vec item_outfit(n_items), item_infit(n_items), person_outfit(n_persons), person_infit(n_persons);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<double> sp(n_items), vp(n_items);
    for (std::size_t p = begin; p < end; ++p) {
      require_entry(p, theta.size(), "theta");
      responses.copy_row(p, row.data());
      const double t = theta(p);
      for (std::size_t j = 0; j < n_items; ++j) {
        if (row[j] < 0) {
          sp[j] = vp[j] = kNaN;
          continue;
        }
        items.require(j);
        const double prob = items.prob(j, t);
        const double var = (1.0 - prob) * prob;
        const double r = static_cast<double>(row[j]) - prob;
        vp[j] = var;
        sp[j] = r * r / (var + 1e-10);
      }
      double n = 0.0, sum_s = 0.0, sum_w = 0.0, sum_v = 0.0;
      for (std::size_t j = 0; j < n_items; ++j) {
        if (std::isnan(sp[j])) {
          vp[j] = kNaN;  // a skipped cell: its variance is not counted either
          continue;
        }
        n += 1.0;
        sum_s += sp[j];
        sum_w += sp[j] * vp[j];
        sum_v += vp[j];
      }
      person_outfit[p] = n > 0 ? sum_s / n : kNaN;
      person_infit[p] = sum_v > 1e-10 ? sum_w / sum_v : kNaN;
      s.set_row(p, sp.data(), n_items);
      double* v_row = v.row(p);
      for (std::size_t j = 0; j < n_items; ++j) v_row[j] = std::isnan(vp[j]) ? 0.0 : vp[j];
    }
  });
  // Item statistics: persons in order, a block of items at a time.
  constexpr std::size_t kItemBlock = 32;
  const std::size_t n_blocks = (n_items + kItemBlock - 1) / kItemBlock;
  parallel_for(n_blocks, [&](std::size_t blk) {
    const std::size_t j0 = blk * kItemBlock, len = std::min(kItemBlock, n_items - j0);
    double n[kItemBlock] = {}, sum_s[kItemBlock] = {}, sum_w[kItemBlock] = {}, sum_v[kItemBlock] = {};
    for (std::size_t p = 0; p < n_persons; ++p) {
      const double* sp = row_of(s.value, p) + j0;
      const double* mp = row_of(s.mask, p) + j0;
      const double* vp = row_of(v, p) + j0;
      for (std::size_t t = 0; t < len; ++t) {
        n[t] += mp[t];
        sum_s[t] += sp[t];
        sum_w[t] += sp[t] * vp[t];
        sum_v[t] += vp[t];
      }
    }
    for (std::size_t t = 0; t < len; ++t) {
      item_outfit[j0 + t] = n[t] > 0 ? sum_s[t] / n[t] : kNaN;
      item_infit[j0 + t] = sum_v[t] > 1e-10 ? sum_w[t] / sum_v[t] : kNaN;
    }
  });
  return {std::move(item_outfit), std::move(item_infit), std::move(person_outfit), std::move(person_infit)};
}

// ---- item pairs ----


// Pair (j, k), j < k, of n items sits at pair_offset(j, n) + (k - j - 1) of
// the lexicographic pair list.
std::size_t pair_offset(std::size_t j, std::size_t n) { return j * (2 * n - j - 1) / 2; }

// Values of every pair j < k of n_items items, in pair-list order, from
// per-pair sums over persons.  A task owns a run of consecutive first items
// j (about equal numbers of pairs per task) and keeps kFields sums for each
// of its pairs; persons are visited in order, block by block, and each block
// is handed to accumulate(j, sums, len, p_begin, p_end) for every j of the
// task, where len = n_items - j - 1 and field f of pair (j, j + 1 + t) is
// sums[f * len + t].  finish(sums, len, t) turns the sums into the value.
template <std::size_t kFields, class Accumulate, class Finish>
std::vector<double> pair_values(std::size_t n_items, std::size_t n_persons, Accumulate&& accumulate,
                                Finish&& finish) {
  const std::size_t n_pairs = n_items < 2 ? 0 : pair_offset(n_items - 1, n_items);
  std::vector<double> values(n_pairs);
  if (n_pairs == 0) return values;
  const std::size_t target = std::max<std::size_t>(64, n_pairs / 32);
  std::vector<std::size_t> starts{0};
  for (std::size_t j = 0, run = 0; j + 1 < n_items; ++j) {
    run += n_items - j - 1;
    if (run >= target && j + 2 < n_items) {
      starts.push_back(j + 1);
      run = 0;
    }
  }
  starts.push_back(n_items - 1);
  // About 32 KiB of cell rows per block.
  const std::size_t block = std::max<std::size_t>(16, 4096 / n_items);
  parallel_for(starts.size() - 1, [&](std::size_t g) {
    const std::size_t j0 = starts[g], j1 = starts[g + 1];
    const std::size_t base = pair_offset(j0, n_items);
    std::vector<double> sums(kFields * (pair_offset(j1, n_items) - base), 0.0);
    for (std::size_t p0 = 0; p0 < n_persons; p0 += block) {
      const std::size_t p1 = std::min(n_persons, p0 + block);
      for (std::size_t j = j0; j < j1; ++j)
        accumulate(j, sums.data() + kFields * (pair_offset(j, n_items) - base), n_items - j - 1, p0, p1);
    }
    for (std::size_t j = j0; j < j1; ++j) {
      const std::size_t len = n_items - j - 1, off = pair_offset(j, n_items);
      const double* s = sums.data() + kFields * (off - base);
      for (std::size_t t = 0; t < len; ++t) values[off + t] = finish(s, len, t);
    }
  });
  return values;
}

// The symmetric item-pair matrix: each pair value at [j, k] and [k, j], the
// diagonal left at 0.0.
Mat pair_matrix(std::size_t n_items, const std::vector<double>& values) {
  Mat out(n_items, n_items);
  std::size_t i = 0;
  for (std::size_t j = 0; j < n_items; ++j)
    for (std::size_t k = j + 1; k < n_items; ++k, ++i) out(j, k) = out(k, j) = values[i];
  return out;
}

// Q3 sums of pairs (j, k > j) over persons [p0, p1): count, sum r_j, sum r_k,
// sum r_j r_k, sum r_j^2, sum r_k^2, over the persons with both residuals
// (pairwise deletion of NaN residuals).
// One person's contribution to the Q3 sums of pairs (j, k > j): rk and mk
// are the person's residuals and mask from item j + 1 on.  The arrays do
// not overlap; saying so lets the loop run on vector registers.
inline void q3_person(const double* __restrict rk, const double* __restrict mk, double rj,
                      double* __restrict cnt, double* __restrict sj, double* __restrict sk,
                      double* __restrict sjk, double* __restrict sjj, double* __restrict skk, std::size_t len) {
  const double rjj = rj * rj;
  for (std::size_t t = 0; t < len; ++t) {
    const double x = rk[t], m = mk[t];
    cnt[t] += m;
    sj[t] += m * rj;
    sk[t] += x;
    sjk[t] += rj * x;
    sjj[t] += m * rjj;
    skk[t] += x * x;
  }
}

void q3_accumulate(const Masked& r, std::size_t j, double* s, std::size_t len, std::size_t p0,
                   std::size_t p1) {
  for (std::size_t p = p0; p < p1; ++p) {
    const double* mp = row_of(r.mask, p);
    if (mp[j] == 0.0) continue;
    const double* rp = row_of(r.value, p);
    q3_person(rp + j + 1, mp + j + 1, rp[j], s, s + len, s + 2 * len, s + 3 * len, s + 4 * len, s + 5 * len,
              len);
  }
}

double q3_value(const double* s, std::size_t len, std::size_t t) {
  const double n = s[t];
  if (n < 3) return kNaN;
  const double mj = s[len + t] / n, mk = s[2 * len + t] / n;
  const double vj = s[4 * len + t] / n - mj * mj;
  const double vk = s[5 * len + t] / n - mk * mk;
  const double d = std::sqrt(vj * vk);
  if (d > 1e-10) return (s[3 * len + t] / n - mk * mj) / d;
  return 0.0;  // zero (or NaN) residual variance
}

Mat q3_matrix(I2 responses, F1 theta, F1 discrimination, F1 difficulty) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const Items items(discrimination, difficulty, n_items);
  Masked r(n_persons, n_items);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<double> res(n_items);
    for (std::size_t p = begin; p < end; ++p) {
      require_entry(p, theta.size(), "theta");
      responses.copy_row(p, row.data());
      residual_row(row.data(), n_items, theta(p), items, res.data());
      r.set_row(p, res.data(), n_items);
    }
  });
  const auto values = pair_values<6>(
      n_items, n_persons,
      [&](std::size_t j, double* s, std::size_t len, std::size_t p0, std::size_t p1) {
        q3_accumulate(r, j, s, len, p0, p1);
      },
      q3_value);
  return pair_matrix(n_items, values);
}

// The cells of the LD chi-square: code (0 or 1; 0 when missing), mask and
// probability of a correct response (0 when missing), and per person whether
// some answered cell has a NaN probability.
struct LdCells {
  Mat code, mask, prob;
  std::vector<char> nan_row;
  LdCells(std::size_t n, std::size_t m) : code(n, m), mask(n, m), prob(n, m), nan_row(n, 0) {}
};

// LD chi-square sums of pairs (j, k > j) over persons [p0, p1): the observed
// counts O00, O01, O10, O11 and the expected sums E00, E01, E10, E11, over
// the persons who answered both items.  A person with a NaN probability
// takes a branching loop, where a skipped pair adds nothing (a NaN times a
// zero mask would be NaN).
// One person's contribution to the LD sums of pairs (j, k > j) for a person
// whose probabilities are all numbers: o0 and o1 are row x_j of the observed
// table; xk, mk, pk the person's codes, mask and probabilities from item
// j + 1 on.
inline void ld_person(const double* __restrict xk, const double* __restrict mk, const double* __restrict pk,
                      double pj, double* __restrict o0, double* __restrict o1, double* __restrict e00,
                      double* __restrict e01, double* __restrict e10, double* __restrict e11, std::size_t len) {
  const double qj = 1.0 - pj;
  for (std::size_t t = 0; t < len; ++t) {
    const double x = xk[t], m = mk[t], pr = pk[t], q = 1.0 - pr;
    o0[t] += m - x;
    o1[t] += x;
    e00[t] += m * (qj * q);
    e01[t] += qj * pr;
    e10[t] += m * (pj * q);
    e11[t] += pj * pr;
  }
}

void ld_accumulate(const LdCells& c, std::size_t j, double* s, std::size_t len, std::size_t p0, std::size_t p1) {
  double* e00 = s + 4 * len;
  double* e01 = s + 5 * len;
  double* e10 = s + 6 * len;
  double* e11 = s + 7 * len;
  for (std::size_t p = p0; p < p1; ++p) {
    const double* mp = row_of(c.mask, p);
    if (mp[j] == 0.0) continue;
    const double* xp = row_of(c.code, p);
    const double* pp = row_of(c.prob, p);
    const double xj = xp[j], pj = pp[j];
    double* o0 = xj == 0.0 ? s : s + 2 * len;
    double* o1 = xj == 0.0 ? s + len : s + 3 * len;
    const double* xk = xp + j + 1;
    const double* mk = mp + j + 1;
    const double* pk = pp + j + 1;
    if (!c.nan_row[p]) {
      ld_person(xk, mk, pk, pj, o0, o1, e00, e01, e10, e11, len);
      continue;
    }
    const double qj = 1.0 - pj;
    for (std::size_t t = 0; t < len; ++t) {
      if (mk[t] == 0.0) continue;
      const double q = 1.0 - pk[t];
      (xk[t] == 0.0 ? o0 : o1)[t] += 1.0;
      e00[t] += qj * q;
      e01[t] += qj * pk[t];
      e10[t] += pj * q;
      e11[t] += pj * pk[t];
    }
  }
}

double ld_value(const double* s, std::size_t len, std::size_t t) {
  double value = 0.0;
  for (int c = 0; c < 4; ++c) {
    const double o = s[c * len + t], e = s[(4 + c) * len + t];
    const double floored = e > 0.5 ? e : 0.5;  // a NaN expected count also becomes 0.5
    value += (o - floored) * (o - floored) / floored;
  }
  return value;
}

Mat ld_chi2_matrix(I2 responses, F1 theta, F1 discrimination, F1 difficulty) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  const Items items(discrimination, difficulty, n_items);
  // Each cell's code and probability, once per call.  A pair reads theta, the
  // item parameters and the code of a person only when the person answered
  // both items; so a person with a cell that cannot be used (no theta, no
  // parameters, a code above 1) fails the call exactly when the person
  // answered at least one other item.
  LdCells cells(n_persons, n_items);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    for (std::size_t p = begin; p < end; ++p) {
      responses.copy_row(p, row.data());
      const bool has_theta = p < theta.size();
      const double t = has_theta ? theta(p) : 0.0;
      std::size_t answered = 0, bad = n_items;
      double* cp = cells.code.row(p);
      double* mp = cells.mask.row(p);
      double* pp = cells.prob.row(p);
      for (std::size_t j = 0; j < n_items; ++j) {
        const std::int32_t x = row[j];
        if (x < 0) continue;
        ++answered;
        if (!has_theta || !items.has(j) || x > 1) {
          if (bad == n_items) bad = j;
          continue;
        }
        cp[j] = static_cast<double>(x);
        mp[j] = 1.0;
        pp[j] = items.prob(j, t);
        if (std::isnan(pp[j])) cells.nan_row[p] = 1;
      }
      if (bad == n_items || answered < 2) continue;
      require_entry(p, theta.size(), "theta");
      items.require(bad);
      fail("responses[" + std::to_string(p) + ", " + std::to_string(bad) + "] = " + std::to_string(row[bad]) +
           ": the LD chi-square needs codes 0 and 1");
    }
  });
  const auto values = pair_values<8>(
      n_items, n_persons,
      [&](std::size_t j, double* s, std::size_t len, std::size_t p0, std::size_t p1) {
        ld_accumulate(cells, j, s, len, p0, p1);
      },
      ld_value);
  return pair_matrix(n_items, values);
}

// ---- margins ----

// Observed bivariate sums of pairs (j, k > j): the count of persons with both
// responses and the sum of the products x_j x_k.  Codes are exact doubles,
// so each product is the exact 64-bit integer product rounded once to
// double: the value an int64 product converted to double has, with no
// 32-bit overflow.
inline void margin_person(const double* __restrict xk, const double* __restrict mk, double xj,
                          double* __restrict cnt, double* __restrict sum, std::size_t len) {
  for (std::size_t t = 0; t < len; ++t) {
    cnt[t] += mk[t];
    sum[t] += xj * xk[t];
  }
}

void margin_accumulate(const Masked& x, std::size_t j, double* s, std::size_t len, std::size_t p0,
                       std::size_t p1) {
  for (std::size_t p = p0; p < p1; ++p) {
    const double* mp = row_of(x.mask, p);
    if (mp[j] == 0.0) continue;
    const double* xp = row_of(x.value, p);
    margin_person(xp + j + 1, mp + j + 1, xp[j], s, s + len, len);
  }
}

std::tuple<Vec, Mat> observed_margins(I2 responses) {
  const std::size_t n_persons = responses.rows(), n_items = responses.cols();
  Masked x(n_persons, n_items);
  parallel_chunks(n_persons, [&](std::size_t begin, std::size_t end) {
    std::vector<std::int32_t> row(n_items);
    std::vector<double> cells(n_items);
    for (std::size_t p = begin; p < end; ++p) {
      responses.copy_row(p, row.data());
      for (std::size_t j = 0; j < n_items; ++j) cells[j] = row[j] < 0 ? kNaN : static_cast<double>(row[j]);
      x.set_row(p, cells.data(), n_items);
    }
  });
  // Univariate: the mean of the non-missing codes of each item, summed in
  // person order; 0.0 for an item nobody answered.
  Vec uni(n_items);
  constexpr std::size_t kItemBlock = 32;
  parallel_for((n_items + kItemBlock - 1) / kItemBlock, [&](std::size_t blk) {
    const std::size_t j0 = blk * kItemBlock, len = std::min(kItemBlock, n_items - j0);
    double n[kItemBlock] = {}, sum[kItemBlock] = {};
    for (std::size_t p = 0; p < n_persons; ++p) {
      const double* xp = row_of(x.value, p) + j0;
      const double* mp = row_of(x.mask, p) + j0;
      for (std::size_t t = 0; t < len; ++t) {
        n[t] += mp[t];
        sum[t] += xp[t];
      }
    }
    for (std::size_t t = 0; t < len; ++t) uni[j0 + t] = n[t] > 0 ? sum[t] / n[t] : 0.0;
  });
  const auto values = pair_values<2>(
      n_items, n_persons,
      [&](std::size_t j, double* s, std::size_t len, std::size_t p0, std::size_t p1) {
        margin_accumulate(x, j, s, len, p0, p1);
      },
      [](const double* s, std::size_t len, std::size_t t) { return s[t] > 0 ? s[len + t] / s[t] : 0.0; });
  return {std::move(uni), pair_matrix(n_items, values)};
}

std::tuple<Vec, Mat> expected_margins(F1 quad_points, F1 quad_weights, F1 discrimination, F1 difficulty) {
  const std::size_t n_quad = quad_points.size(), n_items = discrimination.size();
  const std::vector<double> x = quad_points.to_vector(), w = quad_weights.to_vector();
  const Items items(discrimination, difficulty, n_items);
  // Item probability vectors on the calling thread, item i at probs[i * n_quad].
  std::vector<double> probs(checked_product<double>(n_items, n_quad));
  if (n_quad > 0)
    for (std::size_t i = 0; i < n_items; ++i) {
      items.require(i);
      for (std::size_t q = 0; q < n_quad; ++q) probs[i * n_quad + q] = items.prob(i, x[q]);
    }
  // Univariate: a weight vector shorter than the nodes ends the sum early.
  Vec uni(n_items);
  const std::size_t n_uni = std::min(n_quad, w.size());
  for (std::size_t i = 0; i < n_items; ++i) {
    double sum = -0.0;
    for (std::size_t q = 0; q < n_uni; ++q) sum += probs[i * n_quad + q] * w[q];
    uni[i] = sum;
  }
  // Bivariate: every node needs its weight.
  const std::size_t n_pairs = n_items < 2 ? 0 : pair_offset(n_items - 1, n_items);
  if (n_pairs > 0 && n_quad > 0) require_entry(n_quad - 1, w.size(), "quad_weights");
  std::vector<double> values(n_pairs);
  parallel_for(n_items < 2 ? 0 : n_items - 1, [&](std::size_t j) {
    const double* pj = probs.data() + j * n_quad;
    const std::size_t off = pair_offset(j, n_items);
    for (std::size_t k = j + 1; k < n_items; ++k) {
      const double* pk = probs.data() + k * n_quad;
      double sum = -0.0;
      for (std::size_t q = 0; q < n_quad; ++q) sum += (pk[q] * pj[q]) * w[q];
      values[off + (k - j - 1)] = sum;
    }
  });
  return {std::move(uni), pair_matrix(n_items, values)};
}

}  // namespace

void declare_diagnostics(Registry& r) {
  r.def<observed_margins>("compute_observed_margins", {"responses"},
                          "Compute observed univariate and bivariate margins");
  r.def<expected_margins>("compute_expected_margins",
                          {"quad_points", "quad_weights", "discrimination", "difficulty"},
                          "Compute expected univariate and bivariate margins");
  r.def<standardized_residuals>("compute_standardized_residuals",
                                {"responses", "theta", "discrimination", "difficulty"},
                                "Compute standardized residuals");
  r.def<q3_matrix>("compute_q3_matrix", {"responses", "theta", "discrimination", "difficulty"},
                   "Compute Q3 (residual correlation) matrix - Yen's local dependence statistic");
  r.def<ld_chi2_matrix>("compute_ld_chi2_matrix", {"responses", "theta", "discrimination", "difficulty"},
                        "Compute LD chi-square statistics for all item pairs");
  r.def<fit_statistics>("compute_fit_statistics", {"responses", "theta", "discrimination", "difficulty"},
                        "Compute item and person fit statistics (infit/outfit)");
  r.def<probabilities_batch>("compute_probabilities_batch", {"theta", "discrimination", "difficulty"},
                             "Compute probabilities for all items in batch (2PL model).\n\n"
                             "Parallelizes over persons for efficient computation.");
  r.def<probabilities_batch_3pl>("compute_probabilities_batch_3pl",
                                 {"theta", "discrimination", "difficulty", "guessing"},
                                 "Compute probabilities with guessing parameter (3PL model).");
  r.def<expected_variance_batch>("compute_expected_variance_batch", {"theta", "discrimination", "difficulty"},
                                 "Compute expected values and variances for all items in batch.\n\n"
                                 "Returns (expected, variance) arrays of shape (n_persons, n_items).");
}

}  // namespace korvane
