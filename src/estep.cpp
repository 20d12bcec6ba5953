#include "frame/binding.hpp"

namespace korvane {

void declare_estep(Registry&) {}

}  // namespace korvane
