#include "frame/binding.hpp"

namespace korvane {

void declare_estimation(Registry&) {}

}  // namespace korvane
