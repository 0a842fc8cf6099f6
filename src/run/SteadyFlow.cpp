#include "run/SteadyFlow.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "input/ScheduleChecks.hpp"
#include "model/Errors.hpp"
#include "run/Console.hpp"
#include "run/Controller.hpp"
#include "run/KernelViews.hpp"
#include "run/OuterStep.hpp"
#include "run/Sources.hpp"
#include "solver/Heun.hpp"
#include "solver/SaintVenant.hpp"
#include "solver/TransportStep.hpp"

namespace quarno {

namespace {

// Heun steps without a new smallest change after which the run's own steps
// take over.
constexpr long kHeunPatience = 20000;

// Largest relative change of the cell depths and discharges between y_before
// and y. A discharge is measured against the larger of its own size and a
// billionth of the largest discharge in the reach, so that a cell of nearly
// still water cannot hold the measure up with round-off.
double largest_relative_change(const Model& m) {
  const int M = m.grid.M;
  const Array<double>& y = m.flow.y;
  const Array<double>& y0 = m.steady.y_before;
  double q_largest = 0.0;
  for (int i = 1; i <= M; ++i) q_largest = std::max(q_largest, std::fabs(y0(M + i)));
  const double q_floor = std::max(1e-9 * q_largest, std::numeric_limits<double>::min());
  double change = 0.0;
  for (int i = 1; i <= M; ++i) {
    const double dh = std::fabs(y(i) - y0(i)) / std::max(std::fabs(y0(i)), kDryDepth);
    const double dq = std::fabs(y(M + i) - y0(M + i)) / std::max(std::fabs(y0(M + i)), q_floor);
    change = std::max(change, std::max(dh, dq));
  }
  return change;
}

std::string describe(const SteadyFlow& s) {
  return std::to_string(s.steps) + " steps, " + show_number(s.pseudo_time) +
         " s of pseudo-time, largest relative change over the last step " + show_number(s.change);
}

// The march of both entry points: with `heun_first`, Heun steps until they
// converge, fail or stall, then the run's own steps.
void march(Model& m, Outputs& out, const SteadyLimits& limits, bool heun_first) {
  const double tolerance = limits.tolerance;
  const RhsTeam team(m, rhs_threads(m.settings));
  RunState& c = m.clock;
  SteadyFlow& s = m.steady;
  Flow& f = m.flow;
  const int n = m.grid.n;
  const int k = s.row;  // every row that runs holds the same boundary values
  apply_schedule_row(m, k, 0.0);
  c.dt = kFirstStep;
  double t = 0.0;
  s.steps = 0;
  s.heun_steps = 0;
  s.change = std::numeric_limits<double>::infinity();
  bool heun = heun_first;
  double best = s.change;  // the smallest change of the Heun steps so far
  long since_best = 0;
  for (;;) {
    if (!heun && s.change < tolerance) break;
    if (s.steps >= limits.max_steps || t >= limits.max_pseudo_time)
      throw NumericalFailure("The flow did not reach a steady state within " +
                             show_number(limits.max_pseudo_time) + " s of pseudo-time or " +
                             std::to_string(limits.max_steps) + " steps: after " +
                             std::to_string(s.steps) + " steps (" + show_number(t) +
                             " s) the largest relative change over a step was " +
                             show_number(s.change) + ".");
    check_interrupt();
    set_inlet(m, k);
    courant_step(m);
    if (c.dt < kMinStep)
      throw NumericalFailure("The flow solution cannot advance at pseudo-time " +
                             show_number(t) + " s.");
    for (int i = 1; i <= n; ++i) s.y_before(i) = f.y(i);
    if (heun && !heun_step(rhs_view(m), f.y, m.step.dydx, m.step.ywork, m.grid.M, c.dt)) {
      // A depth that is not positive or a value that is not finite: the
      // run's own steps go on from the state before.
      for (int i = 1; i <= n; ++i) f.y(i) = s.y_before(i);
      heun = false;
      continue;
    }
    if (!heun) solve_flow_step(m, out, t, c.dt, t + c.dt);
    t += c.dt;
    unpack_state(m);
    s.steps += 1;
    s.change = largest_relative_change(m);
    out.progress.update_steady(t, s.change);
    if (heun) {
      s.heun_steps += 1;
      since_best = s.change < best ? 0 : since_best + 1;
      best = std::min(best, s.change);
      // Converged, or no progress for long: the run's own steps confirm the
      // state, or take over.
      if (s.change < tolerance || since_best > kHeunPatience) {
        heun = false;
        s.change = std::numeric_limits<double>::infinity();
      }
    }
  }
  s.pseudo_time = t;
  out.progress.clear_line();
}

}  // namespace

void march_to_steady_flow(Model& m, Outputs& out, const SteadyLimits& limits) {
  march(m, out, limits, true);
}

void march_to_steady_flow_with_run_steps(Model& m, Outputs& out, const SteadyLimits& limits) {
  march(m, out, limits, false);
}

void prepare_frozen_flow(Model& m) {
  const int k = m.steady.row;
  apply_schedule_row(m, k, 0.0);
  set_inlet(m, k);
  unpack_state(m);
  // The face values of the state itself, as a step's last evaluation of the
  // right-hand side would leave them, then those of the inlet cell.
  Array<double>& dydx = m.step.dydx;
  saint_venant_rhs(rhs_view(m), m.flow.y, dydx, m.grid.n);
  end_faces(m);
  node_hydraulics(node_hydraulics_view(m));
  m.clock.dt = 0.0;
}

namespace {

// Largest relative change of any cell's depth or discharge, as the march
// measures it, over one outer step of the run's own from the flow state in
// y; infinity when that step fails or needs more than
// kSavedStateMaxInnerSteps inner steps. The flow state is left as it was. A
// state far from steady must not show the step controller's pauses: they go
// nowhere.
double change_over_one_step(Model& m) {
  const int n = m.grid.n;
  const int k = m.steady.row;
  Flow& f = m.flow;
  Array<double>& y_before = m.steady.y_before;
  for (int i = 1; i <= n; ++i) y_before(i) = f.y(i);
  Outputs silent{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  double change = std::numeric_limits<double>::infinity();
  try {
    apply_schedule_row(m, k, 0.0);
    m.clock.dt = kFirstStep;
    unpack_state(m);
    set_inlet(m, k);
    courant_step(m);
    const RhsTeam team(m, rhs_threads(m.settings));
    if (m.clock.dt >= kMinStep &&
        solve_flow_step(m, silent, 0.0, m.clock.dt, m.clock.dt, kSavedStateMaxInnerSteps)) {
      unpack_state(m);
      change = largest_relative_change(m);
    }
  } catch (const NumericalFailure&) {
  }
  for (int i = 1; i <= n; ++i) f.y(i) = y_before(i);
  unpack_state(m);
  return change;
}

}  // namespace

bool use_saved_state(Model& m, Outputs& out, const SavedFlowState& saved) {
  const std::string key = steady_flow_key(m);
  const std::string& path = m.settings.flow_state;
  const int M = m.grid.M;
  auto note = [&](const std::string& why) {
    out.warnings.write_line("note: " + path + " " + why + "; computing the steady flow again.");
  };
  if (saved.key != key) {
    note("holds the steady flow of another set-up (key " + saved.key + ", this run " + key + ")");
    return false;
  }
  if (saved.cells != M) {
    note("holds " + std::to_string(saved.cells) + " cells, the grid " + std::to_string(M));
    return false;
  }
  Array<double>& y = m.flow.y;
  Array<double> initial = y;
  for (int i = 1; i <= M; ++i) {
    y(i) = saved.h[static_cast<std::size_t>(i - 1)];
    y(M + i) = saved.q[static_cast<std::size_t>(i - 1)];
  }
  const double change = change_over_one_step(m);
  if (!(change <= kSavedStateTolerance)) {
    char shown[96];
    if (std::isfinite(change))
      std::snprintf(shown, sizeof shown, "changes a cell's depth or discharge by a fraction "
                    "%.3g (at most %.3g allowed)", change, kSavedStateTolerance);
    else
      std::snprintf(shown, sizeof shown, "fails or takes more than %d inner steps",
                    kSavedStateMaxInnerSteps);
    note("does not hold a steady flow of this deck: one outer step from it " +
         std::string(shown));
    for (int i = 1; i <= 2 * M; ++i) y(i) = initial(i);
    unpack_state(m);
    return false;
  }
  SteadyFlow& s = m.steady;
  s.pseudo_time = saved.pseudo_time;
  s.steps = saved.steps;
  s.change = saved.change;
  return true;
}

void establish_steady_flow(Model& m, Outputs& out, const SavedFlowState* saved) {
  check_steady_schedule(m);
  check_steady_sources(m);
  set_sources(m, out, false);  // constant discharges: the march sees them throughout
  const std::string key = steady_flow_key(m);
  const std::string& path = m.settings.flow_state;
  const bool reused = saved != nullptr && use_saved_state(m, out, *saved);
  if (reused) {
    out.console.write_line("Steady flow from " + path + ": " + describe(m.steady) + ".");
  } else {
    march_to_steady_flow(m, out, SteadyLimits{});
    save_flow_state(m, key);
    out.console.write_line("Steady flow: " + describe(m.steady) + "; saved in " +
                           kSteadyFlowFile + ".");
  }
  out.console.flush();
  prepare_frozen_flow(m);
}

}  // namespace quarno
