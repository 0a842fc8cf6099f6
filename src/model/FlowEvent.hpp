// What the step controller shows on the console during an outer step, as an
// event: the Runge-Kutta step returns it, the controller shows it, and a flow
// record keeps it as one byte (the values below are those bytes).
#pragma once

#include <cstdint>

namespace quarno {

enum class FlowEvent : std::uint8_t {
  step_not_significant = 1,  // "Stepsize not significant in RKQC."
  step_below_minimum = 2,    // "Stepsize smaller than minimum."
  too_many_steps = 3,        // "Too many steps."
};
constexpr std::uint8_t kLastFlowEvent = 3;

}  // namespace quarno
