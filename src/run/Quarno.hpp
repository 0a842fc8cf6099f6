#pragma once

#include <memory>

#include "input/FlowRecordFile.hpp"
#include "input/FlowStateFile.hpp"
#include "input/Reader.hpp"
#include "input/RunStateFile.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "run/RunPlan.hpp"

namespace quarno {

// What a run reads besides its deck, each read and checked whole before any
// result file is touched; none by default: a saved steady flow to reuse when
// it fits the deck, a saved run state to go on from, a flow record to replay
// when it was made for this flow, the sources of the forcing file.
struct SavedInputs {
  std::unique_ptr<SavedFlowState> flow;
  std::unique_ptr<SavedRunState> resume;
  std::unique_ptr<FlowRecordReader> record;
  Forcing forcing;  // path empty: no forcing file
};

// The phases of a run between opening the files and the closing pause: the
// model takes its settings from the plan and the forcing from saved.forcing;
// read and echo the input, build the grid, the node fields and the initial
// state (with a frozen flow, its steady state, reusing saved.flow when it
// fits), record the initial
// storages or go on from saved.resume, run the boundary schedule on a flow
// that is solved, replayed from saved.record or recorded to plan.save_flow
// (see run/FlowSource.hpp), and put the flow record in place. Throws
// InputError, NumericalFailure, OutputError or Interrupted.
void run_model(Model& m, Reader& param, Reader& bicond, Outputs& out, const RunPlan& plan,
               SavedInputs& saved);

// The exit statuses of a run and what each means.
struct ExitStatus {
  int status;
  const char* meaning;
};
inline constexpr ExitStatus kExitStatuses[] = {
    {0, "the run finished"},
    {1, "bad input, bad options or a folder in use; no result file is touched when the input is "
        "refused before the run starts"},
    {2, "numerical failure; the results so far are kept"},
    {3, "a result file could not be written"},
    {130, "interrupted by SIGINT (128 + 2); the results so far are kept"},
    {143, "interrupted by SIGTERM (128 + 15); the results so far are kept"},
};

// The main program: runs the model on crparam.txt and crbicond.txt of the
// working directory as the plan says and returns the exit status (0 success,
// 1 bad input or a folder in use, 2 numerical failure, 3 results that could
// not be written, 130/143 interrupted: kExitStatuses), after writing the run
// manifest crManifest.json as its last act.
int Quarno(const RunPlan& plan);

}  // namespace quarno
