// The pieces of an outer step of the flow that the time loop and the
// steady-flow solver share: the inlet values, the Courant step, the cell
// fields after a step, the face discharges at both ends, and the helper
// threads of the right-hand side.
#pragma once

#include "model/Model.hpp"
#include "parallel/Team.hpp"

namespace quarno {

constexpr double kFirstStep = 0.10000000149011612;       // 0.1 s in single precision

// Takes the boundary values of schedule row k for its interval (the depth
// at X = 0 and both boundary types) and tells whether the interval is run
// from time t: an interval that ends within kIntervalGuard of t is skipped.
bool apply_schedule_row(Model& m, int k, double t);

// Boundary values at X = 0 for the coming outer step, from schedule row k.
void set_inlet(Model& m, int k);

// The outer step from the Courant condition, into m.clock.dt.
void courant_step(Model& m);
// The step courant_step would take, from the state and inlet values as they are.
double courant_length(const Model& m);

// Cell fields from the state vector after a step; a numerical failure when
// the flow state is not finite.
void unpack_state(Model& m);

// Unit discharges at both ends after a step, for the balances.
void end_faces(Model& m);

// Threads that evaluate the flow right-hand side: the run setting (resolved
// from the command line and QUARNO_THREADS where the options are read), else 1.
int rhs_threads(const RunSettings& settings);

// The helper threads of the right-hand side for as long as it lives.
class RhsTeam {
 public:
  RhsTeam(Model& m, int threads) : m_(m), team_(threads) {
    m_.team = team_.size() > 1 ? &team_ : nullptr;
  }
  ~RhsTeam() { m_.team = nullptr; }
  RhsTeam(const RhsTeam&) = delete;
  RhsTeam& operator=(const RhsTeam&) = delete;

 private:
  Model& m_;
  Team team_;
};

}  // namespace quarno
