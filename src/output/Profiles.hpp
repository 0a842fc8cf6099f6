// The profile blocks of crOutput.txt (and crProfiles.csv) at the output
// times, each followed by the balance report.
#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// After every outer step: when the model time has reached the next output
// time, the profile block of every cell followed by the balance report. At
// most one block per step; none once every output time has been written.
void write_profile_and_balance_if_due(Model& m, Outputs& out);

}  // namespace quarno
