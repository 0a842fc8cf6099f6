// The views through which the run layer hands the model's arrays to the
// numerical kernels: each kernel sees what it reads and writes, nothing else.
#pragma once

#include "model/Model.hpp"
#include "solver/RungeKutta.hpp"
#include "solver/StepController.hpp"
#include "solver/SaintVenant.hpp"
#include "solver/TransportStep.hpp"

namespace quarno {

// The flow right-hand side of the model: its channel, its results and its
// helper threads, and the boundary values as they are now (build it again
// when they change, at the next outer step).
RhsView rhs_view(Model& m);

// The scratch of the Runge-Kutta step.
RkWork rk_work(StepScratch& s);
// The scratch of the step controller, with that of its Runge-Kutta trials.
ControllerWork controller_work(StepScratch& s);

// The transport step of the model; its arrays stay in place for a run.
TransportView transport_view(Model& m);

}  // namespace quarno
