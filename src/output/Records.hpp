// The observation records: a row of crObsNode.txt (and of crObsNode.csv)
// every record interval of model time, with the progress line on the console.
#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// When a record is due and there are observation positions: the console
// progress line and one row of crObsNode.txt with the depth, velocity,
// discharge, concentration and bed concentration at every position; lowers
// the record flag. With no positions the flag stays raised.
void write_observation(Model& m, Outputs& out);

}  // namespace quarno
