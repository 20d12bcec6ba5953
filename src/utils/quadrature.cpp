#include "utils/quadrature.hpp"

#include <cmath>

#include "frame/types.hpp"

namespace korvane {
namespace {

// Lower halves of the fixed rules; the upper halves mirror them.
constexpr double kNodes15[] = {-4.49999, -3.66995, -2.96716, -2.32573, -1.71999, -1.13612, -0.56506};
constexpr double kWeights15[] = {1.5882713521750168e-09, 1.5882713521750169e-06, 0.00041295055156550435,
                                 0.005230706986496389,   0.033925476082458356,   0.11746854920686424,
                                 0.22427450340279353};
constexpr double kCentre15 = 0.23737244782039682;

constexpr double kNodes21[] = {-5.38748, -4.60368, -3.94477, -3.34785, -2.78881,
                               -2.25497, -1.73854, -1.23408, -0.73747, -0.24535};
constexpr double kWeights21[] = {5.722888233928042e-14,  1.1990813442515897e-10, 2.9977033606289744e-08,
                                 2.1256442011732726e-06, 6.267925208587855e-05,  0.0009538147056546737,
                                 0.00844807310722711,    0.04087777309948601,    0.1171829495518599,
                                 0.19621331087753285};
constexpr double kCentre21 = 0.27251848732990674;

template <std::size_t H>
void mirror(const double (&nodes)[H], const double (&weights)[H], Quadrature& q) {
  for (std::size_t i = H; i-- > 0;) {
    q.nodes.push_back(-nodes[i]);
    q.weights.push_back(weights[i]);
  }
}

}  // namespace

Quadrature gauss_hermite_quadrature(std::uint64_t n) {
  Quadrature q;
  if (n == 15) {
    q.nodes.assign(std::begin(kNodes15), std::end(kNodes15));
    q.weights.assign(std::begin(kWeights15), std::end(kWeights15));
    q.nodes.push_back(0.0);
    q.weights.push_back(kCentre15);
    mirror(kNodes15, kWeights15, q);
    return q;
  }
  if (n == 21) {
    // The 20 nodes ascending, then the centre node last.
    q.nodes.assign(std::begin(kNodes21), std::end(kNodes21));
    q.weights.assign(std::begin(kWeights21), std::end(kWeights21));
    mirror(kNodes21, kWeights21, q);
    q.nodes.push_back(0.0);
    q.weights.push_back(kCentre21);
    return q;
  }
  if (n == 0) return q;
  const std::size_t count = checked_product<double>(1, n);
  q.nodes.resize(count);
  q.weights.resize(count);
  const double step = 8.0 / static_cast<double>(n - 1);  // +inf for n = 1: one NaN node
  double total = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = step * static_cast<double>(i) + (-4.0);
    q.nodes[i] = x;
    q.weights[i] = std::exp(x * x * (-0.5));
    total += q.weights[i];
  }
  for (std::size_t i = 0; i < count; ++i) q.weights[i] = q.weights[i] / total;
  return q;
}

}  // namespace korvane
