#include "run/TimeLoop.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "input/InputError.hpp"
#include "input/Reader.hpp"
#include "output/Balance.hpp"
#include "output/Writers.hpp"
#include "run/Console.hpp"
#include "run/Controller.hpp"
#include "solver/NumericalFailure.hpp"
#include "solver/Reconstruction.hpp"
#include "solver/SaintVenant.hpp"
#include "solver/Team.hpp"
#include "solver/TransportStep.hpp"

namespace quarno {

namespace {

constexpr double kIntervalGuard = 0.01;                 // s
constexpr double kEndTolerance = 1e-10;                 // relative
constexpr double kFirstStep = 0.10000000149011612;      // 0.1 s in single precision
constexpr double kCourant = 0.4000000059604645;         // 0.4 in single precision
constexpr double kMinWaveSpeed = 1.000000013351432e-10;  // 1e-10 in single precision
constexpr double kDepthFloor = 1e-5;                    // m, at X = 0
constexpr double kRecordPeriod = 60.0;                  // s
constexpr double kFaceDepthFloor = 1e-10;               // m
// The step controller's smallest step, 1e-15 s in single precision. A Courant
// step below it means wave speeds beyond any physical flow (over 1e14 grid
// cells per second): the run could never reach its end.
constexpr double kMinOuterStep = 1.0000000036274937e-15;

// Boundary values at X = 0 for the coming outer step.
void set_inlet(Model& m, int k) {
  Boundary& bc = m.bnd;
  const Flow& f = m.flow;
  bc.q0 = m.bic.QBC(k) / m.nodes.WidthN(1);
  bc.hU = bc.NB0 > 0 ? std::max(kDepthFloor, f.h(1) + (f.h(1) - f.h(2)) * 0.5) : bc.h0;
  if (bc.h0 < kDepthFloor) {
    bc.u0 = 0.0;
    bc.h0 = kDepthFloor;  // kept for the rest of the interval
    bc.Fr0 = 0.0;
  } else {
    bc.u0 = bc.q0 / bc.hU;
    bc.Fr0 = std::fabs(bc.u0) / std::sqrt(g * bc.hU);
  }
}

// The outer step from the Courant condition; u0 enters with its sign. Below
// the smallest wave speed the previous step is kept.
void courant_step(Model& m) {
  const Flow& f = m.flow;
  double a = 0.0;
  for (int i = 1; i <= m.grid.M; ++i)
    a = std::max(a, std::max(std::fabs(f.u(i)), m.bnd.u0) + std::sqrt(g * f.h(i)));
  if (a > kMinWaveSpeed) m.clock.dt = m.grid.dx * kCourant / a;
}

// Cell fields from the state vector after a step; the run ends if the flow
// state is not finite.
void unpack_state(Model& m) {
  Flow& f = m.flow;
  const Grid& gr = m.grid;
  const int M = gr.M;
  for (int i = 1; i <= M; ++i) {
    f.h(i) = f.y(i);
    f.q(i) = f.y(M + i);
    f.Q(i) = gr.B(i) * f.q(i);
    f.u(i) = f.q(i) / f.h(i);
    f.A(i) = f.h(i) * gr.B(i);
  }
  for (int i = 1; i <= M; ++i) {
    if (!std::isfinite(f.h(i)) || !std::isfinite(f.q(i)))
      throw NumericalFailure("The flow solution became non-finite at t = " +
                             show_number(m.clock.t) + " s in cell " + std::to_string(i) + ".");
  }
}

// Unit discharges at both ends after a step, for the balances. With a flux
// inlet cell 1 is reconstructed against the inlet values and the inlet takes
// its left-face discharge; a transmissive outlet takes the right-face
// discharge of cell M that the step's last right-hand-side evaluation left.
// Each end is counted by its own boundary type: a wall passes nothing.
void end_faces(Model& m) {
  Boundary& bc = m.bnd;
  Flow& f = m.flow;
  const Grid& gr = m.grid;
  if (bc.NB0 != 0) {
    reconstruct(f.q(1), bc.q0, f.q(2), theta, gr.Xc(1), gr.dx, f.ql(1), gr.Xl(1), f.qr(1), gr.Xr(1));
    const double hG = bc.Fr0 > 1.0 ? bc.h0 : bc.hU;
    reconstruct(f.h(1), hG, f.h(2), theta, gr.Xc(1), gr.dx, f.hl(1), gr.Xl(1), f.hr(1), gr.Xr(1));
    f.hl(1) = std::max(kFaceDepthFloor, f.hl(1));
    f.hr(1) = std::max(kFaceDepthFloor, f.hr(1));
    bc.qX0 = f.ql(1);
  } else {
    bc.qX0 = 0.0;
  }
  bc.qXL = bc.NBL != 0 ? f.qr(gr.M) : 0.0;
}

void check_concentrations(const Model& m) {
  for (int k = 1; k <= m.run.Nfdn; ++k) {
    if (!std::isfinite(m.nodes.CN(k)) || !std::isfinite(m.tr.CsN(k)) ||
        !std::isfinite(m.nodes.CbN(k)))
      throw NumericalFailure("The concentration became non-finite at t = " +
                             show_number(m.clock.t) + " s at node " + std::to_string(k) + ".");
  }
}

// Threads that evaluate the flow right-hand side: the run setting, else
// QUARNO_THREADS, else 1.
int rhs_threads(const RunSettings& settings) {
  if (settings.threads > 0) return settings.threads;
  const char* text = std::getenv("QUARNO_THREADS");
  if (text == nullptr || *text == '\0') return 1;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 1 || v > kMaxThreads)
    throw InputError("QUARNO_THREADS must be a whole number from 1 to " +
                     std::to_string(kMaxThreads) + " (found " + quote_input(text) + ")");
  return static_cast<int>(v);
}

// The helper threads of the right-hand side for as long as the schedule runs.
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

// Largest relative change of the cell depths and discharges between y_before
// and y. A discharge is measured against the larger of its own size and a
// billionth of the largest discharge in the reach, so that a cell of nearly
// still water cannot hold the measure up with round-off.
double largest_relative_change(const Model& m) {
  const int M = m.grid.M;
  const Array<double>& y = m.flow.y;
  const Array<double>& y0 = m.steady.y_before;
  double q_largest = 0.0;
  for (int i = 1; i <= M; ++i) q_largest = std::max(q_largest, std::fabs(y0(M + i)));
  const double q_floor = std::max(1e-9 * q_largest, std::numeric_limits<double>::min());
  double change = 0.0;
  for (int i = 1; i <= M; ++i) {
    const double dh = std::fabs(y(i) - y0(i)) / std::max(std::fabs(y0(i)), kDepthFloor);
    const double dq = std::fabs(y(M + i) - y0(M + i)) / std::max(std::fabs(y0(M + i)), q_floor);
    change = std::max(change, std::max(dh, dq));
  }
  return change;
}

}  // namespace

void march_to_steady_flow(Model& m, Outputs& out, double tolerance, double max_pseudo_time,
                          long max_steps) {
  const RhsTeam team(m, rhs_threads(m.settings));
  RunState& c = m.clock;
  SteadyFlow& s = m.steady;
  Flow& f = m.flow;
  const int n = m.grid.n;
  const int k = 1;  // every row of the schedule holds the same boundary values
  m.bnd.h0 = m.bic.hBC(k);
  m.bnd.NB0 = m.bic.NB0;
  m.bnd.NBL = m.bic.NBL;
  c.dt = kFirstStep;
  double t = 0.0;
  s.steps = 0;
  s.change = std::numeric_limits<double>::infinity();
  while (!(s.change < tolerance)) {
    if (s.steps >= max_steps || t >= max_pseudo_time)
      throw NumericalFailure("The flow did not reach a steady state within " +
                             show_number(max_pseudo_time) + " s of pseudo-time or " +
                             std::to_string(max_steps) + " steps: after " +
                             std::to_string(s.steps) + " steps (" + show_number(t) +
                             " s) the largest relative change over a step was " +
                             show_number(s.change) + ".");
    check_interrupt();
    set_inlet(m, k);
    courant_step(m);
    if (c.dt < kMinOuterStep)
      throw NumericalFailure("The flow solution cannot advance at pseudo-time " +
                             show_number(t) + " s.");
    for (int i = 1; i <= n; ++i) s.y_before(i) = f.y(i);
    advance_flow(m, out, t, c.dt, t + c.dt);
    t += c.dt;
    unpack_state(m);
    s.steps += 1;
    s.change = largest_relative_change(m);
    out.progress.update_steady(t, s.change);
  }
  s.pseudo_time = t;
  out.progress.clear_line();
}

void prepare_frozen_flow(Model& m) {
  const int k = 1;
  m.bnd.h0 = m.bic.hBC(k);
  m.bnd.NB0 = m.bic.NB0;
  m.bnd.NBL = m.bic.NBL;
  set_inlet(m, k);
  unpack_state(m);
  // The face values of the state itself, as a step's last evaluation of the
  // right-hand side would leave them, then those of the inlet cell.
  Array<double>& dydx = m.step.dydx;
  saint_venant_rhs(m, 0.0, m.flow.y, dydx, m.grid.n);
  end_faces(m);
  node_hydraulics(m);
  m.clock.dt = 0.0;
}

void run_schedule(Model& m, Outputs& out) {
  const RhsTeam team(m, rhs_threads(m.settings));
  RunState& c = m.clock;
  const BicondTables& b = m.bic;
  // A frozen flow keeps its steady state: only the transport moves on.
  const bool frozen = m.settings.steady_flow;
  for (int k = 1; k <= m.run.NTInt; ++k) {
    const double TEnd = static_cast<double>(static_cast<float>(b.TBC(k)));
    c.interval = k;
    m.bnd.h0 = b.hBC(k);
    m.bnd.NB0 = b.NB0;
    m.bnd.NBL = b.NBL;
    if (!(c.t <= TEnd - kIntervalGuard)) continue;  // too short: skipped

    c.dt = kFirstStep;
    const double Tclamp = TEnd - kEndTolerance * TEnd;
    while (c.t <= TEnd - kIntervalGuard) {
      check_interrupt();
      set_inlet(m, k);
      if (m.run.NTr > 0)
        for (int j = 1; j <= m.run.Nfdn; ++j) m.tr.An_old(j) = m.tr.An(j);
      courant_step(m);
      if (c.dt < kMinOuterStep)
        throw NumericalFailure("The flow solution cannot advance at t = " + show_number(c.t) +
                               " s.");
      if (c.t + c.dt > Tclamp) c.dt = TEnd - c.t;
      const double tNew = c.t + c.dt;
      c.record_clock += c.dt;
      if (c.record_clock >= kRecordPeriod) {
        c.record_counter += 1;
        c.record_clock = 0.0;
        c.record_flag = 1;
      }

      if (!frozen) {
        advance_flow(m, out, c.t, c.dt, tNew);
        c.t = tNew;
        unpack_state(m);
      } else {
        c.t = tNew;
      }
      end_faces(m);
      node_hydraulics(m);
      if (m.run.NTr > 0) {
        transport_step(m, c.dt, b.CBC(k));
        check_concentrations(m);
      }

      write_observation(m, out);
      accumulate_balance(m);
      check_profile(m, out);
      out.progress.update(c.t);
    }
  }
}

}  // namespace quarno
