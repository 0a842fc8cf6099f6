#include "solver/Heun.hpp"

#include <cmath>

#include "solver/SaintVenant.hpp"

namespace quarno {

bool heun_step(Model& m, double t, double dt) {
  Array<double>& y = m.flow.y;
  Array<double>& slope = m.step.dydx;
  Array<double>& y1 = m.step.ywork;
  const int n = m.grid.n;
  const int M = m.grid.M;
  saint_venant_rhs(m, t, y, slope, n);
  for (int i = 1; i <= n; ++i) y1(i) = y(i) + dt * slope(i);
  for (int i = 1; i <= M; ++i)
    if (!(y1(i) > 0.0)) return false;
  saint_venant_rhs(m, t + dt, y1, slope, n);
  for (int i = 1; i <= n; ++i) y(i) = 0.5 * y(i) + 0.5 * (y1(i) + dt * slope(i));
  for (int i = 1; i <= n; ++i)
    if (!std::isfinite(y(i)) || (i <= M && !(y(i) > 0.0))) return false;
  return true;
}

}  // namespace quarno
