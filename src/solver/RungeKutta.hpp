// One trial of England's embedded Runge-Kutta pair of six stages: a
// fourth-order result and a fifth-order companion from the same stage
// derivatives, the difference of the two as the error estimate, and its
// scaled norm. The step controller (solver/StepController.hpp) decides from
// that norm whether to shrink and try again or to accept the step.
#pragma once

#include <cmath>

#include "model/Array.hpp"

namespace quarno {

// The scratch of a step, each array with room for the state vector: the
// saved start state and derivative, the stage state, the further stage
// derivatives and the error estimate of the last trial.
struct RkWork {
  Array<double>& y0;
  Array<double>& k1;
  Array<double>& yt;
  Array<double>& k2;
  Array<double>& k3;
  Array<double>& k4;
  Array<double>& k5;
  Array<double>& k6;
  Array<double>& err;
};

// Saves the start of a step: the state y and its derivative dydx into y0
// and k1, from which every trial of the step starts.
inline void rk_start(const RkWork& w, const Array<double>& y, const Array<double>& dydx, int n) {
  for (int i = 1; i <= n; ++i) {
    w.y0(i) = y(i);
    w.k1(i) = dydx(i);
  }
}

// One trial of step h from the saved start (x0, y0, k1): the fourth-order
// result into y, the error estimate (fifth-order result minus fourth-order)
// into w.err, and the returned error norm: the largest |err(i) / y_scale(i)|
// over eps_tol (not a number when an entry is not). rhs(t, yt, k, n)
// evaluates the derivative, five times a trial.
template <class Rhs>
double rk_trial(const RkWork& w, Array<double>& y, int n, double x0, double h,
                const Array<double>& y_scale, double eps_tol, Rhs&& rhs) {
  const Array<double>& y0 = w.y0;
  const Array<double>& k1 = w.k1;
  Array<double>& yt = w.yt;
  Array<double>& k2 = w.k2;
  Array<double>& k3 = w.k3;
  Array<double>& k4 = w.k4;
  Array<double>& k5 = w.k5;
  Array<double>& k6 = w.k6;
  Array<double>& err = w.err;
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

  double err_max = 0.0;
  for (int i = 1; i <= n; ++i) {
    const double r = std::fabs(err(i) / y_scale(i));
    if (!(err_max > r)) err_max = r;
  }
  return err_max / eps_tol;
}

// After an accepted trial: local extrapolation of y to the fifth-order
// result.
inline void rk_extrapolate(const RkWork& w, Array<double>& y, int n) {
  for (int i = 1; i <= n; ++i) y(i) = y(i) + w.err(i);
}

}  // namespace quarno
