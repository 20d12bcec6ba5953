// Unit tests of the internals that no exported function shows directly: the
// logistic forms at their branch boundaries, log-sum-exp, the quadrature
// tables, the generator and the parallel loop.
//
//   korvane_unit_tests            run the tests, print "N passed, N failed"
//   korvane_unit_tests pcg S I N  print N raw outputs of PCG64 at state S and
//                                 increment I (decimal), one per line
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frame/types.hpp"
#include "utils/item_tables.hpp"
#include "utils/numerics.hpp"
#include "utils/parallel.hpp"
#include "utils/quadrature.hpp"
#include "utils/random.hpp"

using namespace korvane;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

template <class F>
bool throws_failure(F&& f) {
  try {
    f();
  } catch (const Failure&) {
    return true;
  }
  return false;
}

void test_logistic_forms() {
  check(logistic(0.0) == 0.5, "logistic(0) = 0.5");
  check(logistic(800.0) == 1.0 && logistic(-800.0) == 0.0, "logistic saturates without overflow");
  check(std::isnan(logistic(kNaN)), "logistic(NaN) is NaN");
  check(log_sigmoid(-800.0) == -800.0, "log_sigmoid(-800) = -800 exactly");
  check(same_bits(log_sigmoid(800.0), -0.0), "log_sigmoid(800) = -0.0");
  check(log_prob_2pl(true, 0.0) == -std::log(2.0) && log_prob_2pl(false, 0.0) == -std::log(2.0),
        "both responses contribute -ln 2 at z = 0");
  // The incorrect branch is log_sigmoid(-z) with its boundary at z <= 0.
  for (double z : {-30.0, -1e-300, 0.0, 1e-300, 2.5, 40.0}) {
    check(same_bits(log_one_minus_sigmoid(z), log_sigmoid(-z)), "log(1 - logistic) = log_sigmoid(-z)");
  }
  check(clamp_prob(kNaN) == kProbFloor && clamp_prob(2.0) == kProbCeil && clamp_prob(0.3) == 0.3,
        "probability clamp, NaN raised to the floor");
  check(kProbCeil == 1.0 - 1e-10, "ceiling is the double nearest 1 - 1e-10");
}

void test_log_sum_exp() {
  struct Case {
    std::vector<double> v;
    double want;
  };
  const std::vector<Case> cases = {
      {{-kInf, -kInf}, -kInf}, {{1.0, kInf}, kInf}, {{kNaN}, -kInf}, {{}, -kInf},
      {{1000.0, 1000.0}, 1000.0 + std::log(2.0)}, {{0.0, std::log(3.0)}, std::log(4.0)},
  };
  for (const Case& c : cases) {
    const double got = log_sum_exp(c.v.data(), c.v.size());
    check(got == c.want, "log_sum_exp case of " + std::to_string(c.v.size()) + " entries");
  }
  const double v[] = {0.0, kNaN};
  check(std::isnan(log_sum_exp(v, 2)), "log_sum_exp([0, NaN]) is NaN");
}

void test_row_log_likelihoods() {
  const std::int32_t missing[] = {-1, -9, -2};
  const double ones[] = {1.0, 1.0, 1.0};
  const std::ptrdiff_t shape[] = {3}, stride[] = {8};
  const F1 a(reinterpret_cast<const char*>(ones), shape, stride);
  check(log_likelihood_2pl(missing, 3, 0.7, a, a) == 0.0, "all-missing row has log-likelihood 0");
  const std::int32_t two[] = {2}, zero[] = {0};
  check(log_likelihood_2pl(two, 1, 0.3, a, a) == log_likelihood_2pl(zero, 1, 0.3, a, a), "code 2 is incorrect");
  const double guess[] = {1.0};
  const std::ptrdiff_t one[] = {1};
  const F1 c(reinterpret_cast<const char*>(guess), one, stride);
  const std::int32_t right[] = {1};
  check(log_likelihood_3pl(right, 1, 0.0, a, a, c) == std::log(kProbCeil) &&
            log_likelihood_3pl(zero, 1, 0.0, a, a, c) == std::log(1.0 - kProbCeil),
        "3PL with c = 1 is clamped");
  const std::int32_t answered[] = {-1, 1};
  const std::ptrdiff_t short_shape[] = {1};
  const F1 short_a(reinterpret_cast<const char*>(ones), short_shape, stride);
  check(throws_failure([&] { log_likelihood_2pl(answered, 2, 0.0, short_a, a); }),
        "a parameter missing for an answered item fails");
  check(!throws_failure([&] { log_likelihood_2pl(missing, 2, 0.0, short_a, a); }),
        "a parameter missing for a skipped item is not read");
}

void test_quadrature() {
  const Quadrature q15 = gauss_hermite_quadrature(15);
  check(q15.nodes.size() == 15 && q15.nodes[7] == 0.0 && q15.weights[7] == 0.23737244782039682,
        "15-point rule has 0 in the middle");
  check(q15.nodes[0] == -4.49999 && q15.nodes[14] == 4.49999 && q15.weights[14] == 1.5882713521750168e-09 &&
            q15.weights[13] == 1.5882713521750169e-06,
        "15-point rule mirrors its lower half");
  const Quadrature q21 = gauss_hermite_quadrature(21);
  check(q21.nodes.size() == 21 && q21.nodes[20] == 0.0 && q21.weights[20] == 0.27251848732990674,
        "21-point rule ends with the centre node");
  check(q21.nodes[9] == -0.24535 && q21.nodes[10] == 0.24535 && q21.nodes[19] == 5.38748 &&
            q21.weights[19] == 5.722888233928042e-14,
        "21-point rule has its 20 nodes ascending");
  const Quadrature q5 = gauss_hermite_quadrature(5);
  const double want[] = {-4.0, -2.0, 0.0, 2.0, 4.0};
  double total = 0.0;
  for (int i = 0; i < 5; ++i) {
    check(q5.nodes[i] == want[i], "5-point grid node");
    total += std::exp(-0.5 * want[i] * want[i]);
  }
  check(q5.weights[1] == std::exp(-2.0) / total, "5-point weights are normalised normal densities");
  check(gauss_hermite_quadrature(0).nodes.empty(), "0 nodes");
  const Quadrature q1 = gauss_hermite_quadrature(1);
  check(q1.nodes.size() == 1 && std::isnan(q1.nodes[0]) && std::isnan(q1.weights[0]), "1 node is NaN");
}

void test_generator() {
  Pcg64 g(42), h(42), other(43);
  bool same = true, differ = false;
  for (int i = 0; i < 100; ++i) {
    const std::uint64_t x = g.next();
    same = same && x == h.next();
    differ = differ || x != other.next();
  }
  check(same, "equal seeds give equal streams");
  check(differ, "neighbouring seeds give different streams");
  check(task_seed(~std::uint64_t{0}, 2) == 1, "task seeds wrap around");

  Pcg64 u(7);
  double lo = 1.0, hi = 0.0, mean = 0.0;
  const int n = 200000;
  for (int i = 0; i < n; ++i) {
    const double x = u.uniform();
    lo = std::min(lo, x);
    hi = std::max(hi, x);
    mean += x;
  }
  check(lo >= 0.0 && hi < 1.0 && std::fabs(mean / n - 0.5) < 0.005, "uniform draws lie in [0, 1)");

  Pcg64 k(9);
  std::vector<int> counts(7, 0);
  bool in_range = true;
  for (int i = 0; i < 70000; ++i) {
    const std::uint64_t x = k.below(7);
    in_range = in_range && x < 7;
    if (x < 7) ++counts[x];
  }
  bool even = true;
  for (int c : counts) even = even && std::abs(c - 10000) < 500;
  check(in_range && even, "integers in [0, 7) are uniform");
  check(k.below(1) == 0, "a range of one");
  check(throws_failure([&] { k.below(0); }), "an empty integer range fails");

  Pcg64 z(11);
  double s1 = 0.0, s2 = 0.0, s4 = 0.0;
  for (int i = 0; i < n; ++i) {
    const double x = z.normal();
    s1 += x;
    s2 += x * x;
    s4 += x * x * x * x;
  }
  s1 /= n;
  s2 /= n;
  s4 /= n;
  check(std::fabs(s1) < 0.01 && std::fabs(s2 - 1.0) < 0.015 && std::fabs(s4 - 3.0) < 0.08,
        "normal draws have mean 0, variance 1, kurtosis 3");
  check(throws_failure([] { Normal(0.0, kInf); }) && throws_failure([] { Normal(0.0, kNaN); }),
        "a non-finite standard deviation fails at set-up");
  Pcg64 p(5), q(5);
  const Normal shifted(2.0, -3.0);
  check(shifted(p) == 2.0 + -3.0 * q.normal(), "normal(mu, sigma) = mu + sigma z, negative sigma allowed");

  double worst = 0.0;
  for (double x = 1e-300; x < 1.0; x *= 1.37) {
    worst = std::max(worst, std::fabs(portable_log(x) - std::log(x)) / std::fabs(std::log(x)));
  }
  check(worst < 4e-16, "portable log agrees with the C library to an ulp or two");
}

void test_parallel_loop() {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{100000}}) {
    std::vector<std::atomic<int>> hits(n);
    parallel_for(n, [&](std::size_t i) { hits[i].fetch_add(1); });
    bool once = true;
    for (auto& h : hits) once = once && h.load() == 1;
    check(once, "every index is processed exactly once, n = " + std::to_string(n));
  }
  bool carried = false;
  try {
    parallel_for(1000, [](std::size_t i) {
      if (i == 777) fail("index 777");
    });
  } catch (const Failure& e) {
    carried = std::string(e.what()) == "index 777";
  }
  check(carried, "a failure in a task reaches the caller");

  std::vector<double> sums(64, 0.0);
  parallel_for(64, [&](std::size_t r) {
    std::vector<double> part(100);
    parallel_for(100, [&](std::size_t i) { part[i] = static_cast<double>(r * 100 + i); });
    for (double v : part) sums[r] += v;
  });
  bool nested = true;
  for (std::size_t r = 0; r < 64; ++r) nested = nested && sums[r] == 100.0 * r * 100 + 4950.0;
  check(nested, "a parallel loop inside a task completes");
  check(parallel_sum(1001, [](std::size_t i) { return static_cast<double>(i); }) == 500500.0, "parallel sum");
}

void test_arrays() {
  Array<double, 2> m(3, 4);
  bool zero = true;
  for (std::size_t i = 0; i < m.size(); ++i) zero = zero && m[i] == 0.0;
  check(zero && m.extent(0) == 3 && m.extent(1) == 4, "arrays start zero-filled");
  m(2, 3) = 5.0;
  check(m.data()[11] == 5.0 && m.row(2)[3] == 5.0, "arrays are row-major");
  check(throws_failure([] { Array<double, 2> huge(std::size_t{1} << 40, std::size_t{1} << 40); }),
        "a size whose byte count overflows fails");
}

int print_pcg(const char* state_text, const char* inc_text, const char* count_text) {
  auto parse = [](const char* s) {
    u128 v = 0;
    for (; *s; ++s) v = v * 10 + static_cast<unsigned>(*s - '0');
    return v;
  };
  Pcg64 g = Pcg64::from_state(parse(state_text), parse(inc_text));
  const long n = std::atol(count_text);
  for (long i = 0; i < n; ++i) std::printf("%llu\n", static_cast<unsigned long long>(g.next()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "pcg") == 0) return print_pcg(argv[2], argv[3], argv[4]);
  test_logistic_forms();
  test_log_sum_exp();
  test_row_log_likelihoods();
  test_quadrature();
  test_generator();
  test_parallel_loop();
  test_arrays();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
