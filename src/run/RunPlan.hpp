// What a run does, resolved once from the command line and the environment
// (run/Options.cpp) before anything is touched: every switch decided, every
// saved file named by an absolute path. The run reads nothing else of the
// command line.
#pragma once

#include <string>
#include <vector>

#include "input/FlowRecordFile.hpp"
#include "model/Model.hpp"
#include "output/DateTime.hpp"

namespace quarno {

struct RunPlan {
  // The part the model keeps for the whole run (Model::settings): threads,
  // the Manning powers' path, lifted capacities, the record interval, and
  // where the flow comes from: solved, unless `steady_flow` freezes it at
  // its steady state (reused from `flow_state` when that fits) or
  // `replay_flow` below names a record to take it from.
  RunSettings settings;
  bool record_interval_given = false;  // --record-interval named the interval

  // Result files: the full-precision CSV results beside the fixed-column
  // files, with a datetime column when the start date is given.
  bool csv = false;
  StartDate start_date;  // the instant of time 0

  // The console.
  bool quiet = false;     // no progress lines on standard output
  bool progress = false;  // a progress line on standard error every few seconds
  bool no_pause = false;  // never wait for Enter

  // Saved files; empty: none. The run state is saved when the run succeeds
  // (save_state) or gone on from (initial_state); the flow is recorded when
  // the run succeeds (save_flow, at zstd level flow_compression, 0: stored
  // as it is) or replayed from a record made for the same flow (replay_flow).
  std::string save_state;
  std::string initial_state;
  std::string save_flow;
  std::string replay_flow;
  int flow_compression = kDefaultFlowCompression;

  // For the run manifest: the program's version and its arguments as given.
  std::string version;
  std::vector<std::string> arguments;
};

}  // namespace quarno
