#pragma once

#include "model/Model.hpp"

namespace quarno {

// What the node hydraulics read and write: cells 1..M, nodes 1..N.
struct NodeHydraulicsView {
  int N;                        // nodes
  int M;                        // cells
  const Array<double>& hl;      // depth at the inlet face of each cell (m)
  const Array<double>& h;       // cell depth (m)
  const Array<double>& u;       // cell velocity (m/s)
  const double& qX0;            // unit discharge at the X = 0 face (m2/s)
  const Array<double>& WidthN;  // node width (m)
  Array<double>& hn;            // node depth (m)
  Array<double>& un;            // node velocity (m/s)
  Array<double>& An;            // node flow area (m2)
};

// Node depth, velocity and flow area after a flow step: node 1 from the
// inlet face of cell 1, interior nodes as the mean of their two cells, the
// last node from the last cell.
void node_hydraulics(const NodeHydraulicsView& v);

// The reach as the transport step reads it: nodes 1..N, cells 1..N-1.
struct TransportReach {
  int N;                        // nodes
  const Array<double>& X;       // node position (m)
  const Array<double>& dXN;     // node spacing X(k) - X(k-1) (m), 0 at both ends
  const Array<double>& VN;      // node control length (m)
  const Array<double>& WidthN;  // node width (m)
  const Array<double>& B;       // cell width (m)
};

// The transport parameters of every node.
struct TransportParams {
  const Array<double>& aLN;     // dispersivity (m)
  const Array<double>& ReN;     // entrainment rate
  const Array<double>& TauCRN;  // critical shear stress (N/m2)
  const Array<double>& fN;      // storage fraction
  const Array<double>& VsN;     // settling velocity (m/s)
  const Array<double>& AlfaN;   // storage exchange coefficient (1/s)
  const Array<double>& KdwN;    // decay rate in the water (1/s)
  const Array<double>& KdsN;    // die-off rate in the bed (1/s)
  const Array<double>& HbN;     // mixing layer thickness (m)
  const Array<double>& RbN;     // sediment bulk density (kg/m3)
  const Array<double>& GWUpwN;  // groundwater upwelling per unit length (m2/s)
  const Array<double>& CGWN;    // concentration of the upwelling water
};

// The flow over the step: the cells at its end, and the nodes.
struct TransportFlow {
  const Array<double>& h;       // cell depth (m)
  const Array<double>& u;       // cell velocity (m/s)
  const Array<double>& Q;       // cell discharge (m3/s)
  const Array<double>& un;      // node velocity (m/s)
  const Array<double>& An;      // node flow area at the end of the step (m2)
  const Array<double>& An_old;  // and at its start
};

// What the step advances, node by node.
struct TransportState {
  Array<double>& CN;     // stream-water concentration
  Array<double>& CsN;    // transient-storage concentration
  Array<double>& CbN;    // bed-sediment concentration
  Array<double>& TResC;  // resuspended amount per unit bed area so far
  Array<double>& TDepC;  // deposited amount per unit bed area so far
};

// Working values of a step, left for inspection.
struct TransportWork {
  Array<double>& E;    // resuspension rate, nodes
  Array<double>& P;    // deposition factor
  Array<double>& alb;  // new Cb = alb C + beb
  Array<double>& beb;
  Array<double>& als;  // new Cs = als C + bes
  Array<double>& bes;
  Array<double>& DA;   // dispersive conductance, cells
  Array<double>& Cf;   // advective face value
};

// The tridiagonal system of the stream concentration: rows 2..N-1 read
// -Dw(k) C(k-1) + Dg(k) C(k) - De(k) C(k+1) = R(k), row N has no De; the
// eliminated rows (a, b, r) and the solution C.
struct TridiagonalRows {
  Array<double>& Dw;
  Array<double>& Dg;
  Array<double>& De;
  Array<double>& R;
  Array<double>& a;
  Array<double>& b;
  Array<double>& r;
  Array<double>& C;
};

// What the step moved at each node, kept for the observation records: the
// bed shear stress (N/m2), resuspension and settling per unit bed area as the
// resuspended and deposited totals count them (rates times the concentrations
// at the start of the step), and the exchange into the storage zone per unit
// length from the new concentrations, AlfaN An (C - Cs).
struct TransportFluxes {
  Array<double>& tau;
  Array<double>& resus;
  Array<double>& settle;
  Array<double>& exchange;
};

// The sources along the reach at every node, held over the step: the load
// they bring per unit length and the rate per unit length at which they take
// stream water (at the new stream concentration). Without sources `on` is
// false and the arrays are not read.
struct TransportSources {
  bool on;
  const Array<double>& loadN;  // amount/(m s)
  const Array<double>& outN;   // m2/s
};

struct TransportView {
  TransportReach reach;
  TransportParams par;
  TransportFlow flow;
  TransportState state;
  TransportWork work;
  TridiagonalRows rows;
  TransportFluxes fluxes;
  TransportSources sources;
};

// One implicit transport step over the outer step dt with inlet
// concentration C0: concentrations in the stream (CN), the transient storage
// (CsN) and the bed (CbN) advance together. Storage and bed are eliminated
// node by node, leaving a tridiagonal system for the stream concentration
// that a scaled elimination solves. Also accumulates the resuspended and
// deposited amounts per node and keeps the step's fluxes.
void transport_step(const TransportView& v, double dt, double C0);

// Solves rows 1..N of the transport system: row 1 imposes C(1) = C0, rows
// 2..N the rows of s. Each eliminated row is a scaled triple (a, b, r)
// meaning a C(k) = b C(k+1) + r; vanishing pivots are stepped around and rows
// whose b outweighs a are solved upwards. Result in s.C.
void solve_scaled(const TridiagonalRows& s, int N, double C0);

}  // namespace quarno
