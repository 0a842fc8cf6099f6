// Dam breaks on a flat frictionless bed: a wet bed against Stoker, a dry one
// against Ritter.
#include "Cases.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "Analytic.hpp"

namespace quarno::test {

// 4. Dam break on a flat frictionless bed between walls, compared before any
// wave reaches a wall.

namespace {

struct DamRun {
  double l1 = NAN;     // L1 error of the depth over the L1 norm of the exact depth
  double bound = NAN;  // the same for the exact solution displaced by one cell
  std::string failure;
};

DamRun dam_break(double hl, double hr, int Nfdn, double T) {
  const double L = 1000.0;
  const int M = Nfdn - 1;
  const double dx = L / M;
  // The dam at the centre of cell k: its nodes carry the two depths, so the
  // cell starts at the exact cell average. A dry side starts at 0, which the
  // model holds at its floor depth of 1e-5 m.
  const int k = M / 2;
  const double Xk = (k - 1) * dx;
  const double x_dam = Xk + 0.5 * dx;
  Reach r;
  r.Nfdn = Nfdn;
  r.L = L;
  r.slope = 0.0;
  r.rough = 0.0;
  r.flow_rows = {{0.0, hl, 0.0}, {Xk, hl, 0.0}, {Xk + dx, hr, 0.0}, {L, hr, 0.0}};
  r.schedule = {{T, hl, 0.0, 0.0}};
  r.tout = {T};
  DamRun d;
  const RunResult out = run(r, d.failure);
  Profile p;
  if (!d.failure.empty() || !one_profile(out, M, p, d.failure)) return d;
  const DamBreak exact(hl, hr);
  double err = 0, norm = 0;
  for (int i = 0; i < M; ++i) {
    // Exact cell average by a 400-point midpoint rule.
    const int sub = 400;
    double avg = 0;
    for (int s = 0; s < sub; ++s) avg += exact.depth((i * dx + (s + 0.5) * dx / sub - x_dam) / T);
    avg /= sub;
    err += std::fabs(p.h[i] - avg) * dx;
    norm += avg * dx;
  }
  d.l1 = err / norm;
  // ||h(x) - h(x - dx)||_1 = dx TV(h), and TV(h) = hl - hr.
  d.bound = dx * (hl - hr) / norm;
  return d;
}

std::vector<Outcome> dam_break_case(const std::string& name, double hl, double hr) {
  // After 100 s the fan's head is 313 m from the dam, the front 310 m
  // (Stoker) or 626 m (Ritter): every wave is still inside [0, 1000 m].
  const double T = 100.0;
  std::vector<Outcome> out;
  const int grids[2] = {251, 501};
  double l1[2];
  for (int k = 0; k < 2; ++k) {
    const DamRun d = dam_break(hl, hr, grids[k], T);
    if (!d.failure.empty()) return {failure(name, d.failure)};
    l1[k] = d.l1;
    out.push_back(at_most(name, fmt("L1(h-h_exact)/L1(h_exact), dx=%g", 1000.0 / (grids[k] - 1)),
                          d.l1, d.bound));
  }
  if (hr > 0) {
    const DamBreak e(hl, hr);
    out.front().notes.push_back(fmt("middle state %.5f m, %.5f m/s; shock speed %.5f m/s", e.hm,
                                    e.um, e.shock));
  }
  out.push_back(at_least(name, "observed order, dx 4 -> 2", std::log2(l1[0] / l1[1]), 0.8));
  return out;
}

}  // namespace

std::vector<Outcome> stoker_case() { return dam_break_case("4 dam break wet (Stoker)", 1.0, 0.1); }
std::vector<Outcome> ritter_case() { return dam_break_case("4 dam break dry (Ritter)", 1.0, 0.0); }

}  // namespace quarno::test
