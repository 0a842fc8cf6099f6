#pragma once

#include "model/Model.hpp"

namespace quarno {

// Node depth, velocity and flow area after a flow step: node 1 from the
// inlet face of cell 1, interior nodes as the mean of their two cells, the
// last node from the last cell.
void node_hydraulics(Model& m);

// One implicit transport step over the outer step dt with inlet
// concentration C0: concentrations in the stream (CN), the transient storage
// (CsN) and the bed (CbN) advance together. Storage and bed are eliminated
// node by node, leaving a tridiagonal system for the stream concentration
// that a scaled elimination solves. Also accumulates the resuspended and
// deposited amounts per node.
void transport_step(Model& m, double dt, double C0);

// Solves rows 1..N of the transport system: row 1 imposes C(1) = C0, rows
// 2..N-1 read -Dw(k) C(k-1) + Dg(k) C(k) - De(k) C(k+1) = R(k), row N
// -Dw(N) C(N-1) + Dg(N) C(N) = R(N). Each eliminated row is a scaled triple
// (a, b, r) meaning a C(k) = b C(k+1) + r; vanishing pivots are stepped
// around and rows whose b outweighs a are solved upwards. Result in t.C.
void solve_scaled(Transport& t, int N, double C0);

}  // namespace quarno
