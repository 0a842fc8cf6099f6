#pragma once

#include "input/FlowRecordFile.hpp"
#include "model/FlowEvent.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "solver/RungeKutta.hpp"

namespace quarno {

// The adaptive step controller: carries the flow state m.flow.y from x1 to
// x2 = x1 + dt in as many quality-controlled inner steps as the error control
// requires, starting with one inner step over the whole interval and cutting
// the last one to end on x2. After `max_steps` inner steps it gives up with
// the pause "Too many steps.", leaves y as it was and returns false. With
// `record`, every console message it shows is also recorded there.
constexpr int kMaxInnerSteps = 5000000;
bool advance_flow(Model& m, Outputs& out, double x1, double dt, double x2,
                  int max_steps = kMaxInnerSteps, FlowRecordWriter* record = nullptr);

// The console message of a step controller event.
const char* flow_event_message(FlowEvent e);
// Shows it as the controller does, as a pause; recorded too with `record`.
void show_flow_event(Outputs& out, FlowEvent e, FlowRecordWriter* record = nullptr);

// What the user sees of a Runge-Kutta step that started at time x0: the
// pause "Stepsize not significant in RKQC." when a trial was too small to
// change the time, and when the step could not advance either, then a
// NumericalFailure.
void report_step_event(Outputs& out, RkEvent event, double x0,
                       FlowRecordWriter* record = nullptr);

}  // namespace quarno
