#pragma once

#include <algorithm>

namespace quarno {

// Generalised minmod of three slopes: the smallest when none is negative and
// one is positive, the largest when none is positive and one is negative,
// otherwise 0. A zero among same-signed slopes therefore gives 0.
inline double minmod(double a, double b, double c) {
  const bool any_neg = a < 0.0 || b < 0.0 || c < 0.0;
  const bool any_pos = a > 0.0 || b > 0.0 || c > 0.0;
  if (!any_neg && any_pos) return std::min(a, std::min(b, c));
  if (!any_pos && any_neg) return std::max(a, std::max(b, c));
  return 0.0;
}

// Piecewise-linear reconstruction of one cell value vc between its
// neighbours vl and vr (centres dx apart), limited by the generalised minmod
// with parameter theta, evaluated at the faces xfa and xfb.
inline void reconstruct(double vc, double vl, double vr, double theta, double xc, double dx,
                        double& vfa, double xfa, double& vfb, double xfb) {
  const double db = (vc - vl) * theta / dx;
  const double dc = (vr - vl) / (2.0 * dx);
  const double df = theta * (vr - vc) / dx;
  const double s = minmod(db, dc, df);
  vfa = (xfa - xc) * s + vc;
  vfb = vc + s * (xfb - xc);
}

}  // namespace quarno
