// Runs on a recorded flow: a run can record, outer step by outer step,
// everything the rest of it takes from the flow (--save-flow), and a later
// run of a deck with the same flow can take the flow from that record
// instead of solving it (--replay-flow), whatever its transport parameters.
// Both runs give the same files and console to the last byte.
#pragma once

#include <memory>
#include <string>

#include "input/FlowRecordFile.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// How a run takes its flow, and where it records it.
struct FlowRecording {
  FlowRecordReader* replay_from = nullptr;  // a record already checked whole; may not match
  std::string save_path;                    // where to record the flow; empty: nowhere
  int level = kDefaultFlowCompression;      // zstd level of the record; 0: none
  // Chosen at the start of the time loop:
  bool replaying = false;
  std::unique_ptr<FlowRecordWriter> writer;
  const double* step = nullptr;  // the values of the outer step being replayed
};

// The key of everything the unsteady flow depends on from the start of the
// time loop on, as 16 hexadecimal digits: the program and record versions,
// the grid and channel of every cell, the widths and groundwater inflow at
// the nodes, the boundary types and schedule, and the flow state and clock
// the loop starts from. Transport inputs, sites, output times and the record
// interval do not enter it.
std::string flow_record_key(const Model& m);

// Decides, once the model is set up, whether the flow is replayed (the
// record's key matches this run's) or solved; a record that does not match
// is noted on the warnings stream. Opens the writer when the flow is to be
// recorded.
void start_flow_recording(const Model& m, Outputs& out, FlowRecording& flow);

// After the controller's outer step: its values into the record.
void record_flow_step(const Model& m, FlowRecordWriter& writer);

// The next outer step from the record, in two parts. First the console
// messages the controller showed during the step (recorded again when the
// flow is also being saved) and the step's length, into m.clock.dt: the
// length the Courant condition and the interval's end gave it. InputError
// when the record ends or does not follow this run.
void replay_step_length(Model& m, Outputs& out, FlowRecording& flow);
// Then the state and the face values the step left.
void replay_flow_step(Model& m, FlowRecording& flow);

}  // namespace quarno
