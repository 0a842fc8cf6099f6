// The adaptive step controller of the flow: carries the state vector across
// an outer step in as many quality-controlled inner steps as the error
// control requires. Each inner step is a sequence of Runge-Kutta trials
// (solver/RungeKutta.hpp), shrinking until the scaled error is within the
// tolerance, then growing the next step's proposal. The controller shows
// nothing itself: what the user is to see (FlowEvent) goes to the caller's
// event handler, in the order it happens, and the outcome says whether the
// step reached its end.
#pragma once

#include <cmath>

#include "model/Array.hpp"
#include "model/FlowEvent.hpp"
#include "model/Model.hpp"
#include "solver/RungeKutta.hpp"

namespace quarno {

namespace step_control {
constexpr double kSafety = 0.8999999761581421;            // 0.9 in single precision
constexpr double kShrink = -0.25;
constexpr double kGrow = -0.20000000298023224;            // -0.2 in single precision
constexpr double kGrowThreshold = 0.0006000000284984708;  // 6e-4 in single precision
constexpr double kScaleFloor = 1e-10;                     // added to every error scale
// Inner steps in a row too small to change the model time, after which the
// flow cannot advance: such steps would otherwise repeat until the budget
// of inner steps runs out.
constexpr int kMaxStalledSteps = 100;
}  // namespace step_control

// The budget of inner steps of one outer step.
constexpr int kMaxInnerSteps = 5000000;

// What happened in a quality-controlled step besides its result.
enum class RkEvent {
  none,
  // A trial step was too small to change x (the user is shown "Stepsize not
  // significant in RKQC."); the step went on and was accepted.
  not_significant,
  // As not_significant, and a further trial too small to change x still had
  // too large an error: the step could only shrink further and would never
  // end, so it stopped there. x and y are not a result.
  cannot_advance,
};

struct RkStep {
  double h_did;   // the step taken
  double h_next;  // the step proposed next
  RkEvent event;
};

// One quality-controlled step from (x, y) with derivative dydx, trying h_try
// first: trials shrink by the error norm until it is at most 1 (a norm that
// is not a number is accepted), the accepted result is extrapolated to fifth
// order, and the next step is proposed (grown at most fourfold). Advances x
// and y by h_did.
template <class Rhs>
RkStep controlled_step(const RkWork& w, Array<double>& y, const Array<double>& dydx, int n,
                       double& x, double h_try, double eps_tol, const Array<double>& y_scale,
                       Rhs&& rhs) {
  using namespace step_control;
  rk_start(w, y, dydx, n);
  const double x0 = x;
  double h = h_try;
  RkEvent event = RkEvent::none;
  bool insignificant_before = false;  // an earlier trial too small to change x
  double err_max;
  while (true) {
    err_max = rk_trial(w, y, n, x0, h, y_scale, eps_tol, rhs);
    x = x0 + h;
    const bool insignificant = x == x0;
    if (insignificant) event = RkEvent::not_significant;
    if (!(err_max > 1.0)) break;  // accepted, also when err_max is not a number
    if (insignificant && insignificant_before) return RkStep{h, h, RkEvent::cannot_advance};
    insignificant_before = insignificant_before || insignificant;
    h = (h * kSafety) * std::pow(err_max, kShrink);
  }
  RkStep step{h, 0.0, event};
  if (err_max > kGrowThreshold)
    step.h_next = (h * kSafety) * std::pow(err_max, kGrow);
  else
    step.h_next = 4 * h;
  rk_extrapolate(w, y, n);
  return step;
}

// The controller's own scratch beside that of the Runge-Kutta trials: the
// state being advanced, its derivative and the error scale. The trials' team
// shares the controller's loops too.
struct ControllerWork {
  Array<double>& ywork;
  Array<double>& dydx;
  Array<double>& yscale;
  RkWork rk;
};

// How an outer step of the flow ended.
enum class FlowOutcome {
  reached,         // y holds the state at x2
  too_many_steps,  // the budget ran out (after the event too_many_steps); y is unchanged
  cannot_advance,  // no step can change the model time any more; y is unchanged
};
struct FlowAdvance {
  FlowOutcome outcome;
  double t;  // with cannot_advance, the model time at which it stopped
};

// Carries y from x1 to x2 = x1 + dt, starting with one inner step over the
// whole interval and cutting the last one to end on x2. rhs(t, y, k, n)
// evaluates the derivative; on_event(FlowEvent) is called for each event
// the user is to see, when it happens: a trial too small to change the time
// (step_not_significant), a proposed step below kMinStep
// (step_below_minimum), and the budget of max_steps inner steps running out
// (too_many_steps).
template <class Rhs, class OnEvent>
FlowAdvance advance_flow(const ControllerWork& w, Array<double>& y, int n, double x1, double dt,
                         double x2, int max_steps, Rhs&& rhs, OnEvent&& on_event) {
  using namespace step_control;
  Array<double>& ywork = w.ywork;
  Array<double>& dydx = w.dydx;
  Array<double>& yscale = w.yscale;

  const double span = (x1 + dt) - x1;
  double h = span >= 0 ? std::fabs(dt) : -std::fabs(dt);
  double x = x1;
  Team* team = w.rk.team;
  share_loop(team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i) ywork(i) = y(i);
  });

  int stalled = 0;
  for (int nstp = 1;;) {
    rhs(x, ywork, dydx, n);
    share_loop(team, n, [&](int i0, int i1) {
      for (int i = i0; i <= i1; ++i)
        yscale(i) = (std::fabs(ywork(i)) + kScaleFloor) + std::fabs(h * dydx(i));
    });
    if (((h - x1) + x) * ((h - x2) + x) > 0) h = x2 - x;  // do not pass the interval end
    const double x_before = x;
    const RkStep step = controlled_step(w.rk, ywork, dydx, n, x, h, eps, yscale, rhs);
    if (step.event != RkEvent::none) on_event(FlowEvent::step_not_significant);
    if (step.event == RkEvent::cannot_advance)
      return FlowAdvance{FlowOutcome::cannot_advance, x_before};
    if ((x - x2) * span >= 0) {
      share_loop(team, n, [&](int i0, int i1) {
        for (int i = i0; i <= i1; ++i) y(i) = ywork(i);
      });
      return FlowAdvance{FlowOutcome::reached, x};
    }
    stalled = x == x_before ? stalled + 1 : 0;
    if (stalled == kMaxStalledSteps) return FlowAdvance{FlowOutcome::cannot_advance, x};
    if (std::fabs(step.h_next) < kMinStep) on_event(FlowEvent::step_below_minimum);
    h = step.h_next;
    if (++nstp > max_steps) {
      on_event(FlowEvent::too_many_steps);
      return FlowAdvance{FlowOutcome::too_many_steps, x};
    }
  }
}

}  // namespace quarno
