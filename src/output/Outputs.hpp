#pragma once

#include "output/Layout.hpp"

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
};

}  // namespace quarno
