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

}  // namespace quarno
