#include "frame/binding.hpp"

namespace korvane {

void declare_simulation(Registry&) {}

}  // namespace korvane
