#pragma once

#include "model/Model.hpp"

namespace quarno {

class Team;

// The channel as the right-hand side reads it, cells 1..M; fixed for a run.
struct RhsChannel {
  double dx;                    // cell length (m)
  const Array<double>& Xc;      // cell centre (m)
  const Array<double>& Xl;      // left face (m)
  const Array<double>& Xr;      // right face (m)
  const Array<double>& B;       // width (m)
  const Array<double>& dBdx;    // width gradient (m/m)
  const Array<double>& S;       // bed slope
  const Array<double>& RoughC;  // Manning roughness
  const Array<double>& GWUpw;   // lateral inflow of the cell (m2/s): the groundwater upwelling
                                // at its left node, plus the sources that enter it
};

// The boundary values of both ends; fixed for an outer step.
struct RhsEnds {
  int NB0;     // X = 0: 0 wall, 1 flux inlet
  int NBL;     // X = L: 0 wall, 1 transmissive
  double q0;   // inflow per unit width (m2/s)
  double h0;   // inlet depth (m): the ghost depth of a supercritical inflow
  double hU;   // depth of the inlet velocity (m): the ghost depth otherwise
  double Fr0;  // inlet Froude number
};

// What an evaluation writes besides the derivatives, and keeps for its
// callers: the cell fields, the face values of every cell, the speeds and
// fluxes of every face, the cell sources; and its quadrature scratch.
struct RhsResults {
  Array<double>& h;   // cell depth (m), cells 1..M
  Array<double>& q;   // cell discharge per unit width (m2/s)
  Array<double>& u;   // cell velocity (m/s)
  Array<double>& hl;  // face values of each cell: left and right depth,
  Array<double>& hr;
  Array<double>& ql;  // discharge
  Array<double>& qr;
  Array<double>& ul;  // and velocity
  Array<double>& ur;
  Array<double>& ap;  // faces 0..M: one-sided local speeds
  Array<double>& am;
  Array<double>& Fh;  // and fluxes of depth and discharge
  Array<double>& Fq;
  Array<double>& Sh;  // cell sources of depth and discharge
  Array<double>& Sq;
  RhsScratch& points;  // values at the quadrature points
};

// Everything one evaluation reads and writes but the state and its
// derivatives, and how it runs: on the calling thread alone (team null) or
// shared with a team's threads, on vectors (AVX-512 with a Manning power path
// on AVX-512, else AVX2, where the processor has them) or not (avx2 false);
// the results are the same bit for bit either way.
struct RhsView {
  RhsChannel channel;
  RhsEnds ends;
  RhsResults out;
  Team* team;
  bool avx2;
  PowPath pow_path;
};

// The semi-discrete right-hand side of the Saint-Venant equations on the
// finite-volume grid: face reconstruction, desingularised face velocities,
// one-sided local speeds, central-upwind fluxes with the boundary treatment of
// both ends, and the cell sources by a ten-point midpoint rule.
//
// y(1..M) are the cell depths, y(M+1..2M) the unit discharges, n = 2M; dydx
// receives their time derivatives, v.out the values of this evaluation. The
// equations do not depend on time.
void saint_venant_rhs(const RhsView& v, const Array<double>& y, Array<double>& dydx, int n);

}  // namespace quarno
