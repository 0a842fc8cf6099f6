// Running a validation deck through the real program and reporting each
// comparison as one row of the table: the norm, its value, the tolerance
// and the verdict.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "Results.hpp"
#include "RunDeck.hpp"

namespace quarno::test {

struct Outcome {
  std::string name;   // case
  std::string norm;   // what is measured
  double value = NAN;
  double tol = NAN;
  bool pass = false;
  std::vector<std::string> notes;  // printed under the row
};

// printf-style formatting of up to four numbers, for norms and notes.
std::string fmt(const char* f, double a, double b = 0, double c = 0, double d = 0);

// value <= tol.
Outcome at_most(const std::string& name, const std::string& norm, double value, double tol);

// value >= bound (an observed order of convergence).
Outcome at_least(const std::string& name, const std::string& norm, double value, double bound);

// A case that could not be compared: the run failed or printed too little.
Outcome failure(const std::string& name, const std::string& why);

// The larger of two errors; a NaN (an unreadable number) wins, so that it
// fails the comparison instead of vanishing in a max.
inline double worse(double a, double b) {
  return std::isnan(a) || std::isnan(b) ? NAN : std::max(a, b);
}

// Runs the program on the deck; empty `why` when it exited with status 0.
RunResult run(const Reach& r, std::string& why);

// The single profile block of a run that writes one, at the end time.
bool one_profile(const RunResult& out, int cells, Profile& p, std::string& why);

}  // namespace quarno::test
