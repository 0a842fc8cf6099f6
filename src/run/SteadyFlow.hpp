// Runs on a frozen steady flow. In a tracer study the flow is the same in
// every run and takes nearly all of a run's time; with one discharge and one
// inlet depth throughout the schedule it can be brought to its steady state
// once, saved, and reused while only the transport is computed.
#pragma once

#include <cstdint>
#include <string>

#include "input/FlowStateFile.hpp"
#include "model/Model.hpp"
#include "output/Outputs.hpp"

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
// Bounds of the pseudo-time march: 30 days, or ten million outer steps.
constexpr double kSteadyMaxPseudoTime = 2592000.0;  // s
constexpr long kSteadyMaxSteps = 10000000;

// The file in the run's folder that holds the steady flow state.
inline constexpr const char* kSteadyFlowFile = "crSteadyFlow.csv";

// Rejects a schedule whose rows that run (rows whose interval is skipped
// do not count) do not all hold the same discharge and inlet depth: its flow
// cannot be steady. Notes the first row that runs in m.steady.row.
void check_steady_schedule(Model& m);

// A key of everything the steady flow depends on: the grid, the widths,
// slopes, roughness and groundwater inflow at the nodes, the initial flow
// state, the boundary types and the inlet discharge and depth (of the first
// row that runs, as check_steady_schedule noted).
std::uint64_t steady_flow_key(const Model& m);

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

// Marches the flow of the first schedule row in pseudo-time with the same
// outer steps as the run, from the current flow state, until the largest
// relative change of any cell's depth or discharge over a step is below
// `tolerance`. With `heun_first` the march takes the cheaper steps of Heun's
// method until it gets there (or they fail or stall), then the run's own
// steps confirm the state. Reports in m.steady how far it went; gives up with a
// numerical failure after `max_pseudo_time` seconds or `max_steps` steps.
// Model time, records and balances are not touched.
void march_to_steady_flow(Model& m, Outputs& out, double tolerance, double max_pseudo_time,
                          long max_steps, bool heun_first);

// Derives from the flow state in y everything a run with a frozen flow
// reads: the cell fields, the inlet values, the face values and the node
// hydraulics of the transport.
void prepare_frozen_flow(Model& m);

}  // namespace quarno
