#include "frame/binding.hpp"

namespace korvane {

void declare_scoring(Registry&) {}

}  // namespace korvane
