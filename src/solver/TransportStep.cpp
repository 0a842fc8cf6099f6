#include "solver/TransportStep.hpp"

#include <algorithm>
#include <cmath>

namespace quarno {

namespace {

constexpr double kShearCoeff = 3.0;                 // tau = 3.0 un^2
constexpr double kDepositionFactor = 0.800000011920929;  // 0.8 in single precision
constexpr double kDispersionFloor = 1e-8;
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

void node_hydraulics(Model& m) {
  Transport& t = m.tr;
  const Flow& f = m.flow;
  const Array<double>& WidthN = m.nodes.WidthN;
  const int Nfdn = m.run.Nfdn;
  const int M = m.grid.M;
  t.hn(1) = f.hl(1);
  t.un(1) = m.bnd.qX0 / f.hl(1);
  t.An(1) = t.hn(1) * WidthN(1);
  for (int k = 2; k <= Nfdn - 1; ++k) {
    t.hn(k) = (f.h(k - 1) + f.h(k)) * 0.5;
    t.un(k) = (f.u(k - 1) + f.u(k)) * 0.5;
    t.An(k) = t.hn(k) * WidthN(k);
  }
  t.hn(Nfdn) = f.h(M);
  t.un(Nfdn) = f.u(M);
  t.An(Nfdn) = t.hn(Nfdn) * WidthN(Nfdn);
}

void solve_scaled(Transport& t, int N, double C0) {
  Array<double>& a = t.a;
  Array<double>& b = t.b;
  Array<double>& r = t.r;
  Array<double>& C = t.C;
  const Array<double>& Dw = t.Dw;
  const Array<double>& Dg = t.Dg;
  const Array<double>& De = t.De;
  const Array<double>& R = t.R;

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

void transport_step(Model& m, double dt, double C0) {
  Transport& t = m.tr;
  NodeFields& nf = m.nodes;
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const int N = m.run.Nfdn;
  const int M = gr.M;
  Array<double>& CN = nf.CN;
  Array<double>& CbN = nf.CbN;
  Array<double>& CsN = t.CsN;
  const Array<double>& X = gr.X;
  const Array<double>& dXN = gr.dXN;
  const Array<double>& VN = gr.VN;
  const Array<double>& WidthN = nf.WidthN;

  // Shear stress, resuspension and deposition; totals from the pre-step
  // concentrations.
  for (int k = 1; k <= N; ++k) {
    const double tau = kShearCoeff * t.un(k) * t.un(k);
    t.E(k) = nf.TauCRN(k) > tau ? 0.0 : (tau / nf.TauCRN(k) - 1) * nf.ReN(k);
    t.P(k) = kDepositionFactor * nf.TauCRN(k) > tau
                 ? 1 - tau / (kDepositionFactor * nf.TauCRN(k))
                 : 0.0;
    t.TResC(k) += t.E(k) * dt * CbN(k);
    t.TDepC(k) += t.P(k) * dt * nf.VsN(k) * CN(k);
  }

  // Dispersion and advective face values. The dispersion uses the magnitude
  // of the cell velocity, so it stays positive where the flow runs upstream.
  for (int i = 1; i <= M; ++i) {
    t.DA(i) = (nf.aLN(i) * std::fabs(f.u(i)) + kDispersionFloor) * f.h(i) * gr.B(i);
    const double xf = X(i) + 0.5 * dXN(i + 1);
    double Cq;
    if (f.Q(i) >= 0) {  // upwind points upstream; ghosts carry the inlet concentration
      if (i >= 3)
        Cq = quadratic(xf, X(i - 2), CN(i - 2), X(i - 1), CN(i - 1), X(i), CN(i));
      else if (i == 2)
        Cq = quadratic(xf, X(1) - dXN(2), C0, X(1), CN(1), X(2), CN(2));
      else
        Cq = quadratic(xf, X(1) - 2 * dXN(2), C0, X(1) - dXN(2), C0, X(1), CN(1));
    } else {  // upwind points downstream; ghosts carry the last node's concentration
      if (i <= M - 2)
        Cq = quadratic(xf, X(i + 1), CN(i + 1), X(i + 2), CN(i + 2), X(i + 3), CN(i + 3));
      else if (i == M - 1)
        Cq = quadratic(xf, X(i + 1), CN(i + 1), X(N), CN(N), X(N) + dXN(N), CN(N));
      else
        Cq = quadratic(xf, X(N), CN(N), X(N) + dXN(N), CN(N), X(N) + 2 * dXN(N), CN(N));
    }
    t.Cf(i) = std::min(std::max(Cq, std::min(CN(i), CN(i + 1))), std::max(CN(i), CN(i + 1)));
  }

  // Bed and storage eliminated node by node (backward Euler).
  for (int k = 1; k <= N; ++k) {
    const double HbRb = nf.HbN(k) * nf.RbN(k);
    const double Db = (nf.KdsN(k) * nf.HbN(k) * nf.RbN(k) + t.E(k)) * dt + HbRb;
    t.alb(k) = dt * t.P(k) * nf.VsN(k) / Db;
    t.beb(k) = HbRb * CbN(k) / Db;
    const double Ds =
        (nf.AlfaN(k) / nf.fN(k) + nf.KdwN(k) + (t.An(k) - t.An_old(k)) / (t.An(k) * dt)) * dt + 1;
    t.als(k) = (dt / nf.fN(k)) * nf.AlfaN(k) / Ds;
    t.bes(k) = CsN(k) / Ds;
  }

  // Tridiagonal system for the new stream concentration.
  auto sink = [&](int k) {
    const double G = nf.GWUpwN(k);
    const double Gminus = (G - std::fabs(G)) * 0.5;
    return (t.P(k) * nf.VsN(k) - t.E(k) * t.alb(k)) * WidthN(k) +
           (nf.KdwN(k) + nf.AlfaN(k) * (1 - t.als(k))) * t.An(k) - Gminus;
  };
  auto source = [&](int k) {
    const double G = nf.GWUpwN(k);
    const double Gplus = (G + std::fabs(G)) * 0.5;
    return Gplus * nf.CGWN(k) + t.E(k) * t.beb(k) * WidthN(k) + t.An(k) * nf.AlfaN(k) * t.bes(k);
  };
  for (int k = 2; k <= N - 1; ++k) {
    t.Dw(k) = t.DA(k - 1) / dXN(k);
    t.De(k) = t.DA(k) / dXN(k + 1);
    t.Dg(k) = t.Dw(k) + t.De(k) + t.An(k) * VN(k) / dt + VN(k) * sink(k);
    t.R(k) = VN(k) * t.An_old(k) * CN(k) / dt + VN(k) * source(k) - f.Q(k) * t.Cf(k) +
             f.Q(k - 1) * t.Cf(k - 1);
  }
  // The last node has no advective term: advection leaves through the face
  // of cell M, which enters row N-1 only.
  t.Dw(N) = t.DA(M) / dXN(N);
  t.Dg(N) = t.Dw(N) + t.An(N) * VN(N) / dt + VN(N) * sink(N);
  t.R(N) = VN(N) * t.An_old(N) * CN(N) / dt + VN(N) * source(N);

  solve_scaled(t, N, C0);

  for (int k = 1; k <= N; ++k) {
    CbN(k) = t.alb(k) * t.C(k) + t.beb(k);
    CsN(k) = t.als(k) * t.C(k) + t.bes(k);
    CN(k) = t.C(k);
  }
}

}  // namespace quarno
