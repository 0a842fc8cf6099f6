#pragma once

#include "model/Model.hpp"

namespace quarno {

// Grid scalars, node coordinates and spacings, cell faces and centres.
void build_grid(Model& m);
// Places every observation position on the grid: preceding cell centre and
// node, and the distances to them.
void locate_observations(Model& m);
// Maps the segment and initial-condition tables onto the nodes; the
// transport fields only when NTr > 0.
void map_tables(Model& m);
// Cell geometry and the initial flow state; with transport on, the initial
// storage concentration and zero resuspension and deposition totals.
void initial_state(Model& m);

}  // namespace quarno
