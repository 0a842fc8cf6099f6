// Cost of one evaluation of the flow right-hand side on the largest grid
// (1000 cells), beside the cost of its ten Manning powers per cell alone (the
// floor of the evaluation). All report the time per cell. The reach widens
// (first argument 0) or keeps its width (1, as the bench deck); the second
// argument (the only one of the powers alone) is the path of the Manning
// powers: 0 the platform's pow, 1 AVX2, 2 AVX-512, 3 AVX-512 with gathers (the
// right-hand side runs on AVX-512 with 2 and 3). The team variant shares
// the cells between two threads.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "model/Columns.hpp"
#include "model/Model.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "solver/ManningPower.hpp"
#include "solver/SaintVenant.hpp"
#include "parallel/Team.hpp"

namespace {

using namespace quarno;

constexpr int kCells = 1000;

// A 10 km reach widening from 8 to 12 m, with a flood wave travelling over a
// base flow, groundwater upwelling, a flux inlet and a free outlet.
std::unique_ptr<Model> flowing_reach(bool widening) {
  auto m = std::make_unique<Model>();
  const double L = 10000;
  m->run.L = L;
  m->run.Nfdn = kCells + 1;
  ParamTables& p = m->par;
  BicondTables& b = m->bic;
  columns::size_tables(*m, 2);
  p.NWidth = p.NSlope = p.NRough = p.NGW = b.NInCW = 2;
  for (int k = 1; k <= 2; ++k) {
    const double x = (k - 1) * L;
    p.XWidth(k) = p.XSlope(k) = p.XRough(k) = p.XGW(k) = b.XInCW(k) = x;
    p.Width(k) = !widening ? 10.0 : k == 1 ? 8.0 : 12.0;
    p.Slope(k) = 0.001;
    p.Rough(k) = 0.035;
    p.GWUpw(k) = 1e-5;
    b.hInCW(k) = 0.8;
    b.QInCW(k) = 6.0;
  }
  build_grid(*m);
  locate_observations(*m);
  map_tables(*m);
  initial_state(*m);

  const int M = m->grid.M;
  for (int i = 1; i <= M; ++i) {
    const double s = (m->grid.Xc(i) - 3000.0) / 600.0;
    const double bump = std::exp(-s * s);
    m->flow.y(i) = 0.8 + 0.5 * bump;
    m->flow.y(M + i) = (6.0 + 10.0 * bump) / m->grid.B(i);
  }
  Boundary& bc = m->bnd;
  bc.NB0 = 1;
  bc.NBL = 1;
  bc.q0 = 6.0 / 8.0;
  bc.h0 = bc.hU = 0.8;
  bc.u0 = bc.q0 / bc.hU;
  bc.Fr0 = bc.u0 / std::sqrt(g * bc.hU);
  return m;
}

// Times evaluations of the right-hand side on the reach, per cell.
void time_rhs(benchmark::State& state, Model& m) {
  Array<double> dydx(1, m.grid.n);
  const int n = m.grid.n;
  const RhsView flow = rhs_view(m);
  for (auto _ : state) {
    saint_venant_rhs(flow, m.flow.y, dydx, n);
    benchmark::DoNotOptimize(dydx.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_cell"] = benchmark::Counter(
      kCells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// False, after marking the benchmark skipped, when the processor lacks the path.
bool use_path(benchmark::State& state, Model& m, int arg) {
  const auto path = static_cast<PowPath>(arg);
  if (!pow_path_available(path)) {
    state.SkipWithError("this processor does not have the path");
    return false;
  }
  m.settings.pow_path = path;
  return true;
}

void BM_SaintVenantRhs(benchmark::State& state) {
  auto m = flowing_reach(state.range(0) == 0);
  if (use_path(state, *m, static_cast<int>(state.range(1)))) time_rhs(state, *m);
}
BENCHMARK(BM_SaintVenantRhs)->ArgsProduct({{0, 1}, {0, 1, 2, 3}});

void BM_SaintVenantRhsTwoThreads(benchmark::State& state) {
  auto m = flowing_reach(state.range(0) == 0);
  if (!use_path(state, *m, static_cast<int>(best_pow_path()))) return;
  Team team(2);
  m->team = &team;
  time_rhs(state, *m);
  m->team = nullptr;
}
BENCHMARK(BM_SaintVenantRhsTwoThreads)->Arg(0)->Arg(1)->UseRealTime();

// The ten hydraulic radii per cell raised to the Manning exponent, over the
// same range of radii as the flowing reach, on the path of the argument
// (the copy of the radii into the working array included).
void BM_ManningPow(benchmark::State& state) {
  const auto path = static_cast<PowPath>(state.range(0));
  if (!pow_path_available(path)) {
    state.SkipWithError("this processor does not have the path");
    return;
  }
  std::vector<double> R(static_cast<std::size_t>(kCells) * 10), work(R.size());
  for (std::size_t k = 0; k < R.size(); ++k) R[k] = 0.6 + 0.5 * static_cast<double>(k) / R.size();
  for (auto _ : state) {
    work = R;
    manning_powers_on(path, work.data(), static_cast<int>(work.size()));
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_cell"] = benchmark::Counter(
      kCells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ManningPow)->Arg(0)->Arg(1)->Arg(2)->Arg(3);

}  // namespace

BENCHMARK_MAIN();
