#include "solver/SaintVenant.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "solver/ManningPower.hpp"
#include "solver/Reconstruction.hpp"
#include "parallel/Team.hpp"

// The evaluation goes block by block over the cells. A block reconstructs its
// own cells and, for its two outer faces, the neighbouring cell on each side;
// it computes its faces, the sources of its cells and their derivatives.
// Every value is computed by the same operations in the same order, whichever
// block or thread computes it, so the result does not depend on the blocking
// or on the number of threads. Inside a block the loops run over neighbouring
// cells without branches, so that the compiler evaluates several cells at once
// on vector lanes, which give the same results as one cell at a time; the
// quadrature points are stored point by point for the same reason. The block
// is compiled three times, for the baseline instructions, for AVX2 and for
// AVX-512 (picked by the run's vector path when the processor has them);
// none contracts a multiply and an add.

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define QUARNO_RHS_VECTORS 1
#endif

namespace quarno {

namespace {

constexpr double kDesingEps = 9.999999960041972e-13;  // 1e-12 in single precision
constexpr double kSqrt2 = 1.4142135381698608;         // sqrt(2) in single precision
constexpr double kWeight = 0.10000000149011612;       // quadrature weight 0.1 (single)
// Quadrature fractions 0.05, 0.15, ..., 0.95, each in single precision.
constexpr double kPhi[kQuadPoints] = {0.05000000074505806, 0.15000000223517418, 0.2500000037252903,
                                      0.3500000052154064,  0.45000000670552254, 0.5500000081956387,
                                      0.6500000096857548,  0.7500000111758709,  0.850000012665987,
                                      0.9500000141561031};

// Cells per block. A block's outer faces are computed by both blocks beside
// them and each block has its own overheads, so longer blocks waste less (on
// a 1000-cell reach 128 cells run 4-5% faster than 64, 256 no faster); a
// team shares shorter ones more evenly (64 cells: on two threads 6% faster
// than 32 on 1000 cells, 4% on 10,000).
constexpr int kBlock = 128;
constexpr int kTeamBlock = 64;
static_assert(kBlock <= kRhsBlockMax && kTeamBlock <= kRhsBlockMax,
              "the quadrature scratch holds blocks of at most kRhsBlockMax cells");

#define QUARNO_INLINE [[gnu::always_inline]] inline

// Face velocity that tends smoothly to zero on very shallow faces; the face
// discharge becomes hf * uf.
QUARNO_INLINE void desingularise(double hf, double& qf, double& uf) {
  const double hf4 = (hf * hf) * (hf * hf);
  uf = kSqrt2 * hf * qf / std::sqrt(hf4 + std::max(hf4, kDesingEps));
  qf = hf * uf;
}

QUARNO_INLINE double celerity(double h) { return std::sqrt(g * h); }

// Central-upwind fluxes of depth and discharge between a left and a right state.
QUARNO_INLINE void flux(double hL, double qL, double hR, double qR, double ap, double am,
                        double& Fh, double& Fq) {
  const double D = ap - am;
  Fh = (hR - hL) * ap * am / D + (ap * qL - am * qR) / D;
  Fq = (ap * ((qL * qL) / hL + (g * 0.5) * (hL * hL)) -
        am * ((qR * qR) / hR + (g * 0.5) * (hR * hR))) / D +
       ap * am * (qR - qL) / D;
}

// Face values of one cell: limited reconstruction between its neighbours,
// face depths floored, desingularised face velocities and discharges.
struct CellFaces {
  double hl, hr, ql, qr, ul, ur;
};

QUARNO_INLINE CellFaces cell_faces(double hlft, double hc, double hrgt, double qlft, double qc,
                                   double qrgt, double xc, double xl, double xr, double dx) {
  CellFaces c;
  reconstruct(qc, qlft, qrgt, theta, xc, dx, c.ql, xl, c.qr, xr);
  double hfa, hfb;
  reconstruct(hc, hlft, hrgt, theta, xc, dx, hfa, xl, hfb, xr);
  c.hl = std::max(kFaceDepthFloor, hfa);
  c.hr = std::max(kFaceDepthFloor, hfb);
  desingularise(c.hl, c.ql, c.ul);
  desingularise(c.hr, c.qr, c.ur);
  return c;
}

// One-sided local speeds and fluxes of a face.
struct FaceFlux {
  double ap, am, Fh, Fq;
};

// An interior face between the right face of one cell (hr, qr, ur) and the
// left face of the next (hl, ql, ul).
QUARNO_INLINE FaceFlux interior_face(double hr, double qr, double ur, double hl, double ql,
                                     double ul) {
  FaceFlux f;
  const double cr = celerity(hr);
  const double cl = celerity(hl);
  f.ap = std::max(std::max(ur + cr, ul + cl), 0.0);
  f.am = std::min(std::min(ur - cr, ul - cl), 0.0);
  flux(hr, qr, hl, ql, f.ap, f.am, f.Fh, f.Fq);
  return f;
}

// The instruction sets a block is built for.
enum class RhsIsa { baseline, avx2, avx512 };

// What the blocks of one evaluation share; read only.
struct Evaluation {
  const RhsView* v;
  const double* y;  // y(1..2M) at y[0..2M-1]
  double* dydx;     // likewise
  int M;
  double dx;
  double hghost0, qghost0, hghostL, qghostL;  // ghost neighbours of cells 1 and M
  RhsIsa isa;                                 // the build of the blocks to run
  PowPath pow_path;                           // how the Manning powers are computed
  int block;                                  // cells per block
};

// Face 0, from the faces of cell 1 and its depth h1 and discharge q1.
FaceFlux inlet_face(const RhsEnds& bc, double h1, double q1, const CellFaces& c1) {
  double ub, cb;
  if (bc.NB0 == 0) {
    ub = q1 / h1;
    cb = std::sqrt(g * h1);
  } else {
    ub = bc.q0;
    cb = 0.0;
  }
  const double c = celerity(c1.hl);
  FaceFlux f;
  f.ap = std::max(std::max(ub + cb, 0.0), c1.ul + c);
  f.am = std::min(std::min(ub - cb, 0.0), c1.ul - c);
  const double qb = bc.NB0 == 1 ? bc.q0 : -c1.ql;
  flux(c1.hl, qb, c1.hl, c1.ql, f.ap, f.am, f.Fh, f.Fq);
  return f;
}

// Face M, from the faces of cell M and its depth hM and discharge qM.
FaceFlux outlet_face(const RhsEnds& bc, double hM, double qM, const CellFaces& cM) {
  double ub, cb;
  if (bc.NBL == 0) {
    ub = qM / hM;
    cb = std::sqrt(g * hM);
  } else {
    ub = 0.0;
    cb = 0.0;
  }
  const double c = celerity(cM.hr);
  FaceFlux f;
  f.ap = std::max(std::max(cM.ur + c, 0.0), ub + cb);
  f.am = std::min(std::min(cM.ur - c, 0.0), ub - cb);
  const double qb = bc.NBL == 1 ? cM.qr : -cM.qr;
  flux(cM.hr, cM.qr, cM.hr, qb, f.ap, f.am, f.Fh, f.Fq);
  return f;
}

// The vector loops of a block. Their arrays start at the block's first cell
// (or face) and do not overlap.

// Faces of cells c0..c1, whose neighbours all lie in the state vector (yh
// the depths, yq the discharges).
QUARNO_INLINE void interior_cells(int c0, int c1, const double* __restrict yh,
                                  const double* __restrict yq, const double* __restrict Xc,
                                  const double* __restrict Xl, const double* __restrict Xr,
                                  double dx, double* __restrict hl, double* __restrict hr,
                                  double* __restrict ql, double* __restrict qr,
                                  double* __restrict ul, double* __restrict ur) {
  for (int c = c0; c <= c1; ++c) {
    const CellFaces f = cell_faces(yh[c - 1], yh[c], yh[c + 1], yq[c - 1], yq[c], yq[c + 1],
                                   Xc[c], Xl[c], Xr[c], dx);
    hl[c] = f.hl;
    hr[c] = f.hr;
    ql[c] = f.ql;
    qr[c] = f.qr;
    ul[c] = f.ul;
    ur[c] = f.ur;
  }
}

// Faces of two cells whose operands lie in lanes, operand k of lane l at
// in[2k + l] (see two_cell_faces).
QUARNO_INLINE void two_lanes_of_faces(const double* __restrict in, double dx,
                                      double* __restrict out) {
  for (int l = 0; l < 2; ++l) {
    const CellFaces f = cell_faces(in[0 + l], in[2 + l], in[4 + l], in[6 + l], in[8 + l],
                                   in[10 + l], in[12 + l], in[14 + l], in[16 + l], dx);
    out[0 + l] = f.hl;
    out[2 + l] = f.hr;
    out[4 + l] = f.ql;
    out[6 + l] = f.qr;
    out[8 + l] = f.ul;
    out[10 + l] = f.ur;
  }
}

// The faces of cells a and b (1..M), their neighbours taken from the state
// vector or the ghosts, on two vector lanes: the operations of cell_faces on
// each lane, without the branches of the limiter.
QUARNO_INLINE void two_cell_faces(const Evaluation& e, int a, int b, CellFaces& fa,
                                  CellFaces& fb) {
  const RhsChannel& ch = e.v->channel;
  const int M = e.M;
  // Operand k of lane l at in[2k + l]; face value k of lane l at out[2k + l].
  alignas(16) double in[18];
  alignas(16) double out[12];
  const int cells[2] = {a, b};
  for (int l = 0; l < 2; ++l) {
    const int i = cells[l];
    in[0 + l] = i == 1 ? e.hghost0 : e.y[i - 2];
    in[2 + l] = e.y[i - 1];
    in[4 + l] = i == M ? e.hghostL : e.y[i];
    in[6 + l] = i == 1 ? e.qghost0 : e.y[M + i - 2];
    in[8 + l] = e.y[M + i - 1];
    in[10 + l] = i == M ? e.qghostL : e.y[M + i];
    in[12 + l] = ch.Xc(i);
    in[14 + l] = ch.Xl(i);
    in[16 + l] = ch.Xr(i);
  }
  two_lanes_of_faces(in, e.dx, out);
  fa = CellFaces{out[0], out[2], out[4], out[6], out[8], out[10]};
  fb = CellFaces{out[1], out[3], out[5], out[7], out[9], out[11]};
}

// The faces between cells c and c+1, c = 0..nf-1.
QUARNO_INLINE void interior_faces(int nf, const double* __restrict hl,
                                  const double* __restrict hr, const double* __restrict ql,
                                  const double* __restrict qr, const double* __restrict ul,
                                  const double* __restrict ur, double* __restrict ap,
                                  double* __restrict am, double* __restrict Fh,
                                  double* __restrict Fq) {
  for (int c = 0; c < nf; ++c) {
    const FaceFlux f = interior_face(hr[c], qr[c], ur[c], hl[c + 1], ql[c + 1], ul[c + 1]);
    ap[c] = f.ap;
    am[c] = f.am;
    Fh[c] = f.Fh;
    Fq[c] = f.Fq;
  }
}

// True when every cell of 0..nb-1 has a constant width (dB/dx zero, B
// positive) and face values of moderate size. Then at every point Bk equals B,
// qk is finite and Ak finite and positive, so the width terms dBdx*qk/Bk and
// dBdx*qk*qk/Ak are zeros: leaving them out can only change the sign of a
// zero fk or gk, which a sum that starts at +0 never shows; and GW/Bk is the
// same at every point.
QUARNO_INLINE bool prismatic(int nb, const double* __restrict B, const double* __restrict dBdx,
                             const double* __restrict hl, const double* __restrict hr,
                             const double* __restrict ql, const double* __restrict qr) {
  constexpr double kBig = 1e100;
  int ok = 1;
  for (int c = 0; c < nb; ++c) {
    ok &= (dBdx[c] == 0.0) & (B[c] > 1.0 / kBig) & (B[c] < kBig) & (std::fabs(hl[c]) < kBig) &
          (std::fabs(hr[c]) < kBig) & (std::fabs(ql[c]) < kBig) & (std::fabs(qr[c]) < kBig);
  }
  return ok != 0;
}

// The ten-point midpoint rule over cells 0..nb-1 up to the Manning powers:
// for every point the hydraulic radius, the friction numerator N and the
// momentum terms without friction T (point k of cell c at
// [(k-1)*kStride + c], kStride the cells of a block), and the depth source Sh
// of every cell. Prismatic cells (see prismatic) leave the width terms out.
template <bool kPrismatic, int kStride>
QUARNO_INLINE void source_points(int nb, double dx, const double* __restrict B,
                                 const double* __restrict dBdx, const double* __restrict rough,
                                 const double* __restrict GW, const double* __restrict hl,
                                 const double* __restrict hr, const double* __restrict ql,
                                 const double* __restrict qr, double* __restrict radius, double* __restrict N,
                                 double* __restrict T, double* __restrict Sh) {
  const double w = dx * kWeight;
  for (int c = 0; c < nb; ++c) {
    const double BL = B[c] - 0.5 * dx * dBdx[c];
    const double BR = B[c] + 0.5 * dx * dBdx[c];
    const double rough2 = rough[c] * rough[c];
    const double dh = kWeight * (hr[c] - hl[c]);
    const double dq = kWeight * (qr[c] - ql[c]);
    const double fw = GW[c] / BL * w;  // fk * w of a prismatic cell, Bk being BL
    double sum_f = 0.0;
#pragma GCC unroll 10
    for (int k = 1; k <= kQuadPoints; ++k) {
      const double mult = k - 0.5;
      const double Bk = BL + kPhi[k - 1] * (BR - BL);
      const double hk = hl[c] + mult * dh;
      const double qk = ql[c] + mult * dq;
      const double uk = qk / hk;
      const double Ak = Bk * hk;
      const int at = (k - 1) * kStride + c;
      radius[at] = Ak / (Bk + hk + hk);
      N[at] = uk * rough2 * std::fabs(uk);
      if (kPrismatic) {
        sum_f += fw;
        T[at] = (kLateralMomentum * GW[c]) * qk / Ak;
      } else {
        const double fk = GW[c] / Bk - dBdx[c] * qk / Bk;
        sum_f += fk * w;
        T[at] = (kLateralMomentum * GW[c]) * qk / Ak - dBdx[c] * qk * qk / Ak;
      }
    }
    Sh[c] = sum_f / dx;
  }
}

// The discharge source Sq of cells 0..nb-1 from the friction numerators N,
// the Manning powers of the radii and the momentum terms T of their points.
template <int kStride>
QUARNO_INLINE void source_friction(int nb, double dx, const double* __restrict N,
                                   const double* __restrict power, const double* __restrict T,
                                   const double* __restrict h, const double* __restrict S,
                                   double* __restrict Sq) {
  const double w = dx * kWeight;
  for (int c = 0; c < nb; ++c) {
    const double gh = g * h[c];
    double sum_g = 0.0;
#pragma GCC unroll 10
    for (int k = 1; k <= kQuadPoints; ++k) {
      const int at = (k - 1) * kStride + c;
      const double Sfk = N[at] / power[at];
      const double gk = T[at] + gh * (S[c] - Sfk);
      sum_g += gk * w;
    }
    Sq[c] = sum_g / dx;
  }
}

// The hydraulic radii of cells 0..nb-1 replaced by their Manning powers,
// point by point over the block's cells, on the vector path of the run (the
// same bits as the platform's pow). A radius equal bit for bit to the one
// before takes that one's power again: uniform stretches of a reach repeat
// their radius.
template <int kStride>
void manning_powers(PowPath path, int nb, double* radius) {
  for (int k = 0; k < kQuadPoints; ++k) manning_powers_on(path, radius + k * kStride, nb);
}

// The stages of one block, cells i0..i1, nb = i1 - i0 + 1 of them.

// Depth, discharge and velocity of the block's cells.
QUARNO_INLINE void block_cell_fields(const Evaluation& e, int i0, int nb) {
  const RhsResults& o = e.v->out;
  const double* yh = e.y + (i0 - 1);
  const double* yq = e.y + (e.M + i0 - 1);
  double* h = &o.h(i0);
  double* q = &o.q(i0);
  double* u = &o.u(i0);
  for (int c = 0; c < nb; ++c) {
    h[c] = yh[c];
    q[c] = yq[c];
    u[c] = q[c] / h[c];
  }
}

QUARNO_INLINE void store_faces(const RhsResults& o, int i, const CellFaces& c) {
  o.hl(i) = c.hl;
  o.hr(i) = c.hr;
  o.ql(i) = c.ql;
  o.qr(i) = c.qr;
  o.ul(i) = c.ul;
  o.ur(i) = c.ur;
}

QUARNO_INLINE CellFaces stored_faces(const RhsResults& o, int i) {
  return CellFaces{o.hl(i), o.hr(i), o.ql(i), o.qr(i), o.ul(i), o.ur(i)};
}

QUARNO_INLINE void store_flux(const RhsResults& o, int j, const FaceFlux& f) {
  o.ap(j) = f.ap;
  o.am(j) = f.am;
  o.Fh(j) = f.Fh;
  o.Fq(j) = f.Fq;
}

// The face values of the cells just outside a block, needed for its outer
// faces: the cell before it (none for the first block) and the cell after it
// (none for the last).
struct OuterCells {
  CellFaces before, after;
};

// Face values of the block's cells, and of the cells just outside it. The
// cells with all their neighbours in the state vector run as vectors; the
// first and the last cell of the reach, which take a ghost neighbour, and
// the cells outside the block run together on two lanes: the cell before
// the block, or cell 1 in the first block, and the cell after it, or cell M
// in the last.
QUARNO_INLINE OuterCells block_cell_faces(const Evaluation& e, int i0, int i1) {
  const RhsChannel& ch = e.v->channel;
  const RhsResults& o = e.v->out;
  const int M = e.M;
  const int first = std::max(i0, 2), last = std::min(i1, M - 1);
  if (first <= last)
    interior_cells(first - i0, last - i0, e.y + (i0 - 1), e.y + (M + i0 - 1), &ch.Xc(i0),
                   &ch.Xl(i0), &ch.Xr(i0), e.dx, &o.hl(i0), &o.hr(i0), &o.ql(i0), &o.qr(i0),
                   &o.ul(i0), &o.ur(i0));
  OuterCells outer;
  two_cell_faces(e, i0 == 1 ? 1 : i0 - 1, i1 == M ? M : i1 + 1, outer.before, outer.after);
  if (i0 == 1) store_faces(o, 1, outer.before);
  if (i1 == M && M > 1) store_faces(o, M, outer.after);
  return outer;
}

// Speeds and fluxes of the faces between the block's cells, then of its
// outer faces: face i0-1 with the cell before the block (face 0 at the inlet)
// and face i1 with the cell after it (face M at the outlet). Face i0-1
// belongs to the block before and is not stored, except face 0; it is
// returned.
QUARNO_INLINE FaceFlux block_fluxes(const Evaluation& e, int i0, int i1, const OuterCells& outer) {
  const RhsResults& o = e.v->out;
  const RhsEnds& bc = e.v->ends;
  const int M = e.M;
  interior_faces(i1 - i0, &o.hl(i0), &o.hr(i0), &o.ql(i0), &o.qr(i0), &o.ul(i0), &o.ur(i0),
                 &o.ap(i0), &o.am(i0), &o.Fh(i0), &o.Fq(i0));
  FaceFlux before;
  if (i0 == 1) {
    before = inlet_face(bc, o.h(1), o.q(1), stored_faces(o, 1));
    store_flux(o, 0, before);
  } else {
    const CellFaces& l = outer.before;
    const CellFaces r = stored_faces(o, i0);
    before = interior_face(l.hr, l.qr, l.ur, r.hl, r.ql, r.ul);
  }
  if (i1 == M) {
    store_flux(o, M, outlet_face(bc, o.h(M), o.q(M), stored_faces(o, M)));
  } else {
    const CellFaces l = stored_faces(o, i1);
    const CellFaces& r = outer.after;
    store_flux(o, i1, interior_face(l.hr, l.qr, l.ur, r.hl, r.ql, r.ul));
  }
  return before;
}

// Sources of the block's cells by the ten-point midpoint rule. The momentum
// source has no width-pressure term: for a per-unit-width rectangular
// channel the wall pressure balances the product-rule part of the pressure
// flux, so a level pool in a widening channel stays at rest.
template <int kStride>
QUARNO_INLINE void block_sources(const Evaluation& e, int i0, int nb) {
  const RhsChannel& ch = e.v->channel;
  const RhsResults& o = e.v->out;
  RhsScratch& s = o.points;
  const double dx = e.dx;
  const int first = 1 + (i0 - 1) * kQuadPoints;  // the block's room in the scratch
  double* radius = &s.R(first);  // the hydraulic radii, then their Manning powers
  double* N = &s.N(first);
  double* T = &s.T(first);
  if (prismatic(nb, &ch.B(i0), &ch.dBdx(i0), &o.hl(i0), &o.hr(i0), &o.ql(i0), &o.qr(i0)))
    source_points<true, kStride>(nb, dx, &ch.B(i0), &ch.dBdx(i0), &ch.RoughC(i0),
                                 &ch.GWUpw(i0), &o.hl(i0), &o.hr(i0), &o.ql(i0), &o.qr(i0),
                                 radius, N, T, &o.Sh(i0));
  else
    source_points<false, kStride>(nb, dx, &ch.B(i0), &ch.dBdx(i0), &ch.RoughC(i0),
                                  &ch.GWUpw(i0), &o.hl(i0), &o.hr(i0), &o.ql(i0), &o.qr(i0),
                                  radius, N, T, &o.Sh(i0));
  manning_powers<kStride>(e.pow_path, nb, radius);
  const double* power = radius;
  source_friction<kStride>(nb, dx, N, power, T, &o.h(i0), &ch.S(i0), &o.Sq(i0));
}

// Derivatives of the block's cells; `before` is face i0-1.
QUARNO_INLINE void block_derivatives(const Evaluation& e, int i0, int nb, const FaceFlux& before) {
  const RhsResults& o = e.v->out;
  const double dx = e.dx;
  const double* Fh = &o.Fh(i0);
  const double* Fq = &o.Fq(i0);
  const double* Sh = &o.Sh(i0);
  const double* Sq = &o.Sq(i0);
  double* dh_dt = e.dydx + (i0 - 1);
  double* dq_dt = e.dydx + (e.M + i0 - 1);
  dh_dt[0] = -(Fh[0] - before.Fh) / dx + Sh[0];
  dq_dt[0] = -(Fq[0] - before.Fq) / dx + Sq[0];
  for (int c = 1; c < nb; ++c) {
    dh_dt[c] = -(Fh[c] - Fh[c - 1]) / dx + Sh[c];
    dq_dt[c] = -(Fq[c] - Fq[c - 1]) / dx + Sq[c];
  }
}

// Cells i0..i1 (one block of at most kStride cells): the cell fields, faces
// i0..i1 (and face 0 in the first block), the sources and the derivatives.
template <int kStride>
QUARNO_INLINE void evaluate_block(const Evaluation& e, int i0, int i1) {
  const int nb = i1 - i0 + 1;
  block_cell_fields(e, i0, nb);
  const OuterCells outer = block_cell_faces(e, i0, i1);
  const FaceFlux before = block_fluxes(e, i0, i1, outer);
  block_sources<kStride>(e, i0, nb);
  block_derivatives(e, i0, nb, before);
}

template <int kStride>
void evaluate_block_baseline(const Evaluation& e, int i0, int i1) {
  evaluate_block<kStride>(e, i0, i1);
}

#ifdef QUARNO_RHS_VECTORS
template <int kStride>
__attribute__((target("avx2"))) void evaluate_block_avx2(const Evaluation& e, int i0, int i1) {
  evaluate_block<kStride>(e, i0, i1);
}

template <int kStride>
__attribute__((target("avx512f,avx512dq,avx512vl,avx512bw"))) void evaluate_block_avx512(
    const Evaluation& e, int i0, int i1) {
  evaluate_block<kStride>(e, i0, i1);
}

// The widest build of the blocks that the processor runs and the run allows:
// AVX-512 with a Manning power path on AVX-512, AVX2 otherwise, the baseline
// when the run keeps to it.
RhsIsa rhs_isa(const RhsView& v) {
  static const bool has_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  static const bool has_avx512 =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
  if (!v.avx2) return RhsIsa::baseline;
  const bool wide = v.pow_path == PowPath::avx512 || v.pow_path == PowPath::avx512_gather;
  if (wide && has_avx512) return RhsIsa::avx512;
  return has_avx2 ? RhsIsa::avx2 : RhsIsa::baseline;
}
#else
RhsIsa rhs_isa(const RhsView&) { return RhsIsa::baseline; }
#endif

void evaluate_task(void* context, int task) {
  const Evaluation& e = *static_cast<const Evaluation*>(context);
  const int i0 = 1 + task * e.block;
  const int i1 = std::min(e.M, i0 + e.block - 1);
  // The block's size is a constant of the code it runs, so that its
  // quadrature points lie at fixed offsets.
  const bool team_block = e.block == kTeamBlock;
#ifdef QUARNO_RHS_VECTORS
  if (e.isa == RhsIsa::avx512) {
    if (team_block)
      evaluate_block_avx512<kTeamBlock>(e, i0, i1);
    else
      evaluate_block_avx512<kBlock>(e, i0, i1);
    return;
  }
  if (e.isa == RhsIsa::avx2) {
    if (team_block)
      evaluate_block_avx2<kTeamBlock>(e, i0, i1);
    else
      evaluate_block_avx2<kBlock>(e, i0, i1);
    return;
  }
#endif
  if (team_block)
    evaluate_block_baseline<kTeamBlock>(e, i0, i1);
  else
    evaluate_block_baseline<kBlock>(e, i0, i1);
}

}  // namespace

void saint_venant_rhs(const RhsView& v, const Array<double>& y, Array<double>& dydx, int n) {
  const RhsEnds& bc = v.ends;
  Evaluation e;
  e.v = &v;
  e.y = &y(1);
  e.dydx = &dydx(1);
  e.M = n / 2;
  e.dx = v.channel.dx;
  e.isa = rhs_isa(v);
  e.pow_path = v.pow_path;
  const int M = e.M;

  // Ghost neighbours of cell 1 and cell M.
  if (bc.NB0 == 0) {  // wall
    e.hghost0 = y(1);
    e.qghost0 = -y(M + 1);
  } else {  // flux inlet
    e.qghost0 = bc.q0;
    e.hghost0 = bc.Fr0 > 1.0 ? bc.h0 : bc.hU;
  }
  if (bc.NBL == 0) {  // wall
    e.hghostL = y(M);
    e.qghostL = -y(2 * M);
  } else {  // transmissive
    e.hghostL = y(M);
    e.qghostL = y(2 * M);
  }

  if (v.team != nullptr && M > kTeamBlock) {
    e.block = kTeamBlock;
    v.team->run((M + kTeamBlock - 1) / kTeamBlock, &evaluate_task, &e);
  } else {
    e.block = kBlock;
    for (int b = 0; b < (M + kBlock - 1) / kBlock; ++b) evaluate_task(&e, b);
  }
}

}  // namespace quarno
