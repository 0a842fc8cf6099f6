#pragma once

#include "model/Model.hpp"

namespace quarno {

// Grid scalars, node coordinates and spacings, cell faces and centres.
void build_grid(Model& m);
// Places every observation position on the grid: preceding cell centre and
// node, and the distances to them.
void locate_observations(Model& m);
// Maps every registered table column onto its node field by its rule; the
// transport tables only when NTr > 0.
void map_tables(Model& m);
// Every mapped column registered as positive (the width, and with transport
// on TauCR, f, Hb and Rb) must be positive on the grid too (a linear table
// extrapolated to the ends can fall below zero); throws InputError naming the
// column, its file and the first position that fails.
void check_mapped_tables(const Model& m);
// Cell geometry and the initial flow state; with transport on, the initial
// storage concentration and zero resuspension and deposition totals.
void initial_state(Model& m);

}  // namespace quarno
