// The quadrature grid of the fitting drivers.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane {

struct Quadrature {
  std::vector<double> nodes;
  std::vector<double> weights;
};

// n = 15 and n = 21: fixed tables (nodes not scaled by sqrt 2, so their
// ability variances are about 0.71 and 0.34).  Any other n: n equally spaced
// nodes on [-4, 4] with weights proportional to exp(-x^2 / 2), summing to 1.
Quadrature gauss_hermite_quadrature(std::uint64_t n);

}  // namespace korvane
