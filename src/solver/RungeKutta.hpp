// One quality-controlled Runge-Kutta step: England's embedded pair of six
// stages (a fourth-order result and a fifth-order companion), the difference
// of the two as the error estimate, shrinking retries until the scaled error
// is within the tolerance, local extrapolation to the fifth-order result,
// and a proposal for the next step size.
#pragma once

#include <cmath>

#include "model/Model.hpp"
#include "model/Errors.hpp"

namespace quarno {

namespace rk {
constexpr double kSafety = 0.8999999761581421;         // 0.9 in single precision
constexpr double kShrink = -0.25;
constexpr double kGrow = -0.20000000298023224;         // -0.2 in single precision
constexpr double kGrowThreshold = 0.0006000000284984708;  // 6e-4 in single precision
}  // namespace rk

// rhs(t, yt, k, n) evaluates the derivative; pause(message) shows a console
// pause. Advances x and y by h_did and proposes h_next. A trial step too
// small to change x shows "Stepsize not significant in RKQC." once per call;
// a further such trial whose error is still too large throws
// NumericalFailure, since the step could only shrink further and the call
// would never return.
template <class Rhs, class Pause>
void rk_step(StepScratch& w, Array<double>& y, const Array<double>& dydx, int n, double& x,
             double h_try, double eps_tol, const Array<double>& y_scale, double& h_did,
             double& h_next, Rhs&& rhs, Pause&& pause) {
  using namespace rk;
  Array<double>& y0 = w.y0;
  Array<double>& k1 = w.k1;
  Array<double>& yt = w.yt;
  Array<double>& k2 = w.k2;
  Array<double>& k3 = w.k3;
  Array<double>& k4 = w.k4;
  Array<double>& k5 = w.k5;
  Array<double>& k6 = w.k6;
  Array<double>& err = w.err;

  for (int i = 1; i <= n; ++i) {
    y0(i) = y(i);
    k1(i) = dydx(i);
  }
  const double x0 = x;
  double h = h_try;
  bool insignificant_seen = false;
  double err_max;
  while (true) {
    for (int i = 1; i <= n; ++i) yt(i) = y0(i) + (h / 2) * k1(i);
    rhs(x0 + h / 2, yt, k2, n);
    for (int i = 1; i <= n; ++i) yt(i) = y0(i) + (h / 4) * (k1(i) + k2(i));
    rhs(x0 + h / 2, yt, k3, n);
    for (int i = 1; i <= n; ++i) yt(i) = y0(i) - h * k2(i) + (2 * h) * k3(i);
    rhs(x0 + h, yt, k4, n);
    for (int i = 1; i <= n; ++i) yt(i) = y0(i) + (h / 27) * (7 * k1(i) + 10 * k2(i) + k4(i));
    rhs(x0 + (2 * h) / 3, yt, k5, n);
    for (int i = 1; i <= n; ++i)
      yt(i) = y0(i) + (h / 625) * (28 * k1(i) - 125 * k2(i) + 546 * k3(i) + 54 * k4(i) -
                                   378 * k5(i));
    rhs(x0 + h / 5, yt, k6, n);
    for (int i = 1; i <= n; ++i) y(i) = y0(i) + (h / 6) * (k1(i) + 4 * k3(i) + k4(i));
    for (int i = 1; i <= n; ++i)
      err(i) = (h / 336) * (-42 * k1(i) - 224 * k3(i) - 21 * k4(i) + 162 * k5(i) + 125 * k6(i));
    x = x0 + h;
    bool insignificant = false;
    if (x == x0) {
      insignificant = true;
      if (!insignificant_seen) pause("Stepsize not significant in RKQC.");
    }

    err_max = 0.0;
    for (int i = 1; i <= n; ++i) {
      const double r = std::fabs(err(i) / y_scale(i));
      if (!(err_max > r)) err_max = r;
    }
    err_max = err_max / eps_tol;
    if (!(err_max > 1.0)) break;  // accepted, also when err_max is not a number
    if (insignificant && insignificant_seen)
      throw NumericalFailure("The flow solution cannot advance at t = " + show_number(x0) + " s.");
    insignificant_seen = insignificant_seen || insignificant;
    h = (h * kSafety) * std::pow(err_max, kShrink);
  }
  h_did = h;
  if (err_max > kGrowThreshold)
    h_next = (h * kSafety) * std::pow(err_max, kGrow);
  else
    h_next = 4 * h;
  for (int i = 1; i <= n; ++i) y(i) = y(i) + err(i);
}

}  // namespace quarno
