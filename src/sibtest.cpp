#include "frame/binding.hpp"

namespace korvane {

void declare_sibtest(Registry&) {}

}  // namespace korvane
