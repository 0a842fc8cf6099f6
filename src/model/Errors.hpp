// The three ways a run can fail, each with its exit status. Every layer
// throws them; the main program turns them into the status and the one
// message on standard error.
#pragma once

#include <stdexcept>
#include <string>

#include "model/ShowNumber.hpp"

namespace quarno {

// Bad input: the run ends with exit status 1 and this message, which names the
// file, the line, the quantity and what was found.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The solution cannot go on: the run ends with exit status 2 and this message.
struct NumericalFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A results file could not be written (disk full, file-size limit, I/O
// error): the run ends with exit status 3 and this message, which names the
// file and the system's reason.
struct OutputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace quarno
