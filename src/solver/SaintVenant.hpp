#pragma once

#include "model/Model.hpp"

namespace quarno {

// The semi-discrete right-hand side of the Saint-Venant equations on the
// finite-volume grid: face reconstruction, desingularised face velocities,
// one-sided local speeds, central-upwind fluxes with the boundary treatment of
// both ends, and the cell sources by a ten-point midpoint rule.
//
// y(1..M) are the cell depths, y(M+1..2M) the unit discharges; dydx receives
// their time derivatives. The cell fields h, q, u and the face arrays of
// m.flow keep the values of this evaluation. x (time) is not used. When
// m.team is set, its threads share the cells; the results are the same bit
// for bit, as they are with m.settings.avx2 either way.
void saint_venant_rhs(Model& m, double x, const Array<double>& y, Array<double>& dydx, int n);

}  // namespace quarno
