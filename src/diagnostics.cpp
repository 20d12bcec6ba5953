#include "frame/binding.hpp"

namespace korvane {

void declare_diagnostics(Registry&) {}

}  // namespace korvane
