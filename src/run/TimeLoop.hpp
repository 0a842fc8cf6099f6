#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "run/FlowSource.hpp"

namespace quarno {

// Runs the boundary schedule from the current model time. For each interval,
// outer steps until its end, each in the same order: the boundary values at
// X = 0, the flow over the step (from `flow`: solved, replayed or frozen),
// the node hydraulics and the transport, the accounts (the record clock and
// the balance sums), then the results due after the step: an observation
// record every record interval, the profile and balance at each output time,
// the progress line. A run that `saves_state` for a next link and ends just
// short of its last output time writes that profile and balance at its end.
void run_schedule(Model& m, Outputs& out, FlowSource& flow, bool saves_state = false);

}  // namespace quarno
