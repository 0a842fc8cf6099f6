#include "solver/SaintVenant.hpp"

#include <algorithm>
#include <cmath>

#include "solver/Reconstruction.hpp"

namespace quarno {

namespace {

constexpr double kFaceDepthFloor = 1e-10;            // m
constexpr double kDesingEps = 9.999999960041972e-13;  // 1e-12 in single precision
constexpr double kSqrt2 = 1.4142135381698608;         // sqrt(2) in single precision
constexpr double kManningExp = 1.333299994468689;     // 1.3333 in single precision
constexpr double kWeight = 0.10000000149011612;       // quadrature weight 0.1 (single)
// Quadrature fractions 0.05, 0.15, ..., 0.95, each in single precision.
constexpr double kPhi[10] = {0.05000000074505806, 0.15000000223517418, 0.2500000037252903,
                             0.3500000052154064,  0.45000000670552254, 0.5500000081956387,
                             0.6500000096857548,  0.7500000111758709,  0.850000012665987,
                             0.9500000141561031};

// Face velocity that tends smoothly to zero on very shallow faces; the face
// discharge becomes hf * uf.
inline void desingularise(double hf, double& qf, double& uf) {
  const double hf4 = (hf * hf) * (hf * hf);
  uf = kSqrt2 * hf * qf / std::sqrt(hf4 + std::max(hf4, kDesingEps));
  qf = hf * uf;
}

inline double celerity(double h) { return std::sqrt(g * h); }

// Central-upwind fluxes of depth and discharge between a left and a right state.
inline void flux(double hL, double qL, double hR, double qR, double ap, double am, double& Fh,
                 double& Fq) {
  const double D = ap - am;
  Fh = (hR - hL) * ap * am / D + (ap * qL - am * qR) / D;
  Fq = (ap * ((qL * qL) / hL + (g * 0.5) * (hL * hL)) -
        am * ((qR * qR) / hR + (g * 0.5) * (hR * hR))) / D +
       ap * am * (qR - qL) / D;
}

}  // namespace

void saint_venant_rhs(Model& m, double /*x*/, const Array<double>& y, Array<double>& dydx, int n) {
  const Grid& gr = m.grid;
  const Boundary& bc = m.bnd;
  const Array<double>& GWUpwN = m.nodes.GWUpwN;
  Flow& f = m.flow;
  Array<double>& h = f.h;
  Array<double>& q = f.q;
  Array<double>& hl = f.hl;
  Array<double>& hr = f.hr;
  Array<double>& ql = f.ql;
  Array<double>& qr = f.qr;
  Array<double>& ul = f.ul;
  Array<double>& ur = f.ur;
  Array<double>& ap = f.ap;
  Array<double>& am = f.am;
  Array<double>& Fh = f.Fh;
  Array<double>& Fq = f.Fq;
  const int M = n / 2;
  const double dx = gr.dx;

  // 1. Unpack.
  for (int i = 1; i <= M; ++i) {
    h(i) = y(i);
    q(i) = y(M + i);
    f.u(i) = q(i) / h(i);
  }

  // 2. Ghost neighbours of cell 1 and cell M.
  double hghost0, qghost0, hghostL, qghostL;
  if (bc.NB0 == 0) {  // wall
    hghost0 = h(1);
    qghost0 = -q(1);
  } else {  // flux inlet
    qghost0 = bc.q0;
    hghost0 = bc.Fr0 > 1.0 ? bc.h0 : bc.hU;
  }
  if (bc.NBL == 0) {  // wall
    hghostL = h(M);
    qghostL = -q(M);
  } else {  // transmissive
    hghostL = h(M);
    qghostL = q(M);
  }

  // 3. Reconstruction; face depths are floored.
  for (int i = 1; i <= M; ++i) {
    const double hlft = i == 1 ? hghost0 : h(i - 1);
    const double hrgt = i == M ? hghostL : h(i + 1);
    const double qlft = i == 1 ? qghost0 : q(i - 1);
    const double qrgt = i == M ? qghostL : q(i + 1);
    reconstruct(q(i), qlft, qrgt, theta, gr.Xc(i), dx, ql(i), gr.Xl(i), qr(i), gr.Xr(i));
    double hfa, hfb;
    reconstruct(h(i), hlft, hrgt, theta, gr.Xc(i), dx, hfa, gr.Xl(i), hfb, gr.Xr(i));
    hl(i) = std::max(kFaceDepthFloor, hfa);
    hr(i) = std::max(kFaceDepthFloor, hfb);
  }

  // 4. Desingularised face velocities and corrected face discharges.
  for (int i = 1; i <= M; ++i) {
    desingularise(hl(i), ql(i), ul(i));
    desingularise(hr(i), qr(i), ur(i));
  }

  // 5. One-sided local speeds.
  for (int j = 1; j <= M - 1; ++j) {
    const double cr = celerity(hr(j));
    const double cl = celerity(hl(j + 1));
    ap(j) = std::max(std::max(ur(j) + cr, ul(j + 1) + cl), 0.0);
    am(j) = std::min(std::min(ur(j) - cr, ul(j + 1) - cl), 0.0);
  }
  {
    double ub, cb;
    if (bc.NB0 == 0) {
      ub = q(1) / h(1);
      cb = std::sqrt(g * h(1));
    } else {
      ub = bc.q0;
      cb = 0.0;
    }
    const double c1 = celerity(hl(1));
    ap(0) = std::max(std::max(ub + cb, 0.0), ul(1) + c1);
    am(0) = std::min(std::min(ub - cb, 0.0), ul(1) - c1);
  }
  {
    double ub, cb;
    if (bc.NBL == 0) {
      ub = q(M) / h(M);
      cb = std::sqrt(g * h(M));
    } else {
      ub = 0.0;
      cb = 0.0;
    }
    const double cM = celerity(hr(M));
    ap(M) = std::max(std::max(ur(M) + cM, 0.0), ub + cb);
    am(M) = std::min(std::min(ur(M) - cM, 0.0), ub - cb);
  }

  // 6. Central-upwind fluxes.
  for (int j = 1; j <= M - 1; ++j) flux(hr(j), qr(j), hl(j + 1), ql(j + 1), ap(j), am(j), Fh(j), Fq(j));
  {
    const double qb = bc.NB0 == 1 ? bc.q0 : -ql(1);
    flux(hl(1), qb, hl(1), ql(1), ap(0), am(0), Fh(0), Fq(0));
  }
  {
    const double qb = bc.NBL == 1 ? qr(M) : -qr(M);
    flux(hr(M), qr(M), hr(M), qb, ap(M), am(M), Fh(M), Fq(M));
  }

  // 7. Sources by the ten-point midpoint rule over each cell. The momentum
  // source has no width-pressure term: for a per-unit-width rectangular
  // channel the wall pressure balances the product-rule part of the pressure
  // flux, so a level pool in a widening channel stays at rest.
  const double w = dx * kWeight;
  for (int i = 1; i <= M; ++i) {
    const double Bi = gr.B(i);
    const double dBdx = gr.dBdx(i);
    const double BL = Bi - 0.5 * dx * dBdx;
    const double BR = Bi + 0.5 * dx * dBdx;
    const double rough2 = gr.RoughC(i) * gr.RoughC(i);
    const double GW = GWUpwN(i);
    const double dh = kWeight * (hr(i) - hl(i));
    const double dq = kWeight * (qr(i) - ql(i));
    const double gh = g * h(i);
    double sum_f = 0.0, sum_g = 0.0;
    for (int k = 1; k <= 10; ++k) {
      const double mult = k - 0.5;
      const double Bk = BL + kPhi[k - 1] * (BR - BL);
      const double hk = hl(i) + mult * dh;
      const double qk = ql(i) + mult * dq;
      const double uk = qk / hk;
      const double Ak = Bk * hk;
      const double Rk = Ak / (Bk + hk + hk);
      const double Sfk = uk * rough2 * std::fabs(uk) / std::pow(Rk, kManningExp);
      const double fk = GW / Bk - dBdx * qk / Bk;
      const double gk = (kLateralMomentum * GW) * qk / Ak - dBdx * qk * qk / Ak + gh * (gr.S(i) - Sfk);
      sum_f += fk * w;
      sum_g += gk * w;
    }
    f.Sh(i) = sum_f / dx;
    f.Sq(i) = sum_g / dx;
  }

  // 8. Derivatives.
  for (int i = 1; i <= M; ++i) {
    dydx(i) = -(Fh(i) - Fh(i - 1)) / dx + f.Sh(i);
    dydx(M + i) = -(Fq(i) - Fq(i - 1)) / dx + f.Sq(i);
  }
}

}  // namespace quarno
