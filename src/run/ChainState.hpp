// Chained runs: the saved state a run goes on from, checked against the deck
// before any result file is opened.
#pragma once

#include <memory>
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
// The deck of `param` and `bicond` read into a scratch model on the side
// (copies are read, the readers are left as they are; every output is
// discarded), with the run's own settings so that it is read as the run will
// read it; with `mapped`, its grid built and its tables mapped too. nullptr
// when the deck cannot be read: the run reports the deck's own error.
std::unique_ptr<Model> read_deck_aside(const Reader& param, const Reader& bicond,
                                       const RunSettings& settings, bool mapped);

SavedRunState load_initial_state(const std::string& path, const Reader& param,
                                 const Reader& bicond, const RunSettings& settings);

}  // namespace quarno
