// The views through which the run layer hands the model's arrays to the
// numerical kernels: each kernel sees what it reads and writes, nothing else.
#pragma once

#include "model/Model.hpp"
#include "solver/Balances.hpp"
#include "solver/RungeKutta.hpp"
#include "solver/StepController.hpp"
#include "solver/SaintVenant.hpp"
#include "solver/SiteValues.hpp"
#include "solver/TransportStep.hpp"

namespace quarno {

// The flow right-hand side of the model: its channel, its results and its
// helper threads, and the boundary values as they are now (build it again
// when they change, at the next outer step).
RhsView rhs_view(Model& m);

// The scratch of the Runge-Kutta step, and the team that shares its loops
// (null: none).
RkWork rk_work(StepScratch& s, Team* team = nullptr);
// The scratch of the step controller, with that of its Runge-Kutta trials,
// and the team that shares their loops (null: none).
ControllerWork controller_work(StepScratch& s, Team* team = nullptr);

// The transport step of the model; its arrays stay in place for a run.
TransportView transport_view(Model& m);

// The node hydraulics of the model, after its flow step.
NodeHydraulicsView node_hydraulics_view(Model& m);

// The balances of the model: its storages and the amounts of the step that
// the clock and the end faces show when they are taken.
BalanceView balance_view(const Model& m);

// The values at the model's observation positions.
SiteView site_view(const Model& m);
// What the sources add at each position's stretch (with sources only).
SiteSourceView site_source_view(const Model& m);
// The weather at each position (with weather only).
SiteWeatherView site_weather_view(const Model& m);

}  // namespace quarno
