// SIBTEST-style screens for differential item functioning between a
// reference and a focal group: persons are stratified by exact matching
// score, the groups' mean studied scores are compared within every level
// that holds both groups, and the level differences are averaged with the
// weights 2 n_R n_F / (n_R + n_F).
//
// The standard error is the sampling error of that weighted mean: the groups
// are independent within a level, so
//   Var(beta) = sum_s (w_s / W)^2 (s2_R,s / n_R,s + s2_F,s / n_F,s)
// with s2 the within-level sample variance (divisor n - 1; 0 for a single
// person).  The spread of the level differences around beta, which does not
// shrink with the sample, flags most items of data without any DIF.
//
// No response code is treated as missing: every value is summed with its
// numeric value.  Matching scores and studied scores are 64-bit integer sums
// of the 32-bit codes, so they cannot overflow.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/binding.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"

namespace korvane {
namespace {

// A group member: matching score and row of the response matrix.  Sorting by
// (score, row) lists each level's members in increasing person order.
struct Member {
  std::int64_t score;
  std::size_t row;
  bool operator<(const Member& o) const { return score != o.score ? score < o.score : row < o.row; }
};

// One score level: the members [r0, r1) of the sorted reference list and
// [f0, f1) of the sorted focal list with that score.
struct Level {
  std::size_t r0, r1, f0, f1;
  bool usable() const { return r1 > r0 && f1 > f0; }
};

// The distinct scores of both lists in increasing order.
std::vector<Level> score_levels(const std::vector<Member>& ref, const std::vector<Member>& focal) {
  std::vector<Level> levels;
  std::size_t i = 0, k = 0;
  while (i < ref.size() || k < focal.size()) {
    std::int64_t s;
    if (k == focal.size() || (i < ref.size() && ref[i].score <= focal[k].score)) s = ref[i].score;
    else s = focal[k].score;
    Level lv{i, i, k, k};
    while (lv.r1 < ref.size() && ref[lv.r1].score == s) ++lv.r1;
    while (lv.f1 < focal.size() && focal[lv.f1].score == s) ++lv.f1;
    i = lv.r1;
    k = lv.f1;
    levels.push_back(lv);
  }
  return levels;
}

// Statistics of one usable level: the difference of the mean studied scores
// (reference minus focal), the weight and the sampling variance of the
// difference.
struct LevelStat {
  double d, w, var;
};

// Sum of the studied scores (from -0.0, person order) and the sum of squared
// deviations from their mean, divided by n - 1 (0.0 for one person).
struct GroupMoments {
  double sum, variance;
};

GroupMoments group_moments(const std::vector<double>& y) {
  double sum = -0.0;
  for (double v : y) sum += v;
  const double n = static_cast<double>(y.size());
  const double mean = sum / n;
  double ss = 0.0;
  for (double v : y) ss += (v - mean) * (v - mean);
  return {sum, y.size() > 1 ? ss / (n - 1.0) : 0.0};
}

LevelStat level_stat(const std::vector<double>& yr, const std::vector<double>& yf) {
  const GroupMoments r = group_moments(yr), f = group_moments(yf);
  const std::size_t nr = yr.size(), nf = yf.size();
  const double dnr = static_cast<double>(nr), dnf = static_cast<double>(nf);
  return {r.sum / dnr - f.sum / dnf,
          static_cast<double>(nr + nr) * dnf / static_cast<double>(nr + nf),
          r.variance / dnr + f.variance / dnf};
}

// beta and its standard error from the usable levels in increasing score order.
std::pair<double, double> aggregate(const std::vector<LevelStat>& levels) {
  if (levels.empty()) return {kNaN, kNaN};
  double weight = 0.0, weighted = 0.0;
  for (const LevelStat& l : levels) weight += l.w;
  for (const LevelStat& l : levels) weighted += l.d * l.w;
  double var = 0.0;
  for (const LevelStat& l : levels) {
    const double share = l.w / weight;
    var += share * share * l.var;
  }
  return {weighted / weight, std::sqrt(var)};
}

std::tuple<double, double, Vec, Vec> compute_beta(I2 ref_data, I2 focal_data, I1 ref_scores, I1 focal_scores,
                                                  I1 suspect_items) {
  std::vector<Member> ref(ref_scores.size()), focal(focal_scores.size());
  for (std::size_t i = 0; i < ref.size(); ++i) ref[i] = {ref_scores(i), i};
  for (std::size_t i = 0; i < focal.size(); ++i) focal[i] = {focal_scores(i), i};
  std::sort(ref.begin(), ref.end());
  std::sort(focal.begin(), focal.end());
  const std::vector<Level> levels = score_levels(ref, focal);
  const std::vector<std::int32_t> suspect = suspect_items.to_vector();

  // A person's studied score: the 64-bit sum of the responses to the suspect
  // items in their given order; indices are checked where they are used.
  auto studied = [&](const I2& data, std::size_t row, const char* name) {
    require_entry(row, data.rows(), name);
    std::int64_t y = 0;
    for (std::int32_t item : suspect) {
      if (item < 0 || static_cast<std::size_t>(item) >= data.cols())
        fail("suspect item " + std::to_string(item) + " is not a column of " + name);
      y += data(row, static_cast<std::size_t>(item));
    }
    return static_cast<double>(y);
  };

  std::vector<LevelStat> stats(levels.size());
  parallel_chunks(levels.size(), [&](std::size_t begin, std::size_t end) {
    std::vector<double> yr, yf;
    for (std::size_t s = begin; s < end; ++s) {
      const Level& lv = levels[s];
      if (!lv.usable()) {
        stats[s] = {kNaN, 0.0, 0.0};
        continue;
      }
      yr.clear();
      yf.clear();
      for (std::size_t i = lv.r0; i < lv.r1; ++i) yr.push_back(studied(ref_data, ref[i].row, "ref_data"));
      for (std::size_t i = lv.f0; i < lv.f1; ++i) yf.push_back(studied(focal_data, focal[i].row, "focal_data"));
      stats[s] = level_stat(yr, yf);
    }
  });
  std::vector<LevelStat> kept;
  for (const LevelStat& l : stats)
    if (!std::isnan(l.d)) kept.push_back(l);
  const auto [beta, se] = aggregate(kept);
  Vec differences(kept.size()), weights(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    differences[i] = kept[i].d;
    weights[i] = kept[i].w;
  }
  return {beta, se, std::move(differences), std::move(weights)};
}

std::tuple<Vec, Vec, Vec> all_items(I2 data, I1 groups, OptI1 anchor_items) {
  const std::size_t n_rows = data.rows(), n_items = data.cols();
  // Group coding: the smallest code is the reference group, the second
  // smallest the focal group; other codes are ignored.
  std::vector<std::int32_t> codes = groups.to_vector();
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  if (codes.size() < 2)
    fail("groups holds " + std::to_string(codes.size()) + " distinct codes; SIBTEST needs two");
  std::vector<std::size_t> ref_rows, focal_rows;
  bool rows_ok = true;
  for (std::size_t p = 0; p < groups.size(); ++p) {
    const std::int32_t g = groups(p);
    if (g != codes[0] && g != codes[1]) continue;
    (g == codes[0] ? ref_rows : focal_rows).push_back(p);
    if (p >= n_rows) rows_ok = false;
  }

  // Matching scores: the 64-bit sum of the responses to the matching items.
  // Item j's score is a fixed total minus the item's own share of it:
  // without anchors the sum over all items minus x_j; with anchors the sum
  // over the anchor entries minus (number of entries equal to j) * x_j.
  const std::vector<std::int32_t> anchors = anchor_items ? anchor_items->to_vector() : std::vector<std::int32_t>{};
  bool anchors_ok = true;
  for (std::int32_t a : anchors)
    if (a < 0 || static_cast<std::size_t>(a) >= n_items) anchors_ok = false;
  std::vector<std::int64_t> total(n_rows, 0);
  if (anchors_ok) {
    parallel_chunks(n_rows, [&](std::size_t begin, std::size_t end) {
      for (std::size_t p = begin; p < end; ++p) {
        std::int64_t t = 0;
        if (anchor_items)
          for (std::int32_t a : anchors) t += data(p, static_cast<std::size_t>(a));
        else
          for (std::size_t j = 0; j < n_items; ++j) t += data(p, j);
        total[p] = t;
      }
    });
  }

  Vec beta(n_items), z(n_items), p_value(n_items);
  parallel_for(n_items, [&](std::size_t j) {
    std::int64_t own = 1;
    std::size_t n_matching = n_items - 1;
    if (anchor_items) {
      own = std::count(anchors.begin(), anchors.end(), static_cast<std::int32_t>(j));
      n_matching = anchors.size() - static_cast<std::size_t>(own);
    }
    beta[j] = z[j] = p_value[j] = kNaN;
    if (n_matching == 0) return;
    if (!anchors_ok)
      for (std::int32_t a : anchors)
        if (a < 0 || static_cast<std::size_t>(a) >= n_items)
          fail("anchor item " + std::to_string(a) + " is not a column of data");
    if (!rows_ok) {
      const std::size_t last = std::max(ref_rows.empty() ? 0 : ref_rows.back(),
                                        focal_rows.empty() ? 0 : focal_rows.back());
      require_entry(last, n_rows, "data rows");
    }
    auto members = [&](const std::vector<std::size_t>& rows) {
      std::vector<Member> m(rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i)
        m[i] = {total[rows[i]] - own * data(rows[i], j), rows[i]};
      std::sort(m.begin(), m.end());
      return m;
    };
    const std::vector<Member> ref = members(ref_rows), focal = members(focal_rows);
    std::vector<LevelStat> stats;
    std::vector<double> yr, yf;
    for (const Level& lv : score_levels(ref, focal)) {
      if (!lv.usable()) continue;
      yr.clear();
      yf.clear();
      for (std::size_t i = lv.r0; i < lv.r1; ++i) yr.push_back(static_cast<double>(data(ref[i].row, j)));
      for (std::size_t i = lv.f0; i < lv.f1; ++i) yf.push_back(static_cast<double>(data(focal[i].row, j)));
      stats.push_back(level_stat(yr, yf));
    }
    if (stats.empty()) return;
    const auto [b, se] = aggregate(stats);
    beta[j] = b;
    if (!(se > 1e-10)) return;
    z[j] = b / se;
    p_value[j] = ((std::erf(std::fabs(z[j]) / 1.4142135623730951) + 1.0) * (-0.5) + 1.0) * 2.0;
  });
  return {std::move(beta), std::move(z), std::move(p_value)};
}

}  // namespace

void declare_sibtest(Registry& r) {
  r.def<compute_beta>("sibtest_compute_beta",
                      {"ref_data", "focal_data", "ref_scores", "focal_scores", "suspect_items"},
                      "Compute SIBTEST beta statistic");
  r.def<all_items>("sibtest_all_items", {"data", "groups", "anchor_items"}, "Compute SIBTEST for all items");
}

}  // namespace korvane
