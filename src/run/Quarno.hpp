#pragma once

#include "input/FlowStateFile.hpp"
#include "input/RunStateFile.hpp"
#include "input/Reader.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "run/FlowReplay.hpp"
#include "run/Options.hpp"

namespace quarno {

// The phases of a run between opening the files and the closing pause: read
// and echo the input, build the grid, the node fields and the initial state,
// record the initial storages and run the boundary schedule. With a frozen
// flow, `saved` is the saved steady state to reuse when it fits the deck
// (nullptr: none). With `resume`, the run goes on from that saved state
// (read from `resume_path`) instead of its initial storages. With `flow`,
// the flow is recorded or replayed (see run/FlowSource.hpp); a record being written takes its place once the
// schedule has run and every result is flushed. Throws
// InputError, NumericalFailure or Interrupted.
void run_model(Model& m, Reader& param, Reader& bicond, Outputs& out,
               const SavedFlowState* saved = nullptr, const SavedRunState* resume = nullptr,
               const std::string& resume_path = {}, FlowRecording* flow = nullptr);

// The main program: runs the model on crparam.txt and crbicond.txt of the
// working directory and returns the exit status (0 success, 1 bad input or
// a folder in use, 2 numerical failure, 3 results that could not be written,
// 130/143 interrupted).
int Quarno(const Options& options);

}  // namespace quarno
