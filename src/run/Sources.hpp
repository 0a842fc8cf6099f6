// Sources along the reach: placed on the grid once, and evaluated at the
// start of every outer step into the fields the flow, the transport and the
// balances read (model/Model.hpp SourceFields).
#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// Places every source of m.forcing on the grid and sizes the source fields;
// nothing when there are none. A point source enters the cell that holds its
// position (Xl(i) <= x < Xr(i); the last cell from its right face on), a
// distributed inflow every cell it covers, each in proportion to the length
// it covers. Needs the grid and the node fields.
void locate_sources(Model& m);

// The value of a series at time t: straight lines between its times, the
// nearest value before the first and after the last.
double series_value(const std::vector<double>& times, const std::vector<double>& values,
                    double t);

// The sources' values at the model time, held over the coming outer step:
// the lateral inflow of every cell, the sources' loads and outflows at every
// node, and each source's values. With `limit_abstractions`, an abstraction
// takes from a cell at most the water above the floor depth that the cell
// holds over the Courant step from the present state (call it after the
// inlet values are set); where it would take more, the cell runs dry and the
// source is named on the warnings stream, once. Nothing without sources.
void set_sources(Model& m, Outputs& out, bool limit_abstractions);

// Refuses (InputError) a frozen steady flow with a source whose discharge
// changes in time: the frozen flow could not follow it.
void check_steady_sources(const Model& m);

}  // namespace quarno
