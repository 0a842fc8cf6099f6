#pragma once

#include <string>

#include "output/Layout.hpp"
#include "solver/NumericalFailure.hpp"

namespace quarno {

// The three text streams of a run.
struct Outputs {
  TextOut results;  // crOutput.txt
  TextOut obs;      // crObsNode.txt
  TextOut console;  // standard output

  void flush_all() {
    results.flush();
    obs.flush();
    console.flush();
  }

  // Once a block or row is complete and flushed: a run whose results are not
  // finite ends with a numerical failure, its files kept.
  void end_if_nonfinite(double t) const {
    for (const TextOut* file : {&results, &obs}) {
      if (!file->nonfinite().empty())
        throw NumericalFailure(std::string(file->name()) + ": " + file->nonfinite() +
                               " is not finite at t = " + show_number(t) + " s.");
    }
  }
};

}  // namespace quarno
