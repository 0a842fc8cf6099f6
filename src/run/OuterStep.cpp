#include "run/OuterStep.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "model/Errors.hpp"
#include "model/Schedule.hpp"
#include "parallel/Share.hpp"
#include "solver/Reconstruction.hpp"

namespace quarno {

namespace {
constexpr double kCourant = 0.4000000059604645;          // 0.4 in single precision
constexpr double kMinWaveSpeed = 1.000000013351432e-10;  // 1e-10 in single precision
}  // namespace

bool apply_schedule_row(Model& m, int k, double t) {
  m.bnd.h0 = m.bic.hBC(k);
  m.bnd.NB0 = m.bic.NB0;
  m.bnd.NBL = m.bic.NBL;
  return interval_runs(t, interval_end(m.bic, k));
}

// Boundary values at X = 0 for the coming outer step.
void set_inlet(Model& m, int k) {
  Boundary& bc = m.bnd;
  const Flow& f = m.flow;
  bc.q0 = m.bic.QBC(k) / m.nodes.WidthN(1);
  bc.hU = bc.NB0 > 0 ? std::max(kDryDepth, f.h(1) + (f.h(1) - f.h(2)) * 0.5) : bc.h0;
  if (bc.h0 < kDryDepth) {
    bc.u0 = 0.0;
    bc.h0 = kDryDepth;  // kept for the rest of the interval
    bc.Fr0 = 0.0;
  } else {
    bc.u0 = bc.q0 / bc.hU;
    bc.Fr0 = std::fabs(bc.u0) / std::sqrt(g * bc.hU);
  }
}

// The outer step from the Courant condition; u0 enters with its sign. Below
// the smallest wave speed the previous step is kept. The largest wave speed
// is taken piece by piece and the pieces' largest combined the same way: a
// speed that is not a number never replaces the largest.
double courant_length(const Model& m) {
  const Flow& f = m.flow;
  const double u0 = m.bnd.u0;
  double largest[kMaxPieces];
  const int pieces = share_pieces(m.team, m.grid.M, [&](int p, int i0, int i1) {
    double a = 0.0;
    for (int i = i0; i <= i1; ++i)
      a = std::max(a, std::max(std::fabs(f.u(i)), u0) + std::sqrt(g * f.h(i)));
    largest[p] = a;
  });
  double a = 0.0;
  for (int p = 0; p < pieces; ++p) a = std::max(a, largest[p]);
  return a > kMinWaveSpeed ? m.grid.dx * kCourant / a : m.clock.dt;
}

void courant_step(Model& m) { m.clock.dt = courant_length(m); }

// Cell fields from the state vector after a step; the run ends if the flow
// state is not finite, naming the first cell that is not.
void unpack_state(Model& m) {
  Flow& f = m.flow;
  const Grid& gr = m.grid;
  const int M = gr.M;
  int first_bad[kMaxPieces];
  const int pieces = share_pieces(m.team, M, [&](int p, int i0, int i1) {
    for (int i = i0; i <= i1; ++i) {
      f.h(i) = f.y(i);
      f.q(i) = f.y(M + i);
      f.Q(i) = gr.B(i) * f.q(i);
      f.u(i) = f.q(i) / f.h(i);
      f.A(i) = f.h(i) * gr.B(i);
    }
    first_bad[p] = 0;
    for (int i = i0; i <= i1; ++i) {
      if (!std::isfinite(f.h(i)) || !std::isfinite(f.q(i))) {
        first_bad[p] = i;
        break;
      }
    }
  });
  for (int p = 0; p < pieces; ++p) {
    if (first_bad[p] != 0)
      throw NumericalFailure("The flow solution became non-finite at t = " +
                             show_number(m.clock.t) + " s in cell " +
                             std::to_string(first_bad[p]) + ".");
  }
}

// Unit discharges at both ends after a step, for the balances. With a flux
// inlet cell 1 is reconstructed against the inlet values and the inlet takes
// its left-face discharge; a transmissive outlet takes the right-face
// discharge of cell M that the step's last right-hand-side evaluation left.
// Each end is counted by its own boundary type: a wall passes nothing.
void end_faces(Model& m) {
  Boundary& bc = m.bnd;
  Flow& f = m.flow;
  const Grid& gr = m.grid;
  if (bc.NB0 != 0) {
    reconstruct(f.q(1), bc.q0, f.q(2), theta, gr.Xc(1), gr.dx, f.ql(1), gr.Xl(1), f.qr(1), gr.Xr(1));
    const double hG = bc.Fr0 > 1.0 ? bc.h0 : bc.hU;
    reconstruct(f.h(1), hG, f.h(2), theta, gr.Xc(1), gr.dx, f.hl(1), gr.Xl(1), f.hr(1), gr.Xr(1));
    f.hl(1) = std::max(kFaceDepthFloor, f.hl(1));
    f.hr(1) = std::max(kFaceDepthFloor, f.hr(1));
    bc.qX0 = f.ql(1);
  } else {
    bc.qX0 = 0.0;
  }
  bc.qXL = bc.NBL != 0 ? f.qr(gr.M) : 0.0;
}

// Threads that evaluate the flow right-hand side: the run setting, else 1.
int rhs_threads(const RunSettings& settings) { return settings.threads > 0 ? settings.threads : 1; }

}  // namespace quarno
