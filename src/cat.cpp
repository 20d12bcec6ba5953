// Computerized adaptive testing with 2PL items: Fisher information,
// maximum-information selection, the EAP update after a response, and whole
// simulated adaptive tests (batch runs and conditional bias / MSE).
//
// The single-step functions are what a Python-level CAT loop calls once per
// administered item.  The simulators run the same steps inside one call
// (cat_simulate_single): the item-by-node log-probabilities are computed once
// per call and each parallel chunk allocates one set of run buffers that all
// its runs reuse, so a step allocates nothing.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <tuple>
#include <vector>

#include "frame/binding.hpp"
#include "utils/item_tables.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"
#include "utils/posterior.hpp"
#include "utils/random.hpp"

namespace korvane {
namespace {

constexpr double kLogRootTwoPi = 0.9189385332046727;  // ln sqrt(2 pi)

// Fisher information of a 2PL item, a^2 P (1 - P), evaluated as
// (1 - P) * (a * a * P) with P = logistic(a (theta - b)).
inline double item_information(double theta, double a, double b) {
  const double p = logistic((theta - b) * a);
  return (1.0 - p) * (a * a * p);
}

// ---- single steps ---------------------------------------------------------

Vec compute_item_info(double theta, F1 discrimination, F1 difficulty) {
  const std::size_t n = std::min(discrimination.size(), difficulty.size());
  Vec out(n);
  for (std::size_t j = 0; j < n; ++j) out[j] = item_information(theta, discrimination(j), difficulty(j));
  return out;
}

// The first available item of largest information; NaN never wins (it fails
// every comparison), and -1 when nothing is available.
std::int64_t select_max_info(double theta, F1 discrimination, F1 difficulty, B1 available_mask) {
  const std::size_t n = discrimination.size();
  if (available_mask.size() < n) {
    fail("available_mask has " + std::to_string(available_mask.size()) + " entries; discrimination has " +
         std::to_string(n));
  }
  double best = -kInf;
  std::int64_t choice = -1;
  for (std::size_t j = 0; j < n; ++j) {
    if (!available_mask(j)) continue;
    require_entry(j, difficulty.size(), "difficulty");
    const double info = item_information(theta, discrimination(j), difficulty(j));
    if (info > best) {
      best = info;
      choice = static_cast<std::int64_t>(j);
    }
  }
  return choice;
}

// EAP and its standard error from all administered items, recomputed from
// scratch.  The prior is the standard-normal log density added to ln w_q.
std::tuple<Vec, Vec> eap_update(I1 administered_items, I1 responses, F1 discrimination, F1 difficulty,
                                F1 quad_points, F1 quad_weights) {
  Vec eap(1), se(1);
  const std::size_t n_quad = quad_points.size();
  if (n_quad == 0) return {std::move(eap), std::move(se)};  // (0.0, 0.0)
  const std::size_t n_given = administered_items.size();
  if (responses.size() < n_given) {
    fail("responses has " + std::to_string(responses.size()) + " entries; administered_items has " +
         std::to_string(n_given));
  }
  require_entry(n_quad - 1, quad_weights.size(), "quad_weights");
  const std::size_t n_pool = std::min(discrimination.size(), difficulty.size());
  const std::vector<double> theta = quad_points.to_vector();
  std::vector<double> ll(n_quad, 0.0);
  for (std::size_t k = 0; k < n_given; ++k) {
    const std::int32_t x = responses(k);
    if (x < 0) continue;
    const std::int32_t item = administered_items(k);
    if (item < 0 || static_cast<std::size_t>(item) >= n_pool) {
      fail("administered item " + std::to_string(item) + " at position " + std::to_string(k) +
           " is outside the bank of " + std::to_string(n_pool) + " items");
    }
    const double a = discrimination(static_cast<std::size_t>(item));
    const double b = difficulty(static_cast<std::size_t>(item));
    for (std::size_t q = 0; q < n_quad; ++q) {
      const double z = (theta[q] - b) * a;
      ll[q] += (x == 1) ? log_sigmoid(z) : log_sigmoid(-z);
    }
  }
  std::vector<double> lp(n_quad);
  for (std::size_t q = 0; q < n_quad; ++q) {
    lp[q] = std::log(quad_weights(q)) + (-0.5 * theta[q] * theta[q] - kLogRootTwoPi + ll[q]);
  }
  const GridSummary e = summarize_grid_posterior(lp.data(), theta.data(), n_quad, lp.data());
  eap[0] = e.mean;
  se[0] = e.se;
  return {std::move(eap), std::move(se)};
}

// ---- simulated adaptive tests ---------------------------------------------

// Signed 32-bit counts widened by sign extension and used as unsigned counts:
// a negative min_items is a huge count, so the SE rule never stops a test.
std::uint64_t widen(std::int32_t v) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(v)); }

// Below this running best, the information bound is not used to skip items
// (products near the underflow range lose their relative accuracy).
constexpr double kPruneFloor = 1e-300;

// Everything a run reads, built once per call and shared read-only.
struct Bank {
  Bank(const F1& discrimination, const F1& difficulty, const F1& quad_points, const F1& quad_weights,
       double se_threshold_, std::int32_t max_items_, std::int32_t min_items_)
      : n_entries(discrimination.size()),
        n_pool(std::min(discrimination.size(), difficulty.size())),
        n_quad(quad_points.size()),
        a(discrimination.to_vector()),
        b(difficulty.to_vector()),
        theta(quad_points.to_vector()),
        weights_short(quad_weights.size() < n_quad),
        table(ItemLogTable::two_pl(quad_points, discrimination, difficulty, n_pool)),
        se_threshold(se_threshold_),
        max_items(widen(max_items_)),
        min_items(widen(min_items_)) {
    // Prior terms of the log posterior, the same at every update.
    log_weight.resize(n_quad);
    half_square.resize(n_quad);
    for (std::size_t q = 0; q < n_quad; ++q) {
      half_square[q] = -0.5 * theta[q] * theta[q];
      if (!weights_short) log_weight[q] = std::log(quad_weights(q));
    }
    // Selection candidates by decreasing a^2 (ties by index).  An item whose
    // a or b is NaN has NaN information at every ability and is never chosen.
    for (std::size_t j = 0; j < n_pool; ++j)
      if (!std::isnan(a[j]) && !std::isnan(b[j])) order.push_back(j);
    std::vector<double> square(n_pool);
    for (std::size_t j = 0; j < n_pool; ++j) square[j] = a[j] * a[j];
    std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t k) {
      return square[i] > square[k] || (square[i] == square[k] && i < k);
    });
    // P (1 - P) <= 1/4, and the three roundings of (1 - P) * (a * a * P) stay
    // far inside the factor 1 + 2^-40: no item's information exceeds its bound.
    bound.resize(order.size());
    for (std::size_t c = 0; c < order.size(); ++c) bound[c] = square[order[c]] * 0.25 * (1.0 + 0x1.0p-40);
  }

  std::size_t n_entries;  // availability flags: one per entry of discrimination
  std::size_t n_pool;     // items that can be selected
  std::size_t n_quad;
  std::vector<double> a, b, theta;
  bool weights_short;
  ItemLogTable table;
  std::vector<double> log_weight, half_square;
  std::vector<std::size_t> order;
  std::vector<double> bound;
  double se_threshold;
  std::uint64_t max_items;
  std::uint64_t min_items;
};

// The record of one run: the final estimate, its standard error and the
// number of items administered; the administered items and their responses
// stay in the run's buffers.
struct RunRecord {
  double theta_hat;
  double se;
  std::size_t n_items;
};

// The buffers of one run, allocated once and reused by every run of a
// parallel chunk, so a step allocates nothing.
struct RunBuffers {
  explicit RunBuffers(const Bank& bank)
      : available(bank.n_entries),
        items(std::min<std::uint64_t>(bank.max_items, bank.n_pool)),
        responses(items.size()),
        ll(bank.n_quad),
        lp(bank.n_quad) {}

  std::vector<unsigned char> available;  // one byte per entry of discrimination
  std::vector<std::int32_t> items;       // administered items, in order
  std::vector<std::int32_t> responses;   // their responses (0 or 1)
  std::vector<double> ll;                // log-likelihood of the responses at each node
  std::vector<double> lp;                // log posterior, then posterior weights
};

constexpr std::size_t kNoItem = std::numeric_limits<std::size_t>::max();

// The lowest-index available item of largest information at theta, the item
// a scan in index order with a strictly-greater test finds.  Two bounds skip
// items that cannot reach the running best without changing the choice:
// P (1 - P) <= 1/4 for the whole bank, whose candidates come by decreasing
// a^2 so that the scan ends once the best exceeds a^2 / 4; and
// P (1 - P) = 1 / (2 + 2 cosh z) <= 1 / (4 + z^2) for one item, with room for
// the rounding of (1 - P) (absolute, about 2^-52) and of the products.
// Neither is used below a best of 1e-300, where products may underflow.
std::size_t select_item(const Bank& bank, const RunBuffers& buf, double theta) {
  double best = -kInf;
  std::size_t choice = kNoItem;
  const std::size_t n = bank.order.size();
  for (std::size_t c = 0; c < n; ++c) {
    const bool prune = best > kPruneFloor;
    if (prune && bank.bound[c] < best) break;
    const std::size_t j = bank.order[c];
    if (!buf.available[j]) continue;
    const double a = bank.a[j];
    const double z = (theta - bank.b[j]) * a;
    const double sq = a * a;
    if (prune && sq / (4.0 + z * z) * (1.0 + 0x1.0p-30) + sq * 0x1.0p-40 < best) continue;
    const double p = logistic(z);
    const double info = (1.0 - p) * (sq * p);  // item_information(theta, a, b), same operations
    if (info > best || (info == best && j < choice)) {
      best = info;
      choice = j;
    }
  }
  return choice;
}

// Posterior over all administered items after item j was answered x.  The
// log-likelihood at each node is kept as a running sum in administration
// order, which is exactly the sum recomputed from zero over all of them.
void update_estimate(const Bank& bank, RunBuffers& buf, std::size_t j, std::int32_t x, RunRecord& r) {
  const std::size_t n_quad = bank.n_quad;
  if (n_quad == 0) {
    r.theta_hat = 0.0;
    r.se = 0.0;
    return;
  }
  if (bank.weights_short) {
    fail("quad_weights has fewer entries than quad_points (" + std::to_string(n_quad) + ")");
  }
  const double* row = bank.table.log_probs(j, x);
  for (std::size_t q = 0; q < n_quad; ++q) {
    buf.ll[q] += row[q];
    buf.lp[q] = bank.log_weight[q] + (bank.half_square[q] + buf.ll[q]);
  }
  const GridSummary e = summarize_grid_posterior(buf.lp.data(), bank.theta.data(), n_quad, buf.lp.data());
  r.theta_hat = e.mean;
  r.se = e.se;
}

// One examinee of true ability theta_true taking one adaptive test:
// select at the current estimate, draw the response at the true ability
// (one uniform number per item), update, then the SE rule and the length cap.
RunRecord cat_simulate_single(const Bank& bank, RunBuffers& buf, Pcg64& generator, double theta_true) {
  RunRecord r{0.0, kInf, 0};
  if (bank.max_items == 0) return r;
  std::fill(buf.available.begin(), buf.available.end(), static_cast<unsigned char>(1));
  std::fill(buf.ll.begin(), buf.ll.end(), 0.0);
  for (;;) {
    const std::size_t j = select_item(bank, buf, r.theta_hat);
    if (j == kNoItem) break;
    buf.available[j] = 0;
    const double p = logistic((theta_true - bank.b[j]) * bank.a[j]);
    const std::int32_t x = (p > generator.uniform()) ? 1 : 0;
    buf.items[r.n_items] = static_cast<std::int32_t>(j);
    buf.responses[r.n_items] = x;
    ++r.n_items;
    update_estimate(bank, buf, j, x, r);
    if (r.n_items >= bank.min_items && r.se <= bank.se_threshold) break;
    if (r.n_items == bank.max_items) break;
  }
  return r;
}

// A run keeps up to max_items administered items; a negative max_items is a
// count whose byte size overflows.  The buffers themselves never need more
// than the bank size.
void check_capacity(std::uint64_t max_items) {
  (void)checked_product<std::int32_t>(static_cast<std::size_t>(max_items), 1);
}

std::tuple<Vec, Vec, Array<std::int32_t, 1>, Vec> simulate_batch(F1 true_thetas, F1 discrimination,
                                                                   F1 difficulty, F1 quad_points, F1 quad_weights,
                                                                   double se_threshold, std::int32_t max_items,
                                                                   std::int32_t min_items,
                                                                   std::int32_t n_replications, std::uint64_t seed) {
  const std::size_t n_persons = true_thetas.size();
  const std::size_t n_rep = static_cast<std::size_t>(widen(n_replications));
  const std::size_t n_tasks = checked_product<double>(n_persons, n_rep);
  Vec theta_hat(n_tasks), se(n_tasks), true_theta(n_tasks);
  Array<std::int32_t, 1> n_items(n_tasks);
  if (n_tasks == 0) return {std::move(theta_hat), std::move(se), std::move(n_items), std::move(true_theta)};
  check_capacity(widen(max_items));
  const std::vector<double> thetas = true_thetas.to_vector();
  const Bank bank(discrimination, difficulty, quad_points, quad_weights, se_threshold, max_items, min_items);
  parallel_chunks(n_tasks, [&](std::size_t begin, std::size_t end) {
    RunBuffers buf(bank);
    for (std::size_t t = begin; t < end; ++t) {
      const std::size_t p = t / n_rep, rep = t % n_rep;
      Pcg64 generator(task_seed(seed, 1000 * static_cast<std::uint64_t>(p) + rep));
      const RunRecord res = cat_simulate_single(bank, buf, generator, thetas[p]);
      theta_hat[t] = res.theta_hat;
      se[t] = res.se;
      n_items[t] = static_cast<std::int32_t>(res.n_items);
      true_theta[t] = thetas[p];
    }
  });
  return {std::move(theta_hat), std::move(se), std::move(n_items), std::move(true_theta)};
}

std::tuple<Vec, Vec, Vec, Vec> conditional_mse(F1 eval_thetas, F1 discrimination, F1 difficulty, F1 quad_points,
                                               F1 quad_weights, double se_threshold, std::int32_t max_items,
                                               std::int32_t min_items, std::int32_t n_replications,
                                               std::uint64_t seed) {
  const std::size_t n_eval = eval_thetas.size();
  const std::size_t n_rep = static_cast<std::size_t>(widen(n_replications));
  (void)checked_product<double>(n_eval, n_rep);  // a negative count with an ability to run fails here
  Vec theta(n_eval), bias(n_eval), mse(n_eval), mean_items(n_eval);
  if (n_eval == 0) return {std::move(theta), std::move(bias), std::move(mse), std::move(mean_items)};
  if (n_rep > 0) check_capacity(widen(max_items));
  const std::vector<double> thetas = eval_thetas.to_vector();
  const Bank bank(discrimination, difficulty, quad_points, quad_weights, se_threshold, max_items, min_items);
  const double n = static_cast<double>(n_rep);
  parallel_chunks(n_eval, [&](std::size_t begin, std::size_t end) {
    RunBuffers buf(bank);
    for (std::size_t i = begin; i < end; ++i) {
      const double target = thetas[i];
      double sum_hat = 0.0, sum_sq = 0.0, sum_items = 0.0;
      for (std::size_t rep = 0; rep < n_rep; ++rep) {
        Pcg64 generator(task_seed(seed, 10000 * static_cast<std::uint64_t>(i) + rep));
        const RunRecord res = cat_simulate_single(bank, buf, generator, target);
        const double d = res.theta_hat - target;
        sum_hat += res.theta_hat;
        sum_sq += d * d;
        sum_items += static_cast<double>(res.n_items);
      }
      theta[i] = target;
      bias[i] = sum_hat / n - target;
      mse[i] = sum_sq / n;
      mean_items[i] = sum_items / n;
    }
  });
  return {std::move(theta), std::move(bias), std::move(mse), std::move(mean_items)};
}

}  // namespace

void declare_cat(Registry& r) {
  r.def<compute_item_info>("cat_compute_item_info", {"theta", "discrimination", "difficulty"},
                           "Compute Fisher information for all items at a given theta");
  r.def<select_max_info>("cat_select_max_info", {"theta", "discrimination", "difficulty", "available_mask"},
                         "Select item with maximum Fisher information from available items");
  r.def<eap_update>("cat_eap_update",
                    {"administered_items", "responses", "discrimination", "difficulty", "quad_points",
                     "quad_weights"},
                    "Incremental EAP update after a single response");
  r.def<simulate_batch>("cat_simulate_batch",
                        {"true_thetas", "discrimination", "difficulty", "quad_points", "quad_weights",
                         "se_threshold", "max_items", "min_items", "n_replications", "seed"},
                        "Run batch CAT simulations in parallel");
  r.def<conditional_mse>("cat_conditional_mse",
                         {"eval_thetas", "discrimination", "difficulty", "quad_points", "quad_weights",
                          "se_threshold", "max_items", "min_items", "n_replications", "seed"},
                         "Compute conditional MSE at specified theta values");
}

}  // namespace korvane
