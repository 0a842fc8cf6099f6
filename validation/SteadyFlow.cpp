// Steady flow in a channel: the normal depth, and an M1 backwater curve
// above a roughness change.
#include "Cases.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "Analytic.hpp"

namespace quarno::test {

// 2. Constant inflow into a uniform channel settles at the normal depth.

std::vector<Outcome> normal_depth_case() {
  const std::string name = "2 Manning normal depth";
  const double hn = channel_normal_depth();
  const double hn_manning = normal_depth(kDischarge / kWidth, kWidth, kRough, kSlope, 4.0 / 3.0);
  // Started 4% below the normal depth; the deficit leaves with an e-folding
  // time of about 700 s, so after 3 h it is below 1e-7 m.
  Reach r = uniform_channel(41, 2000.0, 1.0, 10800.0);
  r.xobs = {100, 300, 500, 700, 900, 1100, 1300, 1500, 1700, 1900};
  std::string why;
  const RunResult out = run(r, why);
  if (!why.empty()) return {failure(name, why)};
  const std::vector<ObsRow> rows = read_obs(out.obs, 10);
  if (rows.empty() || rows.back().t < 10000.0) return {failure(name, "no late observation rows")};
  const ObsRow& last = rows.back();
  double dh = 0, dQ = 0;
  for (int j = 0; j < 10; ++j) {
    dh = worse(dh, std::fabs(last.h[j] - hn));
    dQ = worse(dQ, std::fabs(last.Q[j] - kDischarge));
  }
  // The observation file prints five digits: this depth (above 1 m) to
  // 1e-4 m, the discharge to 1e-3 m3/s.
  Outcome oh = at_most(name, "max |h-hn| (m), observation rows", dh, half_unit(hn, 5));
  oh.notes.push_back(fmt("hn = %.6f m with R^(1.3333/2), %.6f m with R^(2/3): %.1e m apart",
                         hn, hn_manning, hn - hn_manning));
  oh.notes.push_back(fmt("last observation row at t = %.0f s", last.t));
  return {oh, at_most(name, "max |Q-10| (m3/s), observation rows", dQ, half_unit(kDischarge, 5))};
}

// ---------------------------------------------------------------------------
// 3. A roughness change on a uniform slope: the rougher downstream half runs
// at its normal depth (the transmissive outlet imposes no depth), and the
// smoother upstream half carries an M1 backwater curve up from it.

namespace {

struct GvfSetup {
  double L = 2000.0, xc = 1000.0, B = 10.0, S = 0.001, n1 = 0.02, n2 = 0.04, Q = 5.0;
  double q() const { return Q / B; }
  double yn1() const { return normal_depth(q(), B, n1, S, kManningPower); }
  double yn2() const { return normal_depth(q(), B, n2, S, kManningPower); }
};

struct GvfErrors {
  double smooth = 0;      // largest error more than two cells upstream of the change
  double mean = 0;        // mean error over the same cells
  double kink = 0;        // error of the cell just upstream of the change
  double downstream = 0;  // largest departure from the normal depth downstream
  double max_h2 = 0;      // largest |h''| of the exact profile upstream
  std::string failure;
};

GvfErrors gvf_errors(int Nfdn) {
  const GvfSetup g;
  const double dx = g.L / (Nfdn - 1);
  Reach r;
  r.Nfdn = Nfdn;
  r.L = g.L;
  r.width0 = r.width1 = g.B;
  r.slope = g.S;
  r.NB0 = 1;
  r.NBL = 1;
  // Every cell takes the roughness of its left node: with the change row half
  // a cell before xc the first cell of roughness n2 starts exactly at xc.
  r.rough_rows = {{0.0, g.n1, 0}, {g.xc - 0.5 * dx, g.n2, 0}, {g.L, g.n2, 0}};
  r.flow_rows = {{0.0, g.yn1(), g.Q}, {g.xc, g.yn2(), g.Q}, {g.L, g.yn2(), g.Q}};
  // Four hours: the printed profile no longer changes in the last two.
  r.schedule = {{14400.0, g.yn1(), g.Q, 0.0}};
  r.tout = {14400.0};
  GvfErrors e;
  const RunResult out = run(r, e.failure);
  Profile p;
  if (!e.failure.empty() || !one_profile(out, Nfdn - 1, p, e.failure)) return e;
  int smooth_cells = 0;
  for (std::size_t i = 0; i < p.h.size(); ++i) {
    const double X = p.X[i];
    if (X > g.xc) {
      e.downstream = worse(e.downstream, std::fabs(p.h[i] - g.yn2()));
      continue;
    }
    const double exact = gvf_depth(X, g.xc, g.yn2(), g.q(), g.B, g.n1, g.S);
    const double err = std::fabs(p.h[i] - exact);
    if (X > g.xc - dx) {
      e.kink = err;
    } else if (X < g.xc - 2 * dx) {
      e.smooth = worse(e.smooth, err);
      e.mean += err;
      ++smooth_cells;
    }
    // h'' = F'(h) F(h) where h' = F(h).
    const double d = 1e-6;
    const double F = gvf_slope(exact, g.q(), g.B, g.n1, g.S);
    const double Fp = (gvf_slope(exact + d, g.q(), g.B, g.n1, g.S) -
                       gvf_slope(exact - d, g.q(), g.B, g.n1, g.S)) / (2 * d);
    e.max_h2 = std::max(e.max_h2, std::fabs(Fp * F));
  }
  e.mean /= smooth_cells;
  return e;
}

}  // namespace

std::vector<Outcome> backwater_case() {
  const std::string name = "3 GVF M1 backwater";
  const GvfSetup g;
  const double print = half_unit(0.9, 4);  // depths below 1 m print to 1e-4 m
  const double slope_at_change = gvf_slope(g.yn2(), g.q(), g.B, g.n1, g.S);
  std::vector<Outcome> out;
  const int grids[2] = {101, 201};
  double mean[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    const GvfErrors e = gvf_errors(grids[k]);
    if (!e.failure.empty()) return {failure(name, e.failure)};
    const double dx = g.L / (grids[k] - 1);
    mean[k] = e.mean;
    // Second order where the profile is smooth: of the size of its second
    // difference dx^2 h''.
    Outcome o = at_most(name, fmt("max |h-h_gvf| upstream (m), dx=%g", dx), e.smooth,
                        dx * dx * e.max_h2 + print);
    if (k == 0)
      o.notes.push_back(fmt("normal depths %.5f m upstream, %.5f m downstream; critical %.5f m",
                            g.yn1(), g.yn2(), std::cbrt(g.q() * g.q() / kG)));
    o.notes.push_back(fmt("mean error %.2e m; dx^2 max|h''| = %.2e m", e.mean, dx * dx * e.max_h2));
    out.push_back(o);
    // The limiter reconstructs the cell before the slope break flat: first
    // order there, a quarter of the depth change across the cell.
    out.push_back(at_most(name, fmt("cell before the change (m), dx=%g", dx), e.kink,
                          0.25 * slope_at_change * dx + print));
    out.push_back(at_most(name, fmt("max |h-yn| downstream (m), dx=%g", dx), e.downstream, print));
  }
  out.push_back(at_least(name, "order of the mean error, dx 20 -> 10", std::log2(mean[0] / mean[1]),
                         1.5));
  return out;
}

}  // namespace quarno::test
