// The rule that decides which rows of the boundary schedule the run takes
// steps in, shared by the time loop, the steady flow and the deck checks.
#pragma once

#include "model/Model.hpp"

namespace quarno {

// The end of schedule row k's interval (s): times of the schedule are taken
// in single precision.
inline double interval_end(const BicondTables& b, int k) {
  return static_cast<double>(static_cast<float>(b.TBC(k)));
}

// Whether an interval that ends at `end` is run from time t: one that ends
// within kIntervalGuard of t is skipped, and its values are never used.
inline bool interval_runs(double t, double end) { return t <= end - kIntervalGuard; }

}  // namespace quarno
