#include "solver/TransportStep.hpp"

#include <algorithm>
#include <cmath>

namespace quarno {

namespace {

// The bed shear stress from the node velocity by a quadratic drag law,
// tau = 3 un^2 (N/m2). The model fixes the coefficient at 3.0; it reads as
// water's density times a bed drag coefficient, 1000 kg/m3 x 0.003.
constexpr double kShearCoeff = 3.0;
// Settling deposits only below this fraction of the critical shear stress:
// the deposition factor falls from 1 in still water to 0 at 0.8 TauCR, and
// between 0.8 TauCR and TauCR neither deposition nor resuspension acts.
constexpr double kDepositionFactor = 0.800000011920929;  // 0.8 in single precision
// Added to the dispersion coefficient aL |u| (m2/s), so that still water
// keeps a positive conductance between its nodes.
constexpr double kDispersionFloor = 1e-8;
// An eliminated row whose scaled pivot |a| is not above this is treated as
// having none.
constexpr double kPivot = 9.99999983775159e-18;     // 1e-17 in single precision

// Value at xf of the quadratic through three points, in Lagrange form, each
// term a product taken left to right, the terms summed in order.
inline double quadratic(double xf, double x1, double c1, double x2, double c2, double x3,
                        double c3) {
  return ((c1 * (xf - x2)) * (xf - x3)) / ((x1 - x2) * (x1 - x3)) +
         ((c2 * (xf - x1)) * (xf - x3)) / ((x2 - x1) * (x2 - x3)) +
         ((c3 * (xf - x1)) * (xf - x2)) / ((x3 - x1) * (x3 - x2));
}

inline void scale(double& a, double& b, double& r) {
  const double big = std::max(std::fabs(a), std::max(std::fabs(b), std::fabs(r)));
  a /= big;
  b /= big;
  r /= big;
}

}  // namespace

void node_hydraulics(const NodeHydraulicsView& v) {
  Array<double>& hn = v.hn;
  Array<double>& un = v.un;
  Array<double>& An = v.An;
  const Array<double>& WidthN = v.WidthN;
  const int Nfdn = v.N;
  const int M = v.M;
  hn(1) = v.hl(1);
  un(1) = v.qX0 / v.hl(1);
  An(1) = hn(1) * WidthN(1);
  for (int k = 2; k <= Nfdn - 1; ++k) {
    hn(k) = (v.h(k - 1) + v.h(k)) * 0.5;
    un(k) = (v.u(k - 1) + v.u(k)) * 0.5;
    An(k) = hn(k) * WidthN(k);
  }
  hn(Nfdn) = v.h(M);
  un(Nfdn) = v.u(M);
  An(Nfdn) = hn(Nfdn) * WidthN(Nfdn);
}

void solve_scaled(const TridiagonalRows& s, int N, double C0) {
  Array<double>& a = s.a;
  Array<double>& b = s.b;
  Array<double>& r = s.r;
  Array<double>& C = s.C;
  const Array<double>& Dw = s.Dw;
  const Array<double>& Dg = s.Dg;
  const Array<double>& De = s.De;
  const Array<double>& R = s.R;

  a(1) = 1.0;
  b(1) = 0.0;
  r(1) = C0;
  scale(a(1), b(1), r(1));
  for (int k = 2; k <= N - 1; ++k) {
    const double ap = a(k - 1), bp = b(k - 1), rp = r(k - 1);
    if (std::fabs(ap) - kPivot > 0) {
      a(k) = Dg(k) * ap - bp * Dw(k);
      b(k) = De(k) * ap;
      r(k) = Dw(k) * rp + R(k) * ap;
    } else {  // vanishing pivot: the previous row fixes C(k)
      a(k) = bp;
      b(k) = 0.0;
      r(k) = -rp;
    }
    scale(a(k), b(k), r(k));
  }

  // The last two rows together.
  {
    const double det = Dg(N) * a(N - 1) - b(N - 1) * Dw(N);
    C(N - 1) = (Dg(N) * r(N - 1) + b(N - 1) * R(N)) / det;
    C(N) = (a(N - 1) * R(N) + r(N - 1) * Dw(N)) / det;
  }

  int k = N - 2;
  while (k >= 1) {
    if (std::fabs(a(k)) - kPivot <= 0) {
      // No pivot in row k: take C(k) from the original row k+1.
      C(k) = (Dg(k + 1) * C(k + 1) - De(k + 1) * C(k + 2) - R(k + 1)) / Dw(k + 1);
      --k;
    } else if (std::fabs(b(k)) <= std::fabs(a(k))) {
      C(k) = (b(k) * C(k + 1) + r(k)) / a(k);
      --k;
    } else {
      // Rows whose b outweighs a are solved upwards from the first row below
      // them that does not: compose C(j+1) = (a(j) C(j) - r(j)) / b(j) over
      // the run j0..k into C(k+1) = p C(j0) + s.
      int j0 = k;
      while (j0 > 1 && std::fabs(a(j0 - 1)) < std::fabs(b(j0 - 1))) --j0;
      double p = 1.0, s = 0.0;
      for (int j = j0; j <= k; ++j) {
        p = p * a(j) / b(j);
        s = (a(j) * s - r(j)) / b(j);
      }
      C(j0) = (C(k + 1) - s) / p;
      for (int j = j0; j <= k - 1; ++j) C(j + 1) = (a(j) * C(j) - r(j)) / b(j);
      k = j0 - 1;
    }
  }
}

namespace {

// Shear stress, resuspension rate E and deposition factor P of every node;
// the resuspended and deposited totals grow by this step's amounts, from the
// pre-step concentrations.
void exchange_rates(const TransportView& v, double dt) {
  const TransportParams& p = v.par;
  const TransportState& st = v.state;
  const TransportWork& w = v.work;
  for (int k = 1; k <= v.reach.N; ++k) {
    const double tau = kShearCoeff * v.flow.un(k) * v.flow.un(k);
    w.E(k) = p.TauCRN(k) > tau ? 0.0 : (tau / p.TauCRN(k) - 1) * p.ReN(k);
    w.P(k) = kDepositionFactor * p.TauCRN(k) > tau
                 ? 1 - tau / (kDepositionFactor * p.TauCRN(k))
                 : 0.0;
    st.TResC(k) += w.E(k) * dt * st.CbN(k);
    st.TDepC(k) += w.P(k) * dt * p.VsN(k) * st.CN(k);
    v.fluxes.tau(k) = tau;
    v.fluxes.resus(k) = w.E(k) * st.CbN(k);
    v.fluxes.settle(k) = w.P(k) * p.VsN(k) * st.CN(k);
  }
}

// Value at the face xf of cell i of the quadratic through three upwind
// nodes, chosen by the direction of the flow; ghost points beyond either end
// carry the inlet concentration C0 or the last node's.
double upwind_quadratic(const TransportView& v, int i, double xf, double C0) {
  const Array<double>& X = v.reach.X;
  const Array<double>& dXN = v.reach.dXN;
  const Array<double>& CN = v.state.CN;
  const int N = v.reach.N;
  const int M = N - 1;
  if (v.flow.Q(i) >= 0) {  // upwind points upstream
    if (i >= 3) return quadratic(xf, X(i - 2), CN(i - 2), X(i - 1), CN(i - 1), X(i), CN(i));
    if (i == 2) return quadratic(xf, X(1) - dXN(2), C0, X(1), CN(1), X(2), CN(2));
    return quadratic(xf, X(1) - 2 * dXN(2), C0, X(1) - dXN(2), C0, X(1), CN(1));
  }
  // upwind points downstream
  if (i <= M - 2)
    return quadratic(xf, X(i + 1), CN(i + 1), X(i + 2), CN(i + 2), X(i + 3), CN(i + 3));
  if (i == M - 1) return quadratic(xf, X(i + 1), CN(i + 1), X(N), CN(N), X(N) + dXN(N), CN(N));
  return quadratic(xf, X(N), CN(N), X(N) + dXN(N), CN(N), X(N) + 2 * dXN(N), CN(N));
}

// Dispersive conductance DA and advective face value Cf of every cell. The
// dispersion uses the magnitude of the cell velocity, so it stays positive
// where the flow runs upstream. A face value is held within the range of the
// two nodes the face separates.
void face_values(const TransportView& v, double C0) {
  const TransportReach& g = v.reach;
  const TransportFlow& f = v.flow;
  const Array<double>& CN = v.state.CN;
  const TransportWork& w = v.work;
  for (int i = 1; i <= g.N - 1; ++i) {
    w.DA(i) = (v.par.aLN(i) * std::fabs(f.u(i)) + kDispersionFloor) * f.h(i) * g.B(i);
    const double xf = g.X(i) + 0.5 * g.dXN(i + 1);  // midway to node i+1
    const double Cq = upwind_quadratic(v, i, xf, C0);
    w.Cf(i) = std::min(std::max(Cq, std::min(CN(i), CN(i + 1))), std::max(CN(i), CN(i + 1)));
  }
}

// Bed and storage eliminated node by node: the backward-Euler step of each
// makes its new concentration linear in the new stream concentration C,
// Cb = alb C + beb and Cs = als C + bes.
void eliminate_bed_and_storage(const TransportView& v, double dt) {
  const TransportParams& p = v.par;
  const TransportFlow& f = v.flow;
  const TransportWork& w = v.work;
  for (int k = 1; k <= v.reach.N; ++k) {
    const double HbRb = p.HbN(k) * p.RbN(k);
    const double Db = (p.KdsN(k) * p.HbN(k) * p.RbN(k) + w.E(k)) * dt + HbRb;
    w.alb(k) = dt * w.P(k) * p.VsN(k) / Db;
    w.beb(k) = HbRb * v.state.CbN(k) / Db;
    const double Ds =
        (p.AlfaN(k) / p.fN(k) + p.KdwN(k) + (f.An(k) - f.An_old(k)) / (f.An(k) * dt)) * dt + 1;
    w.als(k) = (dt / p.fN(k)) * p.AlfaN(k) / Ds;
    w.bes(k) = v.state.CsN(k) / Ds;
  }
}

// Node k's sink bracket: deposition less the resuspension of what deposits,
// decay, exchange with the storage less its return, and the groundwater that
// leaves (the negative part G- of the upwelling G).
inline double sink(const TransportView& v, int k) {
  const TransportParams& p = v.par;
  const TransportWork& w = v.work;
  const double G = p.GWUpwN(k);
  const double Gminus = (G - std::fabs(G)) * 0.5;
  return (w.P(k) * p.VsN(k) - w.E(k) * w.alb(k)) * v.reach.WidthN(k) +
         (p.KdwN(k) + p.AlfaN(k) * (1 - w.als(k))) * v.flow.An(k) - Gminus;
}

// Node k's source bracket: the groundwater that enters (the positive part G+
// of G) with its concentration, resuspension and the storage's return.
inline double source(const TransportView& v, int k) {
  const TransportParams& p = v.par;
  const TransportWork& w = v.work;
  const double G = p.GWUpwN(k);
  const double Gplus = (G + std::fabs(G)) * 0.5;
  return Gplus * p.CGWN(k) + w.E(k) * w.beb(k) * v.reach.WidthN(k) +
         v.flow.An(k) * p.AlfaN(k) * w.bes(k);
}

// The brackets with the sources along the reach: their outflow joins the
// sink, their load the source.
inline double sink_with_sources(const TransportView& v, int k) {
  return sink(v, k) + v.sources.outN(k);
}
inline double source_with_sources(const TransportView& v, int k) {
  return source(v, k) + v.sources.loadN(k);
}

// Rows 2..N of the tridiagonal system for the new stream concentration.
// The last node has no advective term: advection leaves through the face of
// cell M, which enters row N-1 only. The brackets are sink and source, or
// the same with the sources along the reach.
template <double (*Sink)(const TransportView&, int), double (*Source)(const TransportView&, int)>
void assemble_rows(const TransportView& v, double dt) {
  const int N = v.reach.N;
  const Array<double>& dXN = v.reach.dXN;
  const Array<double>& VN = v.reach.VN;
  const TransportFlow& f = v.flow;
  const Array<double>& CN = v.state.CN;
  const TransportWork& w = v.work;
  const TridiagonalRows& s = v.rows;
  for (int k = 2; k <= N - 1; ++k) {
    s.Dw(k) = w.DA(k - 1) / dXN(k);
    s.De(k) = w.DA(k) / dXN(k + 1);
    s.Dg(k) = s.Dw(k) + s.De(k) + f.An(k) * VN(k) / dt + VN(k) * Sink(v, k);
    s.R(k) = VN(k) * f.An_old(k) * CN(k) / dt + VN(k) * Source(v, k) - f.Q(k) * w.Cf(k) +
             f.Q(k - 1) * w.Cf(k - 1);
  }
  s.Dw(N) = w.DA(N - 1) / dXN(N);
  s.Dg(N) = s.Dw(N) + f.An(N) * VN(N) / dt + VN(N) * Sink(v, N);
  s.R(N) = VN(N) * f.An_old(N) * CN(N) / dt + VN(N) * Source(v, N);
}

}  // namespace

void transport_step(const TransportView& v, double dt, double C0) {
  exchange_rates(v, dt);
  face_values(v, C0);
  eliminate_bed_and_storage(v, dt);
  if (v.sources.on)
    assemble_rows<sink_with_sources, source_with_sources>(v, dt);
  else
    assemble_rows<sink, source>(v, dt);
  solve_scaled(v.rows, v.reach.N, C0);
  const TransportState& st = v.state;
  const TransportWork& w = v.work;
  for (int k = 1; k <= v.reach.N; ++k) {
    st.CbN(k) = w.alb(k) * v.rows.C(k) + w.beb(k);
    st.CsN(k) = w.als(k) * v.rows.C(k) + w.bes(k);
    st.CN(k) = v.rows.C(k);
    v.fluxes.exchange(k) = v.par.AlfaN(k) * v.flow.An(k) * (st.CN(k) - st.CsN(k));
  }
}

}  // namespace quarno
