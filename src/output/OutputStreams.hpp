#pragma once

#include <string>

#include "output/DateTime.hpp"
#include "output/TextLayout.hpp"
#include "output/Progress.hpp"
#include "model/Errors.hpp"
#include "model/FileNames.hpp"

namespace quarno {

// The text streams of a run: the two results files, the console and, when
// asked for, the full-precision CSV results.
struct Outputs {
  TextOut results;  // crOutput.txt
  TextOut obs;      // crObsNode.txt
  TextOut console;  // standard output
  bool csv = false;  // the CSV files below are written
  TextOut obs_csv{nullptr, files::kObsNodeCsv};
  TextOut profiles_csv{nullptr, files::kProfilesCsv};
  TextOut balance_csv{nullptr, files::kBalanceCsv};
  StartDate start_date{};  // when set, the CSV rows carry the date and time
  bool sources = false;    // the run has sources along the reach: their CSV columns
  bool weather = false;    // the die-off rates follow the weather: its CSV columns
  TextOut warnings{nullptr};  // plausibility warnings: standard error in a run
  bool quiet = false;        // no progress lines on the console
  bool pause_reads = false;  // a pause waits for a line of standard input
  Progress progress{};       // on standard error

  void flush_all() {
    results.flush();
    obs.flush();
    obs_csv.flush();
    profiles_csv.flush();
    balance_csv.flush();
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
