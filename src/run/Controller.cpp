#include "run/Controller.hpp"

#include "model/Errors.hpp"
#include "run/Console.hpp"
#include "run/KernelViews.hpp"

namespace quarno {

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

bool solve_flow_step(Model& m, Outputs& out, double x1, double dt, double x2, int max_steps,
                     FlowRecordWriter* record) {
  const RhsView flow = rhs_view(m);
  auto rhs = [&flow](double, const Array<double>& yt, Array<double>& k, int n) {
    saint_venant_rhs(flow, yt, k, n);
  };
  auto show = [&out, record](FlowEvent e) { show_flow_event(out, e, record); };
  const FlowAdvance done =
      advance_flow(controller_work(m.step, m.team), m.flow.y, m.grid.n, x1, dt, x2, max_steps, rhs, show);
  if (done.outcome == FlowOutcome::cannot_advance)
    throw NumericalFailure("The flow solution cannot advance at t = " + show_number(done.t) +
                           " s.");
  return done.outcome == FlowOutcome::reached;
}

}  // namespace quarno
