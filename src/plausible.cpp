#include "frame/binding.hpp"

namespace korvane {

void declare_plausible(Registry&) {}

}  // namespace korvane
