#include "solver/Heun.hpp"

#include <cmath>

namespace quarno {

bool heun_step(const RhsView& flow, Array<double>& y, Array<double>& slope, Array<double>& y1,
               int M, double dt) {
  const int n = 2 * M;
  saint_venant_rhs(flow, y, slope, n);
  for (int i = 1; i <= n; ++i) y1(i) = y(i) + dt * slope(i);
  for (int i = 1; i <= M; ++i)
    if (!(y1(i) > 0.0)) return false;
  saint_venant_rhs(flow, y1, slope, n);
  for (int i = 1; i <= n; ++i) y(i) = 0.5 * y(i) + 0.5 * (y1(i) + dt * slope(i));
  for (int i = 1; i <= n; ++i)
    if (!std::isfinite(y(i)) || (i <= M && !(y(i) > 0.0))) return false;
  return true;
}

}  // namespace quarno
