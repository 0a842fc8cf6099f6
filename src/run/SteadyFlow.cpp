#include "run/SteadyFlow.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "model/Errors.hpp"
#include "output/Csv.hpp"
#include "output/Layout.hpp"
#include "output/ResultFiles.hpp"
#include "run/Console.hpp"
#include "run/Controller.hpp"
#include "run/KernelViews.hpp"
#include "run/OuterStep.hpp"
#include "solver/TransportStep.hpp"

namespace quarno {

namespace {

// Heun steps without a new smallest change after which the run's own steps
// take over.
constexpr long kHeunPatience = 20000;

// FNV-1a, 64 bits, over the bytes of the values fed to it.
class KeyHash {
 public:
  void add(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t k = 0; k < size; ++k) {
      h_ ^= p[k];
      h_ *= 0x100000001b3ULL;
    }
  }
  void add(double v) { add(&v, sizeof v); }
  void add(int v) { add(&v, sizeof v); }
  void add(const Array<double>& a, int from, int to) {
    for (int i = from; i <= to; ++i) add(a(i));
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

std::string hex_key(std::uint64_t key) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(key));
  return buf;
}

// Writes the state beside the results, whole or not at all: to a fresh
// temporary file, renamed when complete.
void save_state(const Model& m, const std::string& key) {
  FileReplacement file(kSteadyFlowFile);
  TextOut out(file.open(), kSteadyFlowFile);
  const SteadyFlow& s = m.steady;
  const int M = m.grid.M;
  out.write_line("# Steady flow state of a quarno run: depth and discharge per unit width of every");
  out.write_line("# cell. quarno --flow-state reuses it when the key matches its grid, channel,");
  out.write_line("# initial flow, boundary types and inlet values.");
  out.write_line("key," + key);
  CsvRow row;
  (row << "cells" << M).write_to(out);
  (row << "pseudo_time_s" << s.pseudo_time).write_to(out);
  (row << "steps" << static_cast<int>(s.steps)).write_to(out);
  (row << "largest_relative_change" << s.change).write_to(out);
  out.write_line(kFlowStateHeader);
  for (int i = 1; i <= M; ++i)
    (row << i << m.grid.Xc(i) << m.flow.y(i) << m.flow.y(M + i)).write_to(out);
  out.flush();
  file.commit();
}

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
    const double dh = std::fabs(y(i) - y0(i)) / std::max(std::fabs(y0(i)), kDryDepth);
    const double dq = std::fabs(y(M + i) - y0(M + i)) / std::max(std::fabs(y0(M + i)), q_floor);
    change = std::max(change, std::max(dh, dq));
  }
  return change;
}

// One step of Heun's method (the second-order strong-stability-preserving
// Runge-Kutta method) from y over dt. Its fixed points are those of the run's
// own step, where the right-hand side vanishes, and it costs two evaluations
// of the right-hand side against the seven of an embedded Runge-Kutta step:
// the march gets close with it, and the run's own steps confirm the state.
// False when a depth is not positive or a value not finite.
bool heun_step(Model& m, double dt) {
  Array<double>& y = m.flow.y;
  Array<double>& slope = m.step.dydx;
  Array<double>& y1 = m.step.ywork;
  const int n = m.grid.n;
  const int M = m.grid.M;
  const RhsView flow = rhs_view(m);
  saint_venant_rhs(flow, y, slope, n);
  for (int i = 1; i <= n; ++i) y1(i) = y(i) + dt * slope(i);
  for (int i = 1; i <= M; ++i)
    if (!(y1(i) > 0.0)) return false;
  saint_venant_rhs(flow, y1, slope, n);
  for (int i = 1; i <= n; ++i) y(i) = 0.5 * y(i) + 0.5 * (y1(i) + dt * slope(i));
  for (int i = 1; i <= n; ++i)
    if (!std::isfinite(y(i)) || (i <= M && !(y(i) > 0.0))) return false;
  return true;
}

std::string describe(const SteadyFlow& s) {
  return std::to_string(s.steps) + " steps, " + show_number(s.pseudo_time) +
         " s of pseudo-time, largest relative change over the last step " + show_number(s.change);
}

}  // namespace

void march_to_steady_flow(Model& m, Outputs& out, double tolerance, double max_pseudo_time,
                          long max_steps, bool heun_first) {
  const RhsTeam team(m, rhs_threads(m.settings));
  RunState& c = m.clock;
  SteadyFlow& s = m.steady;
  Flow& f = m.flow;
  const int n = m.grid.n;
  const int k = s.row;  // every row that runs holds the same boundary values
  m.bnd.h0 = m.bic.hBC(k);
  m.bnd.NB0 = m.bic.NB0;
  m.bnd.NBL = m.bic.NBL;
  c.dt = kFirstStep;
  double t = 0.0;
  s.steps = 0;
  s.heun_steps = 0;
  s.change = std::numeric_limits<double>::infinity();
  bool heun = heun_first;
  double best = s.change;  // the smallest change of the Heun steps so far
  long since_best = 0;
  for (;;) {
    if (!heun && s.change < tolerance) break;
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
    if (c.dt < kMinStep)
      throw NumericalFailure("The flow solution cannot advance at pseudo-time " +
                             show_number(t) + " s.");
    for (int i = 1; i <= n; ++i) s.y_before(i) = f.y(i);
    if (heun && !heun_step(m, c.dt)) {
      // A depth that is not positive or a value that is not finite: the
      // run's own steps go on from the state before.
      for (int i = 1; i <= n; ++i) f.y(i) = s.y_before(i);
      heun = false;
      continue;
    }
    if (!heun) advance_flow(m, out, t, c.dt, t + c.dt);
    t += c.dt;
    unpack_state(m);
    s.steps += 1;
    s.change = largest_relative_change(m);
    out.progress.update_steady(t, s.change);
    if (heun) {
      s.heun_steps += 1;
      since_best = s.change < best ? 0 : since_best + 1;
      best = std::min(best, s.change);
      // Converged, or no progress for long: the run's own steps confirm the
      // state, or take over.
      if (s.change < tolerance || since_best > kHeunPatience) {
        heun = false;
        s.change = std::numeric_limits<double>::infinity();
      }
    }
  }
  s.pseudo_time = t;
  out.progress.clear_line();
}

void prepare_frozen_flow(Model& m) {
  const int k = m.steady.row;
  m.bnd.h0 = m.bic.hBC(k);
  m.bnd.NB0 = m.bic.NB0;
  m.bnd.NBL = m.bic.NBL;
  set_inlet(m, k);
  unpack_state(m);
  // The face values of the state itself, as a step's last evaluation of the
  // right-hand side would leave them, then those of the inlet cell.
  Array<double>& dydx = m.step.dydx;
  saint_venant_rhs(rhs_view(m), m.flow.y, dydx, m.grid.n);
  end_faces(m);
  node_hydraulics(m);
  m.clock.dt = 0.0;
}

void check_steady_schedule(Model& m) {
  // The rows the time loop takes steps in: a row whose interval ends within
  // the interval guard of the time reached is skipped, and its values are
  // never used.
  const BicondTables& b = m.bic;
  int first = 0;
  double t = 0.0;
  for (int k = 1; k <= m.run.NTInt; ++k) {
    const double TEnd = static_cast<double>(static_cast<float>(b.TBC(k)));
    if (!(t <= TEnd - kIntervalGuard)) continue;
    t = TEnd;
    if (first == 0) {
      first = k;
    } else if (b.hBC(k) != b.hBC(first) || b.QBC(k) != b.QBC(first)) {
      throw InputError("crbicond.txt: --steady-flow needs one discharge and one inlet depth "
                       "throughout the schedule, but row " + std::to_string(k) + " has h = " +
                       show_number(b.hBC(k)) + " m and Q = " + show_number(b.QBC(k)) +
                       " m3/s where row " + std::to_string(first) + " has h = " +
                       show_number(b.hBC(first)) + " m and Q = " + show_number(b.QBC(first)) +
                       " m3/s");
    }
  }
  m.steady.row = first > 0 ? first : 1;
}

std::uint64_t steady_flow_key(const Model& m) {
  static constexpr char kFormat[] = "quarno steady flow 1";
  KeyHash h;
  h.add(kFormat, sizeof kFormat);
  const int N = m.run.Nfdn;
  const NodeFields& nf = m.nodes;
  h.add(N);
  h.add(m.run.L);
  h.add(m.grid.dx);
  h.add(nf.WidthN, 1, N);
  h.add(nf.SlopeN, 1, N);
  h.add(nf.RoughN, 1, N);
  h.add(nf.GWUpwN, 1, N);
  h.add(m.flow.y, 1, m.grid.n);
  h.add(m.bic.NB0);
  h.add(m.bic.NBL);
  h.add(m.bic.hBC(m.steady.row));
  h.add(m.bic.QBC(m.steady.row));
  return h.value();
}

namespace {

// Largest relative change of any cell's depth or discharge, as the march
// measures it, over one outer step of the run's own from the flow state in
// y; infinity when that step fails or needs more than
// kSavedStateMaxInnerSteps inner steps. The flow state is left as it was. A
// state far from steady must not show the step controller's pauses: they go
// nowhere.
double change_over_one_step(Model& m) {
  const int n = m.grid.n;
  const int k = m.steady.row;
  Flow& f = m.flow;
  Array<double>& y_before = m.steady.y_before;
  for (int i = 1; i <= n; ++i) y_before(i) = f.y(i);
  Outputs silent{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  double change = std::numeric_limits<double>::infinity();
  try {
    m.bnd.h0 = m.bic.hBC(k);
    m.bnd.NB0 = m.bic.NB0;
    m.bnd.NBL = m.bic.NBL;
    m.clock.dt = kFirstStep;
    unpack_state(m);
    set_inlet(m, k);
    courant_step(m);
    const RhsTeam team(m, rhs_threads(m.settings));
    if (m.clock.dt >= kMinStep &&
        advance_flow(m, silent, 0.0, m.clock.dt, m.clock.dt, kSavedStateMaxInnerSteps)) {
      unpack_state(m);
      change = largest_relative_change(m);
    }
  } catch (const NumericalFailure&) {
  }
  for (int i = 1; i <= n; ++i) f.y(i) = y_before(i);
  unpack_state(m);
  return change;
}

}  // namespace

bool use_saved_state(Model& m, Outputs& out, const SavedFlowState& saved) {
  const std::string key = hex_key(steady_flow_key(m));
  const std::string& path = m.settings.flow_state;
  const int M = m.grid.M;
  auto note = [&](const std::string& why) {
    out.warnings.write_line("note: " + path + " " + why + "; computing the steady flow again.");
  };
  if (saved.key != key) {
    note("holds the steady flow of another set-up (key " + saved.key + ", this run " + key + ")");
    return false;
  }
  if (saved.cells != M) {
    note("holds " + std::to_string(saved.cells) + " cells, the grid " + std::to_string(M));
    return false;
  }
  Array<double>& y = m.flow.y;
  Array<double> initial = y;
  for (int i = 1; i <= M; ++i) {
    y(i) = saved.h[static_cast<std::size_t>(i - 1)];
    y(M + i) = saved.q[static_cast<std::size_t>(i - 1)];
  }
  const double change = change_over_one_step(m);
  if (!(change <= kSavedStateTolerance)) {
    char shown[96];
    if (std::isfinite(change))
      std::snprintf(shown, sizeof shown, "changes a cell's depth or discharge by a fraction "
                    "%.3g (at most %.3g allowed)", change, kSavedStateTolerance);
    else
      std::snprintf(shown, sizeof shown, "fails or takes more than %d inner steps",
                    kSavedStateMaxInnerSteps);
    note("does not hold a steady flow of this deck: one outer step from it " +
         std::string(shown));
    for (int i = 1; i <= 2 * M; ++i) y(i) = initial(i);
    unpack_state(m);
    return false;
  }
  SteadyFlow& s = m.steady;
  s.pseudo_time = saved.pseudo_time;
  s.steps = saved.steps;
  s.change = saved.change;
  return true;
}

void establish_steady_flow(Model& m, Outputs& out, const SavedFlowState* saved) {
  check_steady_schedule(m);
  const std::string key = hex_key(steady_flow_key(m));
  const std::string& path = m.settings.flow_state;
  const bool reused = saved != nullptr && use_saved_state(m, out, *saved);
  if (reused) {
    out.console.write_line("Steady flow from " + path + ": " + describe(m.steady) + ".");
  } else {
    march_to_steady_flow(m, out, kSteadyTolerance, kSteadyMaxPseudoTime, kSteadyMaxSteps, true);
    save_state(m, key);
    out.console.write_line("Steady flow: " + describe(m.steady) + "; saved in " +
                           kSteadyFlowFile + ".");
  }
  out.console.flush();
  prepare_frozen_flow(m);
}

}  // namespace quarno
