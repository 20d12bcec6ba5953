#include "frame/binding.hpp"

namespace korvane {

void declare_standard_errors(Registry&) {}

}  // namespace korvane
