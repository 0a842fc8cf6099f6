#pragma once

#include "model/Model.hpp"
#include "output/Outputs.hpp"

namespace quarno {

enum class BalanceMode { Initial = 0, Report = 1 };

// Water and solute balances. The initial mode records the storages at the
// start of the run and writes nothing; the report mode recomputes the
// storages and writes the inlet Froude number, the water balance and, with
// transport on, the stream-water and bed-sediment balances, each with its
// absolute and relative error.
void BALANCE(Model& m, Outputs& out, BalanceMode mode);

// Adds one outer step's boundary, groundwater, decay and exchange amounts to
// the running sums (after the observation record, before the profile check).
void accumulate_balance(Model& m);

}  // namespace quarno
