#include "run/Controller.hpp"

#include <cmath>

#include "run/Console.hpp"
#include "run/KernelViews.hpp"
#include "model/Errors.hpp"

namespace quarno {

namespace {
constexpr double kScaleFloor = 1e-10;                    // added to every error scale
// Steps in a row too small to change the model time, after which the flow
// cannot advance: such steps would otherwise repeat until kMaxSteps.
constexpr int kMaxStalledSteps = 100;
}  // namespace

const char* flow_event_message(FlowEvent e) {
  switch (e) {
    case FlowEvent::step_not_significant: return "Stepsize not significant in RKQC.";
    case FlowEvent::step_below_minimum: return "Stepsize smaller than minimum.";
    case FlowEvent::too_many_steps: return "Too many steps.";
  }
  return "";
}

void show_flow_event(Outputs& out, FlowEvent e, FlowRecordWriter* record) {
  if (record != nullptr) record->event(e);
  pause(out, flow_event_message(e));
}

void report_step_event(Outputs& out, RkEvent event, double x0, FlowRecordWriter* record) {
  if (event == RkEvent::none) return;
  show_flow_event(out, FlowEvent::step_not_significant, record);
  if (event == RkEvent::cannot_advance)
    throw NumericalFailure("The flow solution cannot advance at t = " + show_number(x0) + " s.");
}

bool advance_flow(Model& m, Outputs& out, double x1, double dt, double x2, int max_steps,
                  FlowRecordWriter* record) {
  StepScratch& w = m.step;
  Array<double>& y = m.flow.y;
  Array<double>& ywork = w.ywork;
  Array<double>& dydx = w.dydx;
  Array<double>& yscale = w.yscale;
  const int n = m.grid.n;
  const RhsView flow = rhs_view(m);
  const RkWork work = rk_work(w);

  const double span = (x1 + dt) - x1;
  double h = span >= 0 ? std::fabs(dt) : -std::fabs(dt);
  double x = x1;
  for (int i = 1; i <= n; ++i) ywork(i) = y(i);

  auto rhs = [&flow](double, const Array<double>& yt, Array<double>& k, int nn) {
    saint_venant_rhs(flow, yt, k, nn);
  };

  int stalled = 0;
  for (int nstp = 1;;) {
    saint_venant_rhs(flow, ywork, dydx, n);
    for (int i = 1; i <= n; ++i)
      yscale(i) = (std::fabs(ywork(i)) + kScaleFloor) + std::fabs(h * dydx(i));
    if (((h - x1) + x) * ((h - x2) + x) > 0) h = x2 - x;  // do not pass the interval end
    const double x_before = x;
    const RkStep step = rk_step(work, ywork, dydx, n, x, h, eps, yscale, rhs);
    report_step_event(out, step.event, x_before, record);
    if ((x - x2) * span >= 0) {
      for (int i = 1; i <= n; ++i) y(i) = ywork(i);
      return true;
    }
    stalled = x == x_before ? stalled + 1 : 0;
    if (stalled == kMaxStalledSteps)
      throw NumericalFailure("The flow solution cannot advance at t = " + show_number(x) + " s.");
    if (std::fabs(step.h_next) < kMinStep)
      show_flow_event(out, FlowEvent::step_below_minimum, record);
    h = step.h_next;
    if (++nstp > max_steps) {
      show_flow_event(out, FlowEvent::too_many_steps, record);
      return false;
    }
  }
}

}  // namespace quarno
