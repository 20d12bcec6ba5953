#include "frame/binding.hpp"

namespace korvane {

void declare_calibration(Registry&) {}

}  // namespace korvane
