// The flow solver: the limited reconstruction, the right-hand side of the
// flow equations, the quality-controlled Runge-Kutta step and the step
// controller that carries the state across an outer step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/Columns.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "run/Controller.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "solver/Reconstruction.hpp"
#include "solver/RungeKutta.hpp"
#include "solver/StepController.hpp"
#include "solver/SaintVenant.hpp"

namespace quarno {
namespace {

// ---------------------------------------------------------------------------
// Reconstruction

struct Faces {
  double a, b;
};

// Cell centred at 5 with length 2: faces at 4 and 6.
Faces recon(double vl, double vc, double vr, double th = 1.0) {
  Faces f{};
  reconstruct(vc, vl, vr, th, 5.0, 2.0, f.a, 4.0, f.b, 6.0);
  return f;
}

TEST(ReconLimiter, LinearProfileKeepsItsSlope) {
  Faces f = recon(1, 2, 3);  // slope 0.5 per metre
  EXPECT_EQ(f.a, 1.5);
  EXPECT_EQ(f.b, 2.5);
  f = recon(7, 4, 1);  // falling, slope -1.5
  EXPECT_EQ(f.a, 5.5);
  EXPECT_EQ(f.b, 2.5);
  f = recon(1, 2, 3, 2.0);  // a larger theta changes nothing on a line
  EXPECT_EQ(f.a, 1.5);
  EXPECT_EQ(f.b, 2.5);
}

TEST(ReconLimiter, ExtremaFlatSidesAndConstantsAreFlat) {
  for (const auto& v : {std::vector<double>{1, 3, 2},     // maximum
                        std::vector<double>{4, -1, 0},    // minimum
                        std::vector<double>{2, 2, 5},     // flat left side
                        std::vector<double>{2, 5, 5},     // flat right side
                        std::vector<double>{3, 3, 3}}) {  // constant
    const Faces f = recon(v[0], v[1], v[2]);
    EXPECT_EQ(f.a, v[1]) << v[0] << " " << v[1] << " " << v[2];
    EXPECT_EQ(f.b, v[1]) << v[0] << " " << v[1] << " " << v[2];
  }
}

TEST(ReconLimiter, TakesTheSmallestOfTheOneSidedAndCentralSlopes) {
  // Differences 1 (back) and 2 (forward): theta = 1 takes the backward one,
  // theta = 2 the central one, 1.5.
  Faces f = recon(0, 1, 3);
  EXPECT_EQ(f.a, 0.5);
  EXPECT_EQ(f.b, 1.5);
  f = recon(0, 1, 3, 2.0);
  EXPECT_EQ(f.a, 0.25);
  EXPECT_EQ(f.b, 1.75);
  // Falling profile: the slope of smallest magnitude, -1 (forward).
  f = recon(5, 3, 2);
  EXPECT_EQ(f.a, 3.5);
  EXPECT_EQ(f.b, 2.5);
}

// ---------------------------------------------------------------------------
// Right-hand side

struct Channel {
  double L = 100;
  int Nfdn = 11;
  double B0 = 10, B1 = 10;  // width at X = 0 and X = L, linear between
  double S = 0, rough = 0.03, GW = 0;
  double h = 1, Q = 0;  // initial depth and discharge
  int NB0 = 0, NBL = 0;
};

std::unique_ptr<Model> make_channel(const Channel& c) {
  auto m = std::make_unique<Model>();
  m->run.L = c.L;
  m->run.Nfdn = c.Nfdn;
  ParamTables& p = m->par;
  BicondTables& b = m->bic;
  columns::size_tables(*m, 2);
  p.NWidth = p.NSlope = p.NRough = p.NGW = b.NInCW = 2;
  for (int k = 1; k <= 2; ++k) {
    const double x = (k - 1) * c.L;
    p.XWidth(k) = p.XSlope(k) = p.XRough(k) = p.XGW(k) = b.XInCW(k) = x;
    p.Width(k) = k == 1 ? c.B0 : c.B1;
    p.Slope(k) = c.S;
    p.Rough(k) = c.rough;
    p.GWUpw(k) = c.GW;
    b.hInCW(k) = c.h;
    b.QInCW(k) = c.Q;
  }
  build_grid(*m);
  locate_observations(*m);
  map_tables(*m);
  initial_state(*m);
  m->bnd.NB0 = c.NB0;
  m->bnd.NBL = c.NBL;
  return m;
}

// Evaluates the right-hand side at the model's state vector.
std::vector<double> rhs_at(Model& m) {
  Array<double> dydx(1, m.grid.n);
  saint_venant_rhs(rhs_view(m), m.flow.y, dydx, m.grid.n);
  std::vector<double> d;
  for (int i = 1; i <= m.grid.n; ++i) d.push_back(dydx(i));
  return d;
}

void set_state(Model& m, const std::function<double(int)>& h, const std::function<double(int)>& q) {
  const int M = m.grid.M;
  for (int i = 1; i <= M; ++i) {
    m.flow.y(i) = h(i);
    m.flow.y(M + i) = q(i);
  }
}

TEST(SaintVenantRhsStillPool, LevelPoolBetweenWallsStaysAtRest) {
  // The widening channel is the case in which a width-pressure term in the
  // momentum source would set a level pool in motion.
  for (const auto& widths : {std::pair{10.0, 10.0}, std::pair{5.0, 15.0}}) {
    Channel c;
    c.B0 = widths.first;
    c.B1 = widths.second;
    c.h = 0.8;
    auto m = make_channel(c);
    if (c.B0 != c.B1) {
      ASSERT_GT(m->grid.dBdx(1), 0.0);
    }
    const auto d = rhs_at(*m);
    for (int i = 0; i < m->grid.n; ++i)
      EXPECT_EQ(d[i], 0.0) << "entry " << i + 1 << ", widths " << c.B0 << " to " << c.B1;
  }
}

TEST(SaintVenantRhsStillPool, GroundwaterRaisesAStillPoolAtUpwellingOverWidth) {
  Channel c;
  c.GW = 0.002;  // m2/s per metre of channel
  c.B0 = c.B1 = 4;
  auto m = make_channel(c);
  const auto d = rhs_at(*m);
  const int M = m->grid.M;
  for (int i = 1; i <= M; ++i) {
    EXPECT_NEAR(d[i - 1], 0.002 / 4, 1e-7 * 0.0005) << "cell " << i;
    EXPECT_EQ(d[M + i - 1], 0.0) << "cell " << i;
  }
}

TEST(SaintVenantRhsBoundaries, TransmissiveOutletPassesTheFaceStateThrough) {
  // A subcritical and a supercritical outflow.
  for (const double Q : {3.0, 60.0}) {
    Channel c;
    c.NBL = 1;
    auto m = make_channel(c);
    set_state(*m, [](int i) { return 1.0 + 0.03 * i; },
              [Q](int i) { return Q / 10 * (1.0 + 0.01 * i * i); });
    rhs_at(*m);
    const Flow& f = m->flow;
    const int M = m->grid.M;
    const double hr = f.hr(M), qr = f.qr(M);
    EXPECT_NEAR(f.Fh(M), qr, 1e-14 * qr) << "Q = " << Q;
    EXPECT_NEAR(f.Fq(M), qr * qr / hr + g * 0.5 * hr * hr, 1e-14 * f.Fq(M)) << "Q = " << Q;
  }
}

TEST(SaintVenantRhsBoundaries, FluxInletUsesH0OnlyWhenSupercritical) {
  Channel c;
  c.NB0 = 1;
  c.NBL = 1;
  auto m = make_channel(c);
  set_state(*m, [](int i) { return 1.0 + 0.2 * (i - 1); }, [](int) { return 0.5; });
  Boundary& bc = m->bnd;
  bc.q0 = 2.0;
  bc.h0 = 0.9;  // below cell 1 (1.0) while cell 2 is 1.2: slope 0.1/dx
  bc.hU = 1.5;  // above cell 1: a local minimum, reconstructed flat

  bc.Fr0 = 1.2;
  rhs_at(*m);
  EXPECT_NEAR(m->flow.hl(1), 0.95, 1e-14);
  bc.Fr0 = 1.0;  // not above 1: the extrapolated depth
  rhs_at(*m);
  EXPECT_EQ(m->flow.hl(1), 1.0);

  // Both sides of the inlet face have the same depth, so the depth flux is a
  // speed-weighted mean of q0 and the inside face discharge.
  const Flow& f = m->flow;
  EXPECT_GT(f.Fh(0), f.ql(1));
  EXPECT_LT(f.Fh(0), bc.q0);
}

// Normal depth of a rectangular channel by Manning's formula, found by
// bisection with the hydraulic radius B·h/(B + 2h).
double normal_depth(double q, double B, double S, double n) {
  double lo = 1e-3, hi = 100;
  for (int it = 0; it < 200; ++it) {
    const double h = 0.5 * (lo + hi);
    const double R = B * h / (B + 2 * h);
    const double Sf = n * n * (q / h) * (q / h) / std::pow(R, 4.0 / 3.0);
    (Sf > S ? lo : hi) = h;
  }
  return 0.5 * (lo + hi);
}

TEST(SaintVenantRhsSources, UniformFlowAtNormalDepthIsSteady) {
  const double B = 10, S = 0.001, n = 0.03, q = 1.0;
  const double hn = normal_depth(q, B, S, n);
  Channel c;
  c.L = 1000;
  c.B0 = c.B1 = B;
  c.S = S;
  c.rough = n;
  c.h = hn;
  c.Q = q * B;
  c.NB0 = 1;
  c.NBL = 1;
  auto m = make_channel(c);
  Boundary& bc = m->bnd;
  bc.q0 = q;
  bc.h0 = bc.hU = hn;
  bc.Fr0 = (q / hn) / std::sqrt(g * hn);
  ASSERT_LT(bc.Fr0, 1.0);

  const auto d = rhs_at(*m);
  const int M = m->grid.M;
  const double gravity = g * hn * S;  // size of the balanced source terms
  // The inlet depth flux weighs q0 against the desingularised face discharge,
  // which the single-precision sqrt(2) makes smaller by about 2e-8: cell 1
  // sees that difference over dx.
  const double transport = q / m->grid.dx;
  for (int i = 1; i <= M; ++i) {
    EXPECT_NEAR(d[i - 1], 0.0, 1e-7 * transport) << "dh/dt, cell " << i;
    EXPECT_NEAR(d[M + i - 1], 0.0, 1e-4 * gravity) << "dq/dt, cell " << i;
  }

  // Off the normal depth friction no longer balances gravity: a shallower
  // flow is decelerated, a deeper one accelerated.
  set_state(*m, [&](int) { return 0.9 * hn; }, [&](int) { return q; });
  EXPECT_LT(rhs_at(*m)[M + 4], -0.1 * gravity);
  set_state(*m, [&](int) { return 1.1 * hn; }, [&](int) { return q; });
  EXPECT_GT(rhs_at(*m)[M + 4], 0.1 * gravity);
}

TEST(SaintVenantRhsSources, MirroredStateBetweenWallsGivesMirroredDerivatives) {
  // Flat bed, constant width, walls at both ends: reversing the channel
  // (cell i <-> M+1-i, q -> -q) must reverse the derivatives.
  Channel c;
  auto m = make_channel(c);
  const int M = m->grid.M;
  auto h = [](int i) { return 1.0 + 0.3 * std::exp(-0.25 * (i - 3) * (i - 3)) + 0.01 * i; };
  // Discharges small at both walls, so that the mirrored discharge of the
  // wall ghosts shapes the reconstruction of the end cells.
  const double pi = std::acos(-1.0);
  auto q = [&](int i) { return 0.4 * std::sin(pi * (i - 0.5) / M) + 0.05 * std::sin(3.0 * i); };
  set_state(*m, h, q);
  const auto d = rhs_at(*m);
  set_state(*m, [&](int i) { return h(M + 1 - i); }, [&](int i) { return -q(M + 1 - i); });
  const auto dm = rhs_at(*m);
  // The quadrature points step by the single-precision 0.1, so they are not
  // placed quite symmetrically inside a cell: agreement to about 1e-9.
  for (int i = 1; i <= M; ++i) {
    const int j = M + 1 - i;
    EXPECT_NEAR(dm[i - 1], d[j - 1], 1e-9) << "dh/dt, cell " << i;
    EXPECT_NEAR(dm[M + i - 1], -d[M + j - 1], 1e-9) << "dq/dt, cell " << i;
  }
  // The state is far from rest, so the comparison is not between zeros.
  EXPECT_GT(std::fabs(d[2]), 1e-3);
  EXPECT_GT(std::fabs(d[M + 2]), 1e-3);
}

TEST(SaintVenantRhsShallow, VeryShallowFacesKeepEveryDerivativeFinite) {
  Channel c;
  c.S = 0.01;
  c.NB0 = 1;
  c.NBL = 1;
  auto m = make_channel(c);
  const int M = m->grid.M;
  // Cells 1-4 deep, 5-8 about 1e-8 m deep with some discharge, 9 almost
  // empty (its face depths fall to the floor), 10 deep again.
  auto shallow = [](int i) { return i >= 5 && i <= 8; };
  set_state(
      *m, [&](int i) { return shallow(i) ? 1e-8 * (1 + 0.1 * i) : i == 9 ? 1e-12 : 0.5; },
      [&](int i) { return shallow(i) ? 1e-9 : i == 9 ? 0.0 : 0.2; });
  Boundary& bc = m->bnd;
  bc.q0 = 0.2;
  bc.h0 = bc.hU = 0.5;
  bc.Fr0 = 0.2;
  const auto d = rhs_at(*m);
  for (int i = 0; i < m->grid.n; ++i) EXPECT_TRUE(std::isfinite(d[i])) << "entry " << i + 1;

  const Flow& f = m->flow;
  EXPECT_EQ(f.hl(9), 1e-10);
  EXPECT_EQ(f.hr(9), 1e-10);
  for (int i = 1; i <= M; ++i) {
    for (const auto& [hf, uf] : {std::pair{f.hl(i), f.ul(i)}, std::pair{f.hr(i), f.ur(i)}}) {
      EXPECT_TRUE(std::isfinite(uf)) << "cell " << i;
      // Deep faces: q / h, up to the single-precision sqrt(2) of the formula.
      if (hf >= 1e-3) {
        EXPECT_NEAR(uf, 0.2 / 0.5, 1e-7) << "cell " << i;
      }
      if (hf < 1e-6) {
        EXPECT_LT(std::fabs(uf), 1e-3) << "cell " << i;  // tends to zero
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Runge-Kutta step

// y' = lambda·y per entry; counts its evaluations and gives up if a step
// never ends.
struct LinearRhs {
  std::vector<double> lambda;
  int calls = 0;
  void operator()(double, const Array<double>& yt, Array<double>& k, int n) {
    if (++calls > 100000) throw std::runtime_error("the step does not end");
    for (int i = 1; i <= n; ++i) k(i) = lambda[i - 1] * yt(i);
  }
};

struct StepResult {
  std::vector<double> y, err;
  double x, h_did, h_next;
  RkEvent event;
};

// One controlled_step call from y0 at x0 with the given error scale and tolerance.
template <class Rhs>
StepResult step(StepScratch& w, Rhs& rhs, const std::vector<double>& y0,
                const std::vector<double>& dydx0, double x0, double h_try, double scale,
                double eps_tol) {
  const int n = static_cast<int>(y0.size());
  for (Array<double>* a : {&w.ywork, &w.dydx, &w.yscale, &w.y0, &w.k1, &w.yt, &w.k2, &w.k3,
                           &w.k4, &w.k5, &w.k6, &w.err})
    a->resize(1, n);
  Array<double> y(1, n), dydx(1, n), ys(1, n);
  for (int i = 1; i <= n; ++i) {
    y(i) = y0[i - 1];
    dydx(i) = dydx0[i - 1];
    ys(i) = scale;
  }
  StepResult r{};
  r.x = x0;
  const RkStep taken = controlled_step(rk_work(w), y, dydx, n, r.x, h_try, eps_tol, ys, rhs);
  r.h_did = taken.h_did;
  r.h_next = taken.h_next;
  r.event = taken.event;
  for (int i = 1; i <= n; ++i) {
    r.y.push_back(y(i));
    r.err.push_back(w.err(i));
  }
  return r;
}

class RungeKuttaStep : public ::testing::Test {
 protected:
  StepScratch w;
};

TEST_F(RungeKuttaStep, LinearEquationMatchesTheExponentialToFifthOrder) {
  LinearRhs rhs{{-1.0, -0.5, 2.0}};
  const std::vector<double> y0{1.0, 2.0, -3.0};
  std::vector<double> dy0;
  for (int i = 0; i < 3; ++i) dy0.push_back(rhs.lambda[i] * y0[i]);

  double prev_dev[3], prev_est[3];
  for (const double h : {0.2, 0.1, 0.05}) {
    const StepResult r = step(w, rhs, y0, dy0, 0.0, h, 1e6, eps);
    ASSERT_EQ(r.h_did, h);  // the loose scale accepts the first trial
    EXPECT_EQ(r.event, RkEvent::none);
    for (int i = 0; i < 3; ++i) {
      const double z = rhs.lambda[i] * h;
      const double taylor5 = 1 + z + z * z / 2 + z * z * z / 6 + z * z * z * z / 24 +
                             z * z * z * z * z / 120;
      const double dev = std::fabs(r.y[i] - y0[i] * std::exp(z));
      const double est = std::fabs(r.err[i]);
      // Through z^5 the result is the Taylor polynomial: what is left is of order z^6.
      EXPECT_LT(std::fabs(r.y[i] - y0[i] * taylor5), 0.01 * std::fabs(y0[i] * std::pow(z, 6)))
          << "entry " << i << ", h = " << h;
      if (h < 0.2) {
        // Halving the step: the deviation from the exponential shrinks like
        // h^6, the error estimate (fifth minus fourth order) like h^5.
        EXPECT_NEAR(prev_dev[i] / dev, 64.0, 10.0) << "entry " << i << ", h = " << h;
        EXPECT_NEAR(prev_est[i] / est, 32.0, 5.0) << "entry " << i << ", h = " << h;
      }
      prev_dev[i] = dev;
      prev_est[i] = est;
    }
  }
}

TEST_F(RungeKuttaStep, ZeroDerivativeQuadruplesTheStep) {
  LinearRhs rhs{{0.0, 0.0}};
  const StepResult r = step(w, rhs, {3.0, -2.0}, {0.0, 0.0}, 10.0, 0.75, 1.0, eps);
  EXPECT_EQ(r.h_did, 0.75);
  EXPECT_EQ(r.h_next, 3.0);
  EXPECT_EQ(r.x, 10.75);
  EXPECT_EQ(r.y, (std::vector<double>{3.0, -2.0}));
  EXPECT_EQ(rhs.calls, 5);
}

TEST_F(RungeKuttaStep, RejectedTrialsRestartFromTheSavedStart) {
  LinearRhs rhs{{-50.0, -3.0}};
  const std::vector<double> y0{1.0, 1.0}, dy0{-50.0, -3.0};
  const StepResult first = step(w, rhs, y0, dy0, 2.0, 1.0, 1.0, eps);
  ASSERT_LT(first.h_did, 1.0);
  EXPECT_GE(rhs.calls, 10);  // at least one trial was rejected
  EXPECT_EQ(first.x, 2.0 + first.h_did);
  EXPECT_NEAR(first.y[0], std::exp(-50.0 * first.h_did), 1e-3);

  // The same step size tried at once gives the same result, bit for bit.
  rhs.calls = 0;
  const StepResult direct = step(w, rhs, y0, dy0, 2.0, first.h_did, 1.0, eps);
  EXPECT_EQ(rhs.calls, 5);
  EXPECT_EQ(direct.y, first.y);
  EXPECT_EQ(direct.h_did, first.h_did);
  EXPECT_EQ(direct.h_next, first.h_next);
  EXPECT_EQ(direct.x, first.x);
}

// Derivative c at stage times before 100, 0 after: with x0 = 0 and h = 336
// only the sixth stage (at h/5) sees c, and the error is exactly 125·c.
struct SixthStageOnly {
  double c;
  int calls = 0;
  void operator()(double t, const Array<double>&, Array<double>& k, int n) {
    if (++calls > 1000) throw std::runtime_error("the step does not end");
    for (int i = 1; i <= n; ++i) k(i) = t < 100 ? c : 0.0;
  }
};

TEST_F(RungeKuttaStep, AcceptanceAndGrowthBoundaries) {
  using namespace step_control;
  SixthStageOnly rhs{8.0};  // error 1000
  // Scaled error exactly 1: accepted, shrinking proposal 0.9 h.
  StepResult r = step(w, rhs, {5.0}, {0.0}, 0.0, 336.0, 1000.0, 1.0);
  EXPECT_EQ(r.h_did, 336.0);
  EXPECT_EQ(r.y[0], 1005.0);  // the fifth-order result: start plus error
  EXPECT_NEAR(r.h_next, 336.0 * 0.9, 336.0 * 1e-7);
  // Just above 1: rejected.
  r = step(w, rhs, {5.0}, {0.0}, 0.0, 336.0, 999.999, 1.0);
  EXPECT_LT(r.h_did, 336.0);

  // Scaled error exactly at the growth threshold: the full factor of four.
  const double tol = 1.0 / kGrowThreshold;
  ASSERT_EQ(1.0 / tol, kGrowThreshold);
  r = step(w, rhs, {5.0}, {0.0}, 0.0, 336.0, 1000.0, tol);
  EXPECT_EQ(r.h_next, 4 * 336.0);
  // Just above it: 0.9·(6e-4)^-0.2, a little under four.
  r = step(w, rhs, {5.0}, {0.0}, 0.0, 336.0, 1000.0 * (1 - 1e-9), tol);
  EXPECT_NEAR(r.h_next / 336.0, 0.9 * std::pow(6e-4, -0.2), 1e-6);
  EXPECT_LT(r.h_next, 4 * 336.0);

  // An error that is not a number is accepted: the step ends.
  SixthStageOnly nan_rhs{std::nan("")};
  r = step(w, nan_rhs, {5.0}, {0.0}, 0.0, 336.0, 1.0, eps);
  EXPECT_EQ(nan_rhs.calls, 5);
  EXPECT_EQ(r.h_did, 336.0);
  EXPECT_EQ(r.event, RkEvent::none);
}

// A derivative that ignores the state: any step but the first stage sees c.
struct ConstantAfterStart {
  double c;
  void operator()(double, const Array<double>&, Array<double>& k, int n) {
    for (int i = 1; i <= n; ++i) k(i) = c;
  }
};

TEST_F(RungeKuttaStep, StepBelowTheResolutionOfTimeCannotAdvance) {
  // At x = 1e20 a step of 1 s does not change x. The error stays far above
  // the tolerance after the first shrink, so the step can never end: it
  // stops after the second such trial.
  ConstantAfterStart rhs{1e20};
  int calls = 0;
  auto counted = [&](double t, const Array<double>& yt, Array<double>& k, int n) {
    ++calls;
    rhs(t, yt, k, n);
  };
  const StepResult r = step(w, counted, {1.0}, {0.0}, 1e20, 1.0, 1.0, eps);
  EXPECT_EQ(r.event, RkEvent::cannot_advance);
  EXPECT_EQ(r.x, 1e20);
  EXPECT_EQ(calls, 10);
}

TEST_F(RungeKuttaStep, StepBelowTheResolutionOfTimeIsAcceptedWhenItsErrorIs) {
  LinearRhs rhs{{0.0}};
  const StepResult r = step(w, rhs, {1.0}, {0.0}, 1e20, 1.0, 1.0, eps);
  EXPECT_EQ(r.event, RkEvent::not_significant);
  EXPECT_EQ(r.x, 1e20);
  EXPECT_EQ(r.h_did, 1.0);
  EXPECT_EQ(r.h_next, 4.0);
}

// ---------------------------------------------------------------------------
// Step controller

class ControllerStep : public ::testing::Test {
 protected:
  ControllerStep() { out.console.capture_to(&console); }
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  std::string console;
};

TEST_F(ControllerStep, StillPoolIsLeftUnchanged) {
  Channel c;
  c.B0 = 5;
  c.B1 = 15;
  auto m = make_channel(c);
  std::vector<double> before(m->flow.y.data(), m->flow.y.data() + m->grid.n);
  solve_flow_step(*m, out, 40.0, 7.5, 47.5);
  EXPECT_EQ(std::vector<double>(m->flow.y.data(), m->flow.y.data() + m->grid.n), before);
  EXPECT_EQ(console, "");
}

TEST_F(ControllerStep, ConstantRiseCoversExactlyTheOuterStep) {
  // Groundwater raises a still pool at a constant rate, which every step
  // integrates without error: the rise measures the time advanced.
  Channel c;
  c.GW = 0.003;
  c.B0 = c.B1 = 6;
  auto m = make_channel(c);
  solve_flow_step(*m, out, 37.5, 12.5, 50.0);
  for (int i = 1; i <= m->grid.M; ++i) {
    EXPECT_NEAR(m->flow.y(i), 1.0 + 12.5 * 0.003 / 6, 1e-8) << "cell " << i;
    EXPECT_EQ(m->flow.y(m->grid.M + i), 0.0) << "cell " << i;
  }
}

// A derivative of zero everywhere but at the sixth stage of a trial, where
// it takes the next value of a script: the error of trial j is then
// (h/336)·125·v_j, so the script decides which trials the error control
// accepts (v = 0) and which it rejects (v large).
struct ScriptedTrials {
  const Array<double>* k6;
  std::vector<double> v;
  std::size_t trial = 0;
  void operator()(double, const Array<double>&, Array<double>& k, int n) {
    if (trial > 1000) throw std::runtime_error("the outer step does not end");
    double value = 0.0;
    if (&k == k6) value = v[std::min(trial++, v.size() - 1)];
    for (int i = 1; i <= n; ++i) k(i) = value;
  }
};

TEST_F(ControllerStep, EventsComeBackInOrderWithTheOutcome) {
  using E = FlowEvent;
  struct Case {
    const char* what;
    double x1, dt;
    int max_steps;
    std::vector<double> script;
    std::vector<FlowEvent> events;
    FlowOutcome outcome;
  };
  const double big = 1e80;  // shrinks a step of 1 s to about 1e-22 s
  const std::vector<Case> cases = {
      {"one trial over the whole step", 0.0, 1.0, 10, {0.0}, {}, FlowOutcome::reached},
      {"a step too small to change the time, accepted", 1e20, 10.0, 10, {0.0},
       {E::step_not_significant}, FlowOutcome::reached},
      {"two trials too small to change the time, both rejected", 1e20, 10.0, 10, {big, big},
       {E::step_not_significant}, FlowOutcome::cannot_advance},
      {"the budget of inner steps runs out", 0.0, 1.0, 1, {1e3, 0.0}, {E::too_many_steps},
       FlowOutcome::too_many_steps},
      {"a proposal below the smallest step, then the budget", 0.0, 1.0, 1, {big, 0.0},
       {E::step_below_minimum, E::too_many_steps}, FlowOutcome::too_many_steps},
  };
  StepScratch s;
  for (Array<double>* a : {&s.ywork, &s.dydx, &s.yscale, &s.y0, &s.k1, &s.yt, &s.k2, &s.k3,
                           &s.k4, &s.k5, &s.k6, &s.err})
    a->resize(1, 1);
  for (const Case& c : cases) {
    Array<double> y(1, 1);
    y(1) = 1.0;
    ScriptedTrials rhs{&s.k6, c.script};
    std::vector<FlowEvent> events;
    const FlowAdvance done = advance_flow(controller_work(s), y, 1, c.x1, c.dt, c.x1 + c.dt,
                                          c.max_steps, rhs, [&](E e) { events.push_back(e); });
    EXPECT_EQ(events, c.events) << c.what;
    EXPECT_EQ(done.outcome, c.outcome) << c.what;
    // The state changes only when the step ends: every trial here leaves 1.
    EXPECT_EQ(y(1), 1.0) << c.what;
    if (c.outcome == FlowOutcome::cannot_advance) {
      EXPECT_EQ(done.t, c.x1) << c.what;
    }
  }
  EXPECT_EQ(console, "");  // the controller shows nothing itself
  EXPECT_STREQ(flow_event_message(E::step_not_significant), "Stepsize not significant in RKQC.");

  // In a run: at t = 1e20 s a step of 10 s does not move the clock. A pool
  // that groundwater raises has no error, so the step is accepted after one
  // pause.
  const char* pause = "Stepsize not significant in RKQC.\n";
  console.clear();
  Channel c;
  c.GW = 0.003;
  auto m = make_channel(c);
  ASSERT_EQ(1e20 + 10.0, 1e20);
  EXPECT_TRUE(solve_flow_step(*m, out, 1e20, 10.0, 1e20 + 10.0));
  EXPECT_EQ(console, pause);
  EXPECT_GT(m->flow.y(1), 1.0);
}

// Classical fourth-order Runge-Kutta with a fixed small step on the model's
// right-hand side, as an independent reference solution.
std::vector<double> reference(Model& m, std::vector<double> y, double T, int steps) {
  const int n = m.grid.n;
  Array<double> yt(1, n), k(1, n);
  std::vector<double> k1(n), k2(n), k3(n), k4(n);
  const RhsView flow = rhs_view(m);
  auto eval = [&](const std::vector<double>& s, std::vector<double>& out) {
    for (int i = 1; i <= n; ++i) yt(i) = s[i - 1];
    saint_venant_rhs(flow, yt, k, n);
    for (int i = 1; i <= n; ++i) out[i - 1] = k(i);
  };
  const double h = T / steps;
  std::vector<double> s(n);
  for (int it = 0; it < steps; ++it) {
    eval(y, k1);
    for (int i = 0; i < n; ++i) s[i] = y[i] + h / 2 * k1[i];
    eval(s, k2);
    for (int i = 0; i < n; ++i) s[i] = y[i] + h / 2 * k2[i];
    eval(s, k3);
    for (int i = 0; i < n; ++i) s[i] = y[i] + h * k3[i];
    eval(s, k4);
    for (int i = 0; i < n; ++i) y[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
  }
  return y;
}

TEST_F(ControllerStep, SurgeIsCarriedToTheEndOfTheStepInSeveralInnerSteps) {
  // A surge of water in a sloping, rough channel between a flux inlet and a
  // free outlet.
  Channel c;
  c.L = 200;
  c.Nfdn = 21;
  c.S = 0.002;
  c.rough = 0.04;
  c.NB0 = 1;
  c.NBL = 1;
  auto m = make_channel(c);
  const int n = m->grid.n;
  set_state(*m, [](int i) { return 0.5 + 0.4 * std::exp(-0.1 * (i - 6) * (i - 6)); },
            [](int) { return 0.3; });
  Boundary& bc = m->bnd;
  bc.q0 = 0.3;
  bc.h0 = bc.hU = 0.5;
  bc.Fr0 = 0.3 / 0.5 / std::sqrt(g * 0.5);
  const std::vector<double> y0(m->flow.y.data(), m->flow.y.data() + n);

  // The whole interval in one trial is too much for the error control.
  const double T = 6.0;
  {
    const RhsView flow = rhs_view(*m);
    Array<double> y(1, n), dydx(1, n), ys(1, n);
    for (int i = 1; i <= n; ++i) y(i) = y0[i - 1];
    saint_venant_rhs(flow, y, dydx, n);
    for (int i = 1; i <= n; ++i) ys(i) = std::fabs(y(i)) + 1e-10 + std::fabs(T * dydx(i));
    double x = 0;
    auto rhs = [&](double, const Array<double>& yt, Array<double>& k, int nn) {
      saint_venant_rhs(flow, yt, k, nn);
    };
    ASSERT_LT(controlled_step(rk_work(m->step), y, dydx, n, x, T, eps, ys, rhs).h_did, T);
  }

  const auto ref = reference(*m, y0, T, 6000);
  solve_flow_step(*m, out, 1000.0, T, 1000.0 + T);
  double moved = 0;
  for (int i = 1; i <= n; ++i) {
    EXPECT_NEAR(m->flow.y(i), ref[i - 1], 5e-4) << "entry " << i;
    moved = std::max(moved, std::fabs(ref[i - 1] - y0[i - 1]));
  }
  EXPECT_GT(moved, 0.05);  // the surge travelled: the state changed clearly
  EXPECT_EQ(console, "");
}

}  // namespace
}  // namespace quarno
