#include "frame/binding.hpp"

namespace korvane {

void declare_eapsum(Registry&) {}

}  // namespace korvane
