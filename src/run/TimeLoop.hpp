#pragma once

#include "model/Model.hpp"
#include "output/Outputs.hpp"

namespace quarno {

// Runs the boundary schedule from the current model time: for each interval,
// outer steps bounded by the Courant condition and cut to end on the
// interval's end, each advancing the flow, deriving the cell fields and the
// face discharges at both ends, moving the transport along, taking an
// observation record every 60 s, summing the balance terms and writing the
// profile at each output time.
void run_schedule(Model& m, Outputs& out);

// Marches the flow of the first schedule row in pseudo-time with the same
// outer steps as the run, from the current flow state, until the largest
// relative change of any cell's depth or discharge over a step is below
// `tolerance`. Reports in m.steady how far it went; gives up with a
// numerical failure after `max_pseudo_time` seconds or `max_steps` steps.
// Model time, records and balances are not touched.
void march_to_steady_flow(Model& m, Outputs& out, double tolerance, double max_pseudo_time,
                          long max_steps);

// Derives from the flow state in y everything a run with a frozen flow
// reads: the cell fields, the inlet values, the face values and the node
// hydraulics of the transport.
void prepare_frozen_flow(Model& m);

}  // namespace quarno
