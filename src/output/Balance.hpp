// The balance report that follows each profile block: the inlet Froude
// number, the water balance and, with transport on, the stream-water and
// bed-sediment balances, each with its absolute and relative error.
#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// Writes the report of the balances closed at time t: the sums and storages
// of `s`, the Froude number and errors of `c`; the solute balances only with
// `transport`. Computes nothing.
void write_balance_report(Outputs& out, double t, const BalanceSums& s, const BalanceClosure& c,
                          bool transport);

}  // namespace quarno
