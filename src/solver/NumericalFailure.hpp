#pragma once

#include <stdexcept>
#include <string>

#include "model/ShowNumber.hpp"

namespace quarno {

// The solution cannot go on: the run ends with exit status 2 and this message.
struct NumericalFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace quarno
