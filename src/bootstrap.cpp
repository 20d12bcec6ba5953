#include "frame/binding.hpp"

namespace korvane {

void declare_bootstrap(Registry&) {}

}  // namespace korvane
