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

namespace quarno {

// What a run asks of flow records.
struct FlowRecording {
  FlowRecordReader* replay_from = nullptr;  // a record already checked whole; may not match
  std::string save_path;                    // where to record the flow; empty: nowhere
  int level = kDefaultFlowCompression;      // zstd level of the record; 0: none
};

// The key of everything the unsteady flow depends on from the start of the
// time loop on, as 16 hexadecimal digits: the program and record versions,
// the grid and channel of every cell, the widths and groundwater inflow at
// the nodes, the boundary types and schedule, and the flow state and clock
// the loop starts from. Transport inputs, sites, output times and the record
// interval do not enter it.
std::string flow_record_key(const Model& m);

// Watches the flow of a run and records it: the console events of the step
// controller as they are shown, and after each outer step of the flow the
// step's length, the state and the two face values the rest of the step
// reads (before the end faces are derived from the state).
class FlowRecorder {
 public:
  // A record of the flow of `m` (keyed by flow_record_key) at `path`, zstd
  // `level`; nothing is written until commit().
  FlowRecorder(const Model& m, const std::string& path, int level);
  FlowRecordWriter& writer() { return writer_; }
  void after_flow(const Model& m) {
    writer_.step(m.clock.dt, m.flow.hl(1), m.flow.qr(m.grid.M), m.flow.y);
  }
  // Once the run has succeeded: the record takes its place.
  void commit() { writer_.commit(); }

 private:
  FlowRecordWriter writer_;
};

}  // namespace quarno
