// Chained runs: the saved state a run goes on from, checked against the deck
// before any result file is opened.
#pragma once

#include <string>

#include "input/Reader.hpp"
#include "input/RunStateFile.hpp"

namespace quarno {

// Reads the saved state `path` whole and checks it against the deck of
// `param` and `bicond` (copies are read, the readers are left as they are):
// the deck is read and mapped into a scratch model with every output
// discarded (with the run's own settings, so that it reads the deck as the
// run will), and the state must have its key and a time before its end.
// When the deck itself cannot be read, the check is left to the run, which
// reports the deck's error. Throws InputError naming `path`.
SavedRunState load_initial_state(const std::string& path, const Reader& param,
                                 const Reader& bicond, const RunSettings& settings);

}  // namespace quarno
