// The command line: `quarno [options] [FOLDER]`. With no options the program
// runs in the current folder exactly as a plain batch run.
#pragma once

#include <string>

#include "model/Model.hpp"
#include "output/DateTime.hpp"

namespace quarno {

struct Options {
  std::string folder;     // where the input files are and the results go; empty: here
  bool csv = false;       // full-precision CSV results beside the fixed-column files
  bool quiet = false;     // no progress lines on standard output
  bool progress = false;  // a progress line on standard error every few seconds
  bool no_pause = false;  // never wait for Enter
  int threads = 0;        // threads of the flow right-hand side (QUARNO_THREADS when not given)
  bool steady_flow = false;  // bring the flow to its steady state, then freeze it (set by flow_state)
  std::string flow_state;    // a saved steady flow state to reuse (implies steady_flow)
  std::string save_state;     // where a run that succeeds saves its state; empty: nowhere
  std::string initial_state;  // a saved state to go on from; empty: start at time 0
  double record_interval = 60.0;  // model time between observation records (s)
  StartDate start_date;           // the instant of time 0: a datetime column in the CSV results
  bool lift_capacities = false;   // accept decks past the standard capacities
  std::string save_flow;    // where a run that succeeds records its flow; empty: nowhere
  std::string replay_flow;  // a flow record to take the flow from when it matches; empty: none
  int flow_compression = 1; // zstd level of the flow record, 0: stored as it is
  PowPath pow_path = PowPath::scalar;  // the Manning powers' path (set from the processor)
};

// Parses the command line into `options`, and the environment: without
// --threads, QUARNO_THREADS gives the thread count (1 when it is not set).
// Returns -1 when the run is to go on; otherwise the exit status, after
// printing the help or the version on standard output (0) or a one-line
// reason on standard error (1). No file is touched either way.
int parse_options(int argc, const char* const* argv, Options& options);

}  // namespace quarno
