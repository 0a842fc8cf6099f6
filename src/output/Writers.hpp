#pragma once

#include "model/Model.hpp"
#include "output/Outputs.hpp"

namespace quarno {

// When a record is due and there are observation positions: the console
// progress line and one row of crObsNode.txt with the depth, velocity,
// discharge, concentration and bed concentration at every position; lowers
// the record flag. With no positions the flag stays raised.
void write_observation(Model& m, Outputs& out);

// After every outer step: when the model time has reached the next output
// time, the profile block of every cell followed by the balance report. At
// most one block per step; none once every output time has been written.
void check_profile(Model& m, Outputs& out);

}  // namespace quarno
