// Checks of the boundary schedule that depend on how the run is asked to go.
#pragma once

#include "model/Model.hpp"

namespace quarno {

// For a run on a frozen steady flow: rejects a schedule whose rows that run
// (rows whose interval is skipped do not count) do not all hold the same
// discharge and inlet depth, since its flow cannot be steady. Notes the first
// row that runs in m.steady.row.
void check_steady_schedule(Model& m);

}  // namespace quarno
