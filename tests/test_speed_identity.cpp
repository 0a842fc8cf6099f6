// The flow right-hand side runs block by block, as vectors, with repeated
// Manning powers taken again and optionally on several threads; none of this
// may change a bit. It is compared with a plain evaluation kept here, and
// whole runs with one, two and three threads are compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "model/Columns.hpp"
#include "model/Model.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "solver/Reconstruction.hpp"
#include "solver/SaintVenant.hpp"
#include "parallel/Team.hpp"
#include "solver/RungeKutta.hpp"

namespace quarno::test {
namespace {

// ---------------------------------------------------------------------------
// The right-hand side written plainly, one cell and one point at a time, as
// the program evaluated it before it ran as vectors.

void plain_rhs(Model& m, const Array<double>& y, Array<double>& dydx, int n) {
  constexpr double kFloor = 1e-10, kDesingEps = 9.999999960041972e-13;
  constexpr double kSqrt2 = 1.4142135381698608, kExp = 1.333299994468689;
  constexpr double kW = 0.10000000149011612;
  constexpr double kPhi[10] = {0.05000000074505806, 0.15000000223517418, 0.2500000037252903,
                               0.3500000052154064,  0.45000000670552254, 0.5500000081956387,
                               0.6500000096857548,  0.7500000111758709,  0.850000012665987,
                               0.9500000141561031};
  auto desing = [&](double hf, double& qf, double& uf) {
    const double hf4 = (hf * hf) * (hf * hf);
    uf = kSqrt2 * hf * qf / std::sqrt(hf4 + std::max(hf4, kDesingEps));
    qf = hf * uf;
  };
  auto flux = [](double hL, double qL, double hR, double qR, double ap, double am, double& Fh,
                 double& Fq) {
    const double D = ap - am;
    Fh = (hR - hL) * ap * am / D + (ap * qL - am * qR) / D;
    Fq = (ap * ((qL * qL) / hL + (g * 0.5) * (hL * hL)) -
          am * ((qR * qR) / hR + (g * 0.5) * (hR * hR))) / D +
         ap * am * (qR - qL) / D;
  };
  const Grid& gr = m.grid;
  const Boundary& bc = m.bnd;
  Flow& f = m.flow;
  const int M = n / 2;
  const double dx = gr.dx;
  for (int i = 1; i <= M; ++i) {
    f.h(i) = y(i);
    f.q(i) = y(M + i);
    f.u(i) = f.q(i) / f.h(i);
  }
  double hg0 = f.h(1), qg0 = -f.q(1), hgL = f.h(M), qgL = bc.NBL == 0 ? -f.q(M) : f.q(M);
  if (bc.NB0 != 0) {
    qg0 = bc.q0;
    hg0 = bc.Fr0 > 1.0 ? bc.h0 : bc.hU;
  }
  for (int i = 1; i <= M; ++i) {
    const double hlft = i == 1 ? hg0 : f.h(i - 1), hrgt = i == M ? hgL : f.h(i + 1);
    const double qlft = i == 1 ? qg0 : f.q(i - 1), qrgt = i == M ? qgL : f.q(i + 1);
    reconstruct(f.q(i), qlft, qrgt, theta, gr.Xc(i), dx, f.ql(i), gr.Xl(i), f.qr(i), gr.Xr(i));
    double a, b;
    reconstruct(f.h(i), hlft, hrgt, theta, gr.Xc(i), dx, a, gr.Xl(i), b, gr.Xr(i));
    f.hl(i) = std::max(kFloor, a);
    f.hr(i) = std::max(kFloor, b);
    desing(f.hl(i), f.ql(i), f.ul(i));
    desing(f.hr(i), f.qr(i), f.ur(i));
  }
  for (int j = 1; j <= M - 1; ++j) {
    const double cr = std::sqrt(g * f.hr(j)), cl = std::sqrt(g * f.hl(j + 1));
    f.ap(j) = std::max(std::max(f.ur(j) + cr, f.ul(j + 1) + cl), 0.0);
    f.am(j) = std::min(std::min(f.ur(j) - cr, f.ul(j + 1) - cl), 0.0);
    flux(f.hr(j), f.qr(j), f.hl(j + 1), f.ql(j + 1), f.ap(j), f.am(j), f.Fh(j), f.Fq(j));
  }
  const double ub0 = bc.NB0 == 0 ? f.q(1) / f.h(1) : bc.q0;
  const double cb0 = bc.NB0 == 0 ? std::sqrt(g * f.h(1)) : 0.0;
  const double c1 = std::sqrt(g * f.hl(1));
  f.ap(0) = std::max(std::max(ub0 + cb0, 0.0), f.ul(1) + c1);
  f.am(0) = std::min(std::min(ub0 - cb0, 0.0), f.ul(1) - c1);
  flux(f.hl(1), bc.NB0 == 1 ? bc.q0 : -f.ql(1), f.hl(1), f.ql(1), f.ap(0), f.am(0), f.Fh(0),
       f.Fq(0));
  const double ubL = bc.NBL == 0 ? f.q(M) / f.h(M) : 0.0;
  const double cbL = bc.NBL == 0 ? std::sqrt(g * f.h(M)) : 0.0;
  const double cM = std::sqrt(g * f.hr(M));
  f.ap(M) = std::max(std::max(f.ur(M) + cM, 0.0), ubL + cbL);
  f.am(M) = std::min(std::min(f.ur(M) - cM, 0.0), ubL - cbL);
  flux(f.hr(M), f.qr(M), f.hr(M), bc.NBL == 1 ? f.qr(M) : -f.qr(M), f.ap(M), f.am(M), f.Fh(M),
       f.Fq(M));
  const double w = dx * kW;
  for (int i = 1; i <= M; ++i) {
    const double dBdx = gr.dBdx(i), BL = gr.B(i) - 0.5 * dx * dBdx, BR = gr.B(i) + 0.5 * dx * dBdx;
    const double rough2 = gr.RoughC(i) * gr.RoughC(i), GW = m.nodes.GWUpwN(i);
    const double dh = kW * (f.hr(i) - f.hl(i)), dq = kW * (f.qr(i) - f.ql(i)), gh = g * f.h(i);
    double sum_f = 0.0, sum_g = 0.0;
    for (int k = 1; k <= 10; ++k) {
      const double mult = k - 0.5;
      const double Bk = BL + kPhi[k - 1] * (BR - BL);
      const double hk = f.hl(i) + mult * dh, qk = f.ql(i) + mult * dq;
      const double uk = qk / hk, Ak = Bk * hk, Rk = Ak / (Bk + hk + hk);
      const double Sfk = uk * rough2 * std::fabs(uk) / std::pow(Rk, kExp);
      const double fk = GW / Bk - dBdx * qk / Bk;
      const double gk = (kLateralMomentum * GW) * qk / Ak - dBdx * qk * qk / Ak + gh * (gr.S(i) - Sfk);
      sum_f += fk * w;
      sum_g += gk * w;
    }
    f.Sh(i) = sum_f / dx;
    f.Sq(i) = sum_g / dx;
  }
  for (int i = 1; i <= M; ++i) {
    dydx(i) = -(f.Fh(i) - f.Fh(i - 1)) / dx + f.Sh(i);
    dydx(M + i) = -(f.Fq(i) - f.Fq(i - 1)) / dx + f.Sq(i);
  }
}

// ---------------------------------------------------------------------------

struct Case {
  int Nfdn;
  double B0, B1;   // width at X = 0 and X = L
  int NB0, NBL;
  bool shallow;    // some cells a few nanometres deep, one almost empty
  bool uniform;    // stretches of equal cells, so that radii repeat
};

std::unique_ptr<Model> reach(const Case& c, std::mt19937& rng) {
  auto m = std::make_unique<Model>();
  m->run.L = 2000.0;
  m->run.Nfdn = c.Nfdn;
  ParamTables& p = m->par;
  BicondTables& b = m->bic;
  columns::size_tables(*m, 2);
  p.NWidth = p.NSlope = p.NRough = p.NGW = b.NInCW = 2;
  for (int k = 1; k <= 2; ++k) {
    p.XWidth(k) = p.XSlope(k) = p.XRough(k) = p.XGW(k) = b.XInCW(k) = (k - 1) * 2000.0;
    p.Width(k) = k == 1 ? c.B0 : c.B1;
    // Strong groundwater on a gentle slope, so that its momentum term is
    // not lost against the slope in the last bits.
    p.Slope(k) = k == 1 ? 2e-4 : 5e-5;
    p.Rough(k) = k == 1 ? 0.03 : 0.045;
    p.GWUpw(k) = k == 1 ? 0.3 : -0.1;
    b.hInCW(k) = 1.0;
    b.QInCW(k) = 5.0;
  }
  build_grid(*m);
  locate_observations(*m);
  map_tables(*m);
  initial_state(*m);

  std::uniform_real_distribution<double> depth(0.05, 3.0), discharge(-2.0, 4.0), u01(0.0, 1.0);
  const int M = m->grid.M;
  for (int i = 1; i <= M; ++i) {
    // Uniform stretches repeat a cell exactly, or a depth one bit deeper.
    const double r = c.uniform && i > 1 ? u01(rng) : 1.0;
    m->flow.y(i) = r < 0.7 ? m->flow.y(i - 1) : depth(rng);
    m->flow.y(M + i) = r < 0.7 ? m->flow.y(M + i - 1) : discharge(rng);
    if (r < 0.3) m->flow.y(i) = std::nextafter(m->flow.y(i), 10.0);
    if (c.shallow && i % 7 == 3) {
      m->flow.y(i) = 1e-9 * (1.0 + u01(rng));
      m->flow.y(M + i) = 1e-10 * (u01(rng) - 0.5);
    }
    if (c.shallow && i == M / 2) m->flow.y(i) = m->flow.y(M + i) = 0.0;
  }
  Boundary& bc = m->bnd;
  bc.NB0 = c.NB0;
  bc.NBL = c.NBL;
  bc.q0 = discharge(rng);
  bc.h0 = depth(rng);
  bc.hU = depth(rng);
  bc.Fr0 = u01(rng) < 0.5 ? 0.4 : 1.6;
  return m;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Every derivative and every array the right-hand side leaves in the model.
void expect_identical(const Model& want, const Model& got, const Array<double>& dwant,
                      const Array<double>& dgot, int n, const std::string& what) {
  const int M = n / 2;
  int bad = 0;
  for (int i = 1; i <= n && bad < 5; ++i)
    if (!same_bits(dwant(i), dgot(i))) {
      ADD_FAILURE() << what << ": dydx(" << i << ") " << dwant(i) << " vs " << dgot(i);
      ++bad;
    }
  const Flow& a = want.flow;
  const Flow& b = got.flow;
  const std::pair<const Array<double>*, const Array<double>*> cells[] = {
      {&a.h, &b.h},   {&a.q, &b.q},   {&a.u, &b.u},   {&a.hl, &b.hl}, {&a.hr, &b.hr},
      {&a.ql, &b.ql}, {&a.qr, &b.qr}, {&a.ul, &b.ul}, {&a.ur, &b.ur}, {&a.Sh, &b.Sh},
      {&a.Sq, &b.Sq}};
  for (const auto& [x, z] : cells)
    for (int i = 1; i <= M && bad < 10; ++i)
      if (!same_bits((*x)(i), (*z)(i))) {
        ADD_FAILURE() << what << ": a cell array differs in cell " << i;
        ++bad;
      }
  const std::pair<const Array<double>*, const Array<double>*> faces[] = {
      {&a.ap, &b.ap}, {&a.am, &b.am}, {&a.Fh, &b.Fh}, {&a.Fq, &b.Fq}};
  for (const auto& [x, z] : faces)
    for (int j = 0; j <= M && bad < 15; ++j)
      if (!same_bits((*x)(j), (*z)(j))) {
        ADD_FAILURE() << what << ": a face array differs at face " << j;
        ++bad;
      }
}

TEST(RhsIdentity, VaryingStatesAgreeBitForBitWithThePlainEvaluation) {
  std::mt19937 rng(20240611);
  std::vector<Case> cases;
  for (int Nfdn : {3, 4, 66, 129, 130, 301, 1001})
    for (int ends = 0; ends < 4; ++ends)
      cases.push_back({Nfdn, 5.0, 15.0, ends & 1, ends >> 1, Nfdn % 2 == 1, Nfdn % 3 == 0});
  cases.push_back({1001, 20.0, 20.0, 1, 1, false, true});   // constant width
  cases.push_back({257, 20.0, 20.0, 0, 0, true, false});    // constant width, shallow
  cases.push_back({513, 20.0, 20.0, 1, 0, false, false});
  cases.push_back({200, 12.0, 3.0, 1, 1, true, true});      // narrowing
  int k = 0;
  for (const Case& c : cases) {
    for (int variant = 0; variant < 5; ++variant) {
      // One to three threads on the widest vectors, the baseline instructions
      // on one, and AVX2 (the AVX2 power path) on two.
      const int threads = variant < 3 ? variant + 1 : variant == 3 ? 1 : 2;
      const std::string what = "case " + std::to_string(k) + ", variant " + std::to_string(variant);
      std::mt19937 copy = rng;
      auto want = reach(c, copy);
      auto got = std::make_unique<Model>(*want);
      got->settings.avx2 = variant != 3;
      if (variant == 4) got->settings.pow_path = PowPath::avx2;
      const int n = want->grid.n;
      Array<double> dwant(1, want->grid.n), dgot(1, want->grid.n);
      plain_rhs(*want, want->flow.y, dwant, n);
      Team team(threads);
      got->team = threads > 1 ? &team : nullptr;
      // Twice: the second evaluation starts from the first one's leftovers.
      saint_venant_rhs(rhs_view(*got), got->flow.y, dgot, n);
      saint_venant_rhs(rhs_view(*got), got->flow.y, dgot, n);
      expect_identical(*want, *got, dwant, dgot, n, what);
    }
    rng.discard(7);
    ++k;
  }
}

TEST(RhsIdentity, NonFiniteStatesAgreeWithThePlainEvaluation) {
  // A non-finite state must stay non-finite in the same entries.
  std::mt19937 rng(7);
  const double inf = std::numeric_limits<double>::infinity();
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e300}) {
    for (const double width : {10.0, 30.0}) {
      auto want = reach({101, 10.0, width, 1, 1, false, true}, rng);
      const int M = want->grid.M;
      want->flow.y(40) = bad;
      want->flow.y(M + 70) = bad;
      for (const PowPath path : {PowPath::avx512_gather, PowPath::avx2, PowPath::scalar}) {
        auto got = std::make_unique<Model>(*want);
        got->settings.avx2 = path != PowPath::scalar;  // the widest vectors, AVX2, the baseline
        got->settings.pow_path = path;
        Array<double> dwant(1, want->grid.n), dgot(1, want->grid.n);
        plain_rhs(*want, want->flow.y, dwant, want->grid.n);
        saint_venant_rhs(rhs_view(*got), got->flow.y, dgot, got->grid.n);
        expect_identical(*want, *got, dwant, dgot, want->grid.n, "state " + std::to_string(bad));
      }
    }
  }
}

TEST(RhsTeam, EveryTaskRunsExactlyOnceWhateverTheThreadCount) {
  for (int threads : {1, 2, 4}) {
    Team team(threads);
    std::vector<std::atomic<int>> runs(300);
    struct Context {
      std::vector<std::atomic<int>>* runs;
    } context{&runs};
    auto task = [](void* c, int t) { (*static_cast<Context*>(c)->runs)[t].fetch_add(1); };
    // Many short evaluations in a row, of varying size.
    for (int round = 0; round < 2000; ++round) {
      const int tasks = 1 + (round * 37) % 300;
      for (int t = 0; t < tasks; ++t) runs[t] = 0;
      team.run(tasks, task, &context);
      for (int t = 0; t < tasks; ++t) ASSERT_EQ(runs[t].load(), 1) << threads << " threads";
    }
  }
}

// ---------------------------------------------------------------------------
// Whole runs of the program.

RunResult run_with_threads(const Reach& r, const char* threads) {
  const char* outer = std::getenv("QUARNO_THREADS");
  const std::string kept = outer ? outer : "";
  setenv("QUARNO_THREADS", threads, 1);
  RunResult result = run_deck(param_text(r), bicond_text(r));
  if (outer) setenv("QUARNO_THREADS", kept.c_str(), 1);
  else unsetenv("QUARNO_THREADS");
  return result;
}

TEST(RunsWithThreads, OneTwoAndThreeThreadsWriteTheSameBytes) {
  // A flood wave with transport down a widening reach, then one that runs dry
  // behind a wall: every flux, source and boundary path, several blocks.
  Reach wave = flowing_channel(301, 3000.0, 0.8);
  wave.NTr = 1;
  wave.width0 = 8.0;
  wave.width1 = 14.0;
  wave.gw = 1e-5;
  wave.cgw = 2.0;
  wave.aL = 3.0;
  wave.Alfa = 1e-4;
  wave.Kdw = 1e-5;
  wave.schedule = {{200.0, 0.8, 10.0, 0.0}, {500.0, 1.2, 30.0, 50.0}, {900.0, 0.8, 10.0, 0.0}};
  wave.tout = {300.0, 900.0};
  wave.xobs = {0.0, 1500.0, 3000.0};
  Reach draining = flowing_channel(150, 1500.0, 0.5);
  draining.NB0 = 0;
  draining.Q = 0.0;
  draining.slope = 0.004;
  draining.schedule = {{600.0, 0.5, 0.0, 0.0}};
  draining.tout = {600.0};
  draining.xobs = {750.0};
  for (const Reach& r : {wave, draining}) {
    const RunResult one = run_with_threads(r, "1");
    ASSERT_EQ(one.status, 0) << one.errors;
    ASSERT_GT(one.results.size(), 1000u);
    for (const char* threads : {"2", "3"}) {
      const RunResult more = run_with_threads(r, threads);
      EXPECT_EQ(more.status, 0) << more.errors;
      EXPECT_TRUE(more.results == one.results) << threads << " threads: crOutput.txt differs";
      EXPECT_TRUE(more.obs == one.obs) << threads << " threads: crObsNode.txt differs";
      EXPECT_TRUE(more.console == one.console) << threads << " threads: the console differs";
    }
  }
}

TEST(RunsWithThreads, ABadThreadCountIsBadInput) {
  const Reach r = flowing_channel(11, 100.0, 1.0);
  for (const char* bad : {"0", "two", "17", "-1", "2x"}) {
    const RunResult run = run_with_threads(r, bad);
    EXPECT_EQ(run.status, 1) << bad;
    EXPECT_NE(run.errors.find("QUARNO_THREADS must be a whole number from 1 to 16"),
              std::string::npos)
        << bad << ": " << run.errors;
  }
}

// ---------------------------------------------------------------------------
// Long reaches: the loops of a step over the state vector are shared too.

// A trial whose error estimate is 125 h/336 * v(i) (the sixth stage
// derivative is v, the others 0), its norm over the scales `scale`, taken
// with the team and without; the norm, the result and the error estimate
// must agree bit for bit, also where the estimate or its ratio is not a
// number. Pieces hold 1024 entries.
TEST(SharedStep, TheErrorNormIsTheOrderedNormWhateverTheThreadCountNaNsIncluded) {
  const int n = 20000;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    std::vector<std::pair<int, double>> v;      // entries of v set, in order
    std::vector<std::pair<int, double>> scale;  // entries of the scale set
  };
  const std::vector<Case> cases = {
      {"finite", {{7000, 50.0}}, {}},
      {"first not a number", {{1, nan}}, {}},
      {"last not a number", {{n, nan}}, {}},
      {"not a number ending a piece", {{1024, nan}}, {}},
      {"not a number starting a piece", {{3, 90.0}, {1025, nan}}, {}},
      // The largest lies before a piece's not-a-number that is followed by
      // smaller ratios in the same piece: the norm is theirs.
      {"larger before, inside a piece", {{10, 90.0}, {1500, nan}}, {}},
      {"two, the larger between", {{1500, nan}, {18000, 90.0}, {19000, nan}}, {}},
      {"0/0 and an infinite ratio", {{2000, 0.0}, {5000, 3.0}}, {{2000, 0.0}, {5000, 0.0}}},
      {"infinite estimate", {{3000, inf}, {3001, -inf}}, {}},
  };
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto array = [n] { return Array<double>(1, n); };
  for (const Case& c : cases) {
    Array<double> v = array(), scale = array();
    for (int i = 1; i <= n; ++i) {
      v(i) = unit(gen);
      scale(i) = 0.5 + unit(gen);
    }
    for (const auto& [i, x] : c.v) v(i) = x;
    for (const auto& [i, x] : c.scale) scale(i) = x;
    struct Trial {
      double norm;
      std::vector<double> y, err;
    };
    auto trial = [&](Team* team) {
      StepScratch s;
      for (Array<double>* a : {&s.y0, &s.k1, &s.yt, &s.k2, &s.k3, &s.k4, &s.k5, &s.k6, &s.err})
        a->resize(1, n);
      const RkWork w = rk_work(s, team);
      Array<double> y = array(), dydx = array();
      for (int i = 1; i <= n; ++i) y(i) = 1.0 + i;
      rk_start(w, y, dydx, n);
      int stage = 0;
      auto staged = [&](double, const Array<double>&, Array<double>& k, int m) {
        const bool last = ++stage == 5;
        for (int i = 1; i <= m; ++i) k(i) = last ? v(i) : 0.0;
      };
      Trial r;
      r.norm = rk_trial(w, y, n, 0.0, 0.5, scale, 1e-4, staged);
      r.y.assign(y.data(), y.data() + n);
      r.err.assign(s.err.data(), s.err.data() + n);
      return r;
    };
    const Trial alone = trial(nullptr);
    for (int threads : {2, 3}) {
      Team team(threads);
      for (int round = 0; round < 3; ++round) {
        const Trial shared = trial(&team);
        EXPECT_EQ(std::memcmp(&shared.norm, &alone.norm, sizeof(double)), 0)
            << c.name << ", " << threads << " threads: " << shared.norm << " against "
            << alone.norm;
        EXPECT_TRUE(std::memcmp(shared.y.data(), alone.y.data(), n * sizeof(double)) == 0 &&
                    std::memcmp(shared.err.data(), alone.err.data(), n * sizeof(double)) == 0)
            << c.name << ", " << threads << " threads";
      }
    }
  }
}

// Reaches long enough that the step's loops are shared: a flood wave with
// transport runs to its end, a losing reach that empties fails; with one,
// two and three threads they end with the same status and messages and
// write the same files.
TEST(RunsWithThreads, LongReachesWriteTheSameBytesAndFailTheSameWay) {
  Reach wave = flowing_channel(8201, 8200.0, 0.8);
  wave.NTr = 1;
  wave.gw = 1e-5;
  wave.cgw = 2.0;
  wave.aL = 3.0;
  wave.schedule = {{4.0, 0.8, 10.0, 0.0}, {10.0, 1.2, 30.0, 50.0}};
  wave.tout = {5.0, 10.0};
  wave.xobs = {0.0, 4100.0, 8200.0};
  Reach losing = wave;
  losing.NTr = 0;
  losing.NB0 = losing.NBL = 0;
  losing.slope = 0.0;
  losing.Q = 0.0;
  losing.gw = -0.004;
  losing.h0 = losing.h1 = 0.02;
  losing.schedule = {{200.0, 0.02, 0.0, 0.0}};
  losing.tout = {5.0, 200.0};
  struct Case {
    Reach reach;
    int status;
  };
  for (const Case& c : {Case{wave, 0}, Case{losing, 2}}) {
    auto run = [&c](const char* threads) {
      return run_deck_with(std::string("--lift-capacities --threads ") + threads,
                           param_text(c.reach), bicond_text(c.reach));
    };
    const RunResult one = run("1");
    ASSERT_EQ(one.status, c.status) << one.errors;
    ASSERT_GT(one.results.size(), 1000u);
    if (c.status == 2) {
      EXPECT_EQ(one.errors.rfind("The flow solution became non-finite at t = ", 0), 0u)
          << one.errors;
    }
    for (const char* threads : {"2", "3"}) {
      const RunResult more = run(threads);
      EXPECT_EQ(more.status, c.status) << threads << " threads";
      EXPECT_EQ(more.errors, one.errors) << threads << " threads";
      EXPECT_TRUE(more.results == one.results) << threads << " threads: crOutput.txt differs";
      EXPECT_TRUE(more.obs == one.obs) << threads << " threads: crObsNode.txt differs";
      EXPECT_TRUE(more.console == one.console) << threads << " threads: the console differs";
    }
  }
}

}  // namespace
}  // namespace quarno::test
