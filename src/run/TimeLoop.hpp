#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "run/FlowReplay.hpp"

namespace quarno {

// Runs the boundary schedule from the current model time: for each interval,
// outer steps bounded by the Courant condition and cut to end on the
// interval's end, each advancing the flow, deriving the cell fields and the
// face discharges at both ends, moving the transport along, taking an
// observation record every 60 s, summing the balance terms and writing the
// profile at each output time. With `flow`, the flow is recorded, or taken
// from a record that matches the run instead of being solved.
void run_schedule(Model& m, Outputs& out, FlowRecording* flow = nullptr);

}  // namespace quarno
