#include "frame/binding.hpp"

namespace korvane {

void declare_mstep(Registry&) {}

}  // namespace korvane
