// The command line: `quarno [options] [FOLDER]`. With no options the program
// runs in the current folder exactly as a plain batch run.
#pragma once

#include <string>

#include "run/RunPlan.hpp"

namespace quarno {

struct Options {
  std::string folder;  // where the input files are and the results go; empty: here
  RunPlan plan;        // what the run does there
};

// Parses the command line into `options`, and the environment: without
// --threads, QUARNO_THREADS gives the thread count (1 when it is not set).
// The saved files the options name are made absolute from the working
// directory, as the run may take place in another folder. Returns -1 when
// the run is to go on; otherwise the exit status, after printing the help or
// the version on standard output (0) or a one-line reason on standard error
// (1). No file is touched either way.
int parse_options(int argc, const char* const* argv, Options& options);

}  // namespace quarno
