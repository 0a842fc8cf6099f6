// A cheap step toward a steady flow.
#pragma once

#include "model/Model.hpp"
#include "solver/SaintVenant.hpp"

namespace quarno {

// One step of Heun's method (the second-order strong-stability-preserving
// Runge-Kutta method) of the flow state y (2 M entries: the M cell depths,
// then the M unit discharges) over dt, with the right-hand side of `flow`.
// Its fixed points are those of the embedded Runge-Kutta step, where the
// right-hand side vanishes, and it costs two evaluations of the right-hand
// side against seven: a march to the steady flow gets close with it, and the
// embedded steps confirm the state. `slope` and `y1` are scratch of the
// same size. False when a depth is not positive or a value not finite (y is
// then left part-way and must be restored by the caller).
bool heun_step(const RhsView& flow, Array<double>& y, Array<double>& slope, Array<double>& y1,
               int M, double dt);

}  // namespace quarno
