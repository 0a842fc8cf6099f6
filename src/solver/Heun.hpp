// A cheap step toward a steady flow.
#pragma once

#include "model/Model.hpp"

namespace quarno {

// One step of Heun's method (the second-order strong-stability-preserving
// Runge-Kutta method) of the flow state m.flow.y from time t over dt. Its
// fixed points are those of the embedded Runge-Kutta step, where the
// right-hand side vanishes, and it costs two evaluations of the right-hand
// side against seven: a march to the steady flow gets close with it, and the
// embedded steps confirm the state. Uses m.step.dydx and m.step.ywork as
// scratch. False when a depth is not positive or a value not finite (y is
// then left part-way and must be restored by the caller).
bool heun_step(Model& m, double t, double dt);

}  // namespace quarno
