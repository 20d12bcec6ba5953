#include "frame/binding.hpp"

namespace korvane {

void declare_cat(Registry&) {}

}  // namespace korvane
