// Runs on a frozen steady flow. In a tracer study the flow is the same in
// every run and takes nearly all of a run's time; with one discharge and one
// inlet depth throughout the schedule it can be brought to its steady state
// once, saved, and reused while only the transport is computed.
#pragma once

#include "input/FlowStateFile.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// The steady state is reached when no cell's depth or discharge changes by
// more than this fraction over an outer step of pseudo-time.
constexpr double kSteadyTolerance = 1e-12;
// A saved state is used only while one outer step of the run's own from it
// changes no cell's depth or discharge by more than this fraction (measured
// as above): twice the tolerance of the march, which stops at the first step
// under it, so that a state saved just under it is not refused for the next
// step's round-off. Any real departure from the steady flow changes it by
// many orders of magnitude more.
constexpr double kSavedStateTolerance = 2 * kSteadyTolerance;
// Near a steady state the step controller crosses an outer step in one or a
// few inner steps; a state whose outer step takes more than this many is not
// steady (and checking it must not take as long as a run).
constexpr int kSavedStateMaxInnerSteps = 100;

// When the march counts as converged, and when it gives up: after 30 days
// of pseudo-time or ten million outer steps.
struct SteadyLimits {
  double tolerance = kSteadyTolerance;
  double max_pseudo_time = 2592000.0;  // s
  long max_steps = 10000000;
};

// Takes a saved state into the flow state when it fits this run (after
// check_steady_schedule): its key is this run's, it has a row per cell, and
// one outer step from it changes no cell by more than kSavedStateTolerance.
// Otherwise writes a note naming the file of the run settings and why, to
// the warnings, and leaves the flow state as it was.
bool use_saved_state(Model& m, Outputs& out, const SavedFlowState& saved);

// Brings the flow to its steady state, or takes it from `saved` (read from
// the file the run settings name) when its key matches and it is still
// steady for this deck (a note on standard error otherwise), saves a state it
// computed in crSteadyFlow.csv, reports it on the console, and prepares the
// frozen flow for the run.
void establish_steady_flow(Model& m, Outputs& out, const SavedFlowState* saved);

// Marches the flow of the first schedule row that runs in pseudo-time with
// the run's outer steps, from the current flow state, until the largest
// relative change of any cell's depth or discharge over a step is below the
// tolerance: first with the cheaper steps of Heun's method until they get
// there (or fail, or stall), then with the run's own steps, which confirm the
// state. Reports in m.steady how far it went; gives up with a numerical
// failure at the limits. Model time, records and balances are not touched.
void march_to_steady_flow(Model& m, Outputs& out, const SteadyLimits& limits);

// The same march with the run's own steps throughout.
void march_to_steady_flow_with_run_steps(Model& m, Outputs& out, const SteadyLimits& limits);

// Derives from the flow state in y everything a run with a frozen flow
// reads: the cell fields, the inlet values, the face values and the node
// hydraulics of the transport.
void prepare_frozen_flow(Model& m);

}  // namespace quarno
