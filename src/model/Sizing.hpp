// Sizing the model's arrays from the deck's own counts, once, at set-up.
// Nothing is allocated after this; the time loop only indexes.
#pragma once

#include <climits>
#include <initializer_list>

#include "model/Model.hpp"

namespace quarno {

// The largest node count a deck may ask for: a million cells. A run keeps
// about 1,040 bytes per node (peak resident memory, measured), so the
// largest grid takes about 1 GB.
constexpr int kNodeLimit = 1000001;

// The largest counts a deck may give. A plain run keeps the standard
// capacities and refuses decks past them; with the capacities lifted the
// node count is bounded by kNodeLimit and every table by what the rest of its
// file can hold.
struct Capacities {
  int nodes, segment_rows, initial_rows, schedule_rows, output_times, observations;
  bool lifted;  // tables are bounded by their file, not by a count
};
inline constexpr Capacities kStandardCapacities{1001, 100, 1000, 1000, 100, 10, false};
inline constexpr Capacities kLiftedCapacities{kNodeLimit, INT_MAX, INT_MAX, INT_MAX, INT_MAX,
                                              INT_MAX, true};
inline const Capacities& capacities(const RunSettings& s) {
  return s.lift_capacities ? kLiftedCapacities : kStandardCapacities;
}

namespace detail {
inline void resize_all(std::initializer_list<Array<double>*> arrays, int lo, int hi) {
  for (Array<double>* a : arrays) a->resize(lo, hi);
}
}  // namespace detail

// Every node, cell and state-vector array, from m.run.Nfdn; the observation
// lookup and the record values from m.bic.Nobs.
inline void size_grid_arrays(Model& m) {
  using detail::resize_all;
  const int N = m.run.Nfdn, M = N - 1, n = 2 * M, Nobs = m.bic.Nobs;
  Grid& gr = m.grid;
  resize_all({&gr.X, &gr.VN}, 1, N);
  gr.dXN.resize(1, N + 1);
  resize_all({&gr.Xc, &gr.Xl, &gr.Xr, &gr.B, &gr.dBdx, &gr.S, &gr.RoughC}, 1, M);
  gr.kObsC.resize(1, Nobs);
  gr.kObsN.resize(1, Nobs);
  resize_all({&gr.dObsC, &gr.dObsN}, 1, Nobs);

  NodeFields& nf = m.nodes;
  resize_all({&nf.WidthN, &nf.SlopeN, &nf.RoughN, &nf.GWUpwN, &nf.CGWN, &nf.hN, &nf.QN, &nf.aLN,
              &nf.ReN, &nf.TauCRN, &nf.fN, &nf.VsN, &nf.AlfaN, &nf.KdwN, &nf.KdsN, &nf.HbN,
              &nf.RbN, &nf.CN, &nf.CbN},
             1, N);

  Flow& f = m.flow;
  f.y.resize(1, n);
  resize_all({&f.h, &f.q, &f.Q, &f.u, &f.A, &f.hl, &f.hr, &f.ql, &f.qr, &f.ul, &f.ur, &f.Sh,
              &f.Sq},
             1, M);
  resize_all({&f.ap, &f.am, &f.Fh, &f.Fq}, 0, M);

  RhsScratch& s = m.rhs;
  // The last block may hold fewer cells than a block's room.
  resize_all({&s.R, &s.N, &s.T}, 1, kQuadPoints * (M + kRhsBlockMax - 1));

  StepScratch& st = m.step;
  resize_all({&st.ywork, &st.dydx, &st.yscale, &st.y0, &st.k1, &st.yt, &st.k2, &st.k3, &st.k4,
              &st.k5, &st.k6, &st.err},
             1, n);

  Transport& t = m.tr;
  resize_all({&t.CsN, &t.TResC, &t.TDepC, &t.hn, &t.un, &t.An, &t.An_old, &t.E, &t.P, &t.alb,
              &t.beb, &t.als, &t.bes, &t.Dw, &t.Dg, &t.De, &t.R, &t.a, &t.b, &t.r, &t.C, &t.tau, &t.resus,
              &t.settle, &t.exchange},
             1, N);
  resize_all({&t.DA, &t.Cf}, 1, M);

  resize_all({&m.means.C, &m.means.Cb, &m.means.Cs}, 1, M);
  m.steady.y_before.resize(1, n);
  m.observed.v.resize(1, kObservedValues * Nobs);
}

}  // namespace quarno
