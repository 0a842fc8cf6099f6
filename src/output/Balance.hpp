#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// Records the water and solute storages at the start of the run (and, with
// transport on, zeroes the solute sums); writes nothing.
void record_initial_storages(Model& m);

// Recomputes the storages and writes the inlet Froude number, the water
// balance and, with transport on, the stream-water and bed-sediment balances,
// each with its absolute and relative error.
void write_balance_report(Model& m, Outputs& out);

// Adds one outer step's boundary, groundwater, decay and exchange amounts to
// the running sums (after the observation record, before the profile check).
void accumulate_balance(Model& m);

}  // namespace quarno
