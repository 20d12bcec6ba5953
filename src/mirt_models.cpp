#include "frame/binding.hpp"

namespace korvane {

void declare_mirt_models(Registry&) {}

}  // namespace korvane
