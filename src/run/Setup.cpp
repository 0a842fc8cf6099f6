#include "run/Setup.hpp"

#include <cmath>
#include <string>

#include "input/TableMap.hpp"
#include "model/Columns.hpp"
#include "model/Errors.hpp"
#include "model/Sizing.hpp"

namespace quarno {

void build_grid(Model& m) {
  size_grid_arrays(m);
  Grid& gr = m.grid;
  const int Nfdn = m.run.Nfdn;
  gr.M = Nfdn - 1;
  gr.dx = m.run.L / static_cast<double>(gr.M);
  gr.n = 2 * gr.M;
  const int M = gr.M;
  const double dx = gr.dx;

  // Repeated addition, so X(Nfdn) may differ from L in the last bits.
  gr.X(1) = 0.0;
  for (int i = 2; i <= Nfdn; ++i) gr.X(i) = gr.X(i - 1) + dx;
  for (int i = 1; i <= M; ++i) {
    gr.Xc(i) = gr.X(i) + dx * 0.5;
    gr.Xl(i) = gr.X(i);
    gr.Xr(i) = gr.X(i + 1);
  }
  gr.dXN(1) = 0.0;
  gr.dXN(Nfdn + 1) = 0.0;
  for (int i = 2; i <= Nfdn; ++i) gr.dXN(i) = gr.X(i) - gr.X(i - 1);
  for (int i = 1; i <= M; ++i) gr.VN(i) = (gr.dXN(i) + gr.dXN(i + 1)) * 0.5;
  gr.VN(Nfdn) = gr.dXN(Nfdn) * 0.5;
}

void locate_observations(Model& m) {
  Grid& gr = m.grid;
  const int M = gr.M;
  const int Nfdn = m.run.Nfdn;
  for (int j = 1; j <= m.bic.Nobs; ++j) {
    const double xo = m.bic.XObs(j);

    // Preceding cell centre (strictly before xo). Positions at or before the
    // first centre use cell 1 at distance 0.
    int k = 1;
    if (xo > gr.Xc(1))
      while (k <= M && xo > gr.Xc(k)) ++k;
    if (k - 1 < 1) {
      gr.kObsC(j) = 1;
      gr.dObsC(j) = 0.0;
    } else {
      gr.kObsC(j) = k - 1;
      gr.dObsC(j) = xo - gr.Xc(k - 1);
    }

    // Preceding node (strictly before xo). X = 0 uses node 1 at distance 0;
    // a position beyond the accumulated last node uses the last interval.
    k = 1;
    if (xo > gr.X(1))
      while (k <= Nfdn && xo > gr.X(k)) ++k;
    if (k - 1 < 1) {
      gr.kObsN(j) = 1;
      gr.dObsN(j) = 0.0;
    } else if (k > Nfdn) {
      gr.kObsN(j) = Nfdn - 1;
      gr.dObsN(j) = gr.dx;
    } else {
      gr.kObsN(j) = k - 1;
      gr.dObsN(j) = xo - gr.X(k - 1);
    }
  }
}

void map_tables(Model& m) {
  for (const columns::Column& c : columns::kColumns) {
    const columns::Table& t = columns::kTables[c.table];
    if (c.rule == columns::Rule::None || (t.transport && m.run.NTr <= 0)) continue;
    map_table(columns::values(m, c), columns::positions(m, t), m.nodes.*c.node, m.grid.X,
              columns::rows(m, t), m.run.Nfdn, static_cast<int>(c.rule));
  }
}

void check_mapped_tables(const Model& m) {
  for (const columns::Column& c : columns::kColumns) {
    const columns::Table& t = columns::kTables[c.table];
    if (!c.positive || c.node == nullptr || (t.transport && m.run.NTr <= 0)) continue;
    // The first node where the mapped table is not positive: bad input that
    // names the table, its file and the position.
    const Array<double>& mapped = m.nodes.*c.node;
    for (int k = 1; k <= m.run.Nfdn; ++k) {
      if (!(mapped(k) > 0.0))
        throw InputError(std::string(t.file) + ": the " + c.name +
                         " table mapped onto the grid must be positive everywhere, but gives " +
                         show_number(mapped(k)) + " at X = " + show_number(m.grid.X(k)) + " m");
    }
  }
}

void initial_state(Model& m) {
  Grid& gr = m.grid;
  const NodeFields& nf = m.nodes;
  Flow& fl = m.flow;
  const int M = gr.M;
  const double dx = gr.dx;
  // Manning velocity at the floor depth: 1e-5 to the power 0.667 (single).
  constexpr double kDryVelocityFactor = 0.000462381044244636;

  for (int i = 1; i <= M; ++i) {
    gr.B(i) = (nf.WidthN(i) + nf.WidthN(i + 1)) * 0.5;
    gr.dBdx(i) = (nf.WidthN(i + 1) - nf.WidthN(i)) / dx;
    gr.S(i) = nf.SlopeN(i);
    gr.RoughC(i) = nf.RoughN(i);

    fl.q(i) = ((nf.QN(i) + nf.QN(i + 1)) * 0.5) / gr.B(i);
    const double hc = (nf.hN(i) + nf.hN(i + 1)) * 0.5;
    if (hc > kDryDepth) {
      fl.h(i) = hc;
      fl.u(i) = fl.q(i) / hc;
    } else {  // a dry cell keeps the floor depth and its Manning velocity
      fl.h(i) = kDryDepth;
      fl.u(i) = gr.RoughC(i) == 0.0
                    ? 0.0
                    : kDryVelocityFactor * std::sqrt(std::fabs(gr.S(i))) / gr.RoughC(i);
    }
    fl.y(i) = fl.h(i);
    fl.y(M + i) = fl.q(i);
  }

  // Node flow areas before the first step, from the initial node depths.
  for (int k = 1; k <= m.run.Nfdn; ++k) m.tr.An(k) = nf.hN(k) * nf.WidthN(k);

  if (m.run.NTr > 0) {
    for (int k = 1; k <= m.run.Nfdn; ++k) {
      m.tr.CsN(k) = nf.CN(k);
      m.tr.TResC(k) = 0.0;
      m.tr.TDepC(k) = 0.0;
    }
  }
}

}  // namespace quarno
