// The step controller in a run: the model's flow carried over an outer step
// by the solver's controller, and its events shown on the console as pauses
// (and recorded with the flow when it is being recorded).
#pragma once

#include "input/FlowRecordFile.hpp"
#include "model/FlowEvent.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "solver/StepController.hpp"

namespace quarno {

// Carries the flow state m.flow.y from x1 to x2 = x1 + dt with the model's
// right-hand side, showing each event of the controller as it happens.
// After `max_steps` inner steps it gives up with the pause "Too many
// steps.", leaves y as it was and returns false. A flow that cannot advance
// ends the run (NumericalFailure). With `record`, every event is also
// recorded there.
bool solve_flow_step(Model& m, Outputs& out, double x1, double dt, double x2,
                     int max_steps = kMaxInnerSteps, FlowRecordWriter* record = nullptr);

// The console message of a step controller event.
const char* flow_event_message(FlowEvent e);
// Shows it as a pause; recorded too with `record`.
void show_flow_event(Outputs& out, FlowEvent e, FlowRecordWriter* record = nullptr);

}  // namespace quarno
