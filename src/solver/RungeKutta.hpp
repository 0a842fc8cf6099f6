// One quality-controlled Runge-Kutta step: England's embedded pair of six
// stages (a fourth-order result and a fifth-order companion), the difference
// of the two as the error estimate, shrinking retries until the scaled error
// is within the tolerance, local extrapolation to the fifth-order result,
// and a proposal for the next step size.
#pragma once

#include <cmath>

#include "model/Array.hpp"

namespace quarno {

namespace rk {
constexpr double kSafety = 0.8999999761581421;         // 0.9 in single precision
constexpr double kShrink = -0.25;
constexpr double kGrow = -0.20000000298023224;         // -0.2 in single precision
constexpr double kGrowThreshold = 0.0006000000284984708;  // 6e-4 in single precision
}  // namespace rk

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

// What happened in a step besides its result, for the caller to report.
enum class RkEvent {
  none,
  // A trial step was too small to change x (the caller shows "Stepsize not
  // significant in RKQC."); the step went on and was accepted.
  not_significant,
  // As not_significant, and a further trial too small to change x still had
  // too large an error: the step could only shrink further and would never
  // end, so it stopped there. x and y are not a result.
  cannot_advance,
};

struct RkStep {
  double h_did;   // the step taken
  double h_next;  // the step proposed next
  RkEvent event;
};

// rhs(t, yt, k, n) evaluates the derivative. Advances x and y by h_did and
// proposes h_next.
template <class Rhs>
RkStep rk_step(const RkWork& w, Array<double>& y, const Array<double>& dydx, int n, double& x,
               double h_try, double eps_tol, const Array<double>& y_scale, Rhs&& rhs) {
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
  RkEvent event = RkEvent::none;
  bool insignificant_before = false;  // an earlier trial too small to change x
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
    const bool insignificant = x == x0;
    if (insignificant) event = RkEvent::not_significant;

    err_max = 0.0;
    for (int i = 1; i <= n; ++i) {
      const double r = std::fabs(err(i) / y_scale(i));
      if (!(err_max > r)) err_max = r;
    }
    err_max = err_max / eps_tol;
    if (!(err_max > 1.0)) break;  // accepted, also when err_max is not a number
    if (insignificant && insignificant_before) return RkStep{h, h, RkEvent::cannot_advance};
    insignificant_before = insignificant_before || insignificant;
    h = (h * kSafety) * std::pow(err_max, kShrink);
  }
  RkStep step{h, 0.0, event};
  if (err_max > kGrowThreshold)
    step.h_next = (h * kSafety) * std::pow(err_max, kGrow);
  else
    step.h_next = 4 * h;
  for (int i = 1; i <= n; ++i) y(i) = y(i) + err(i);
  return step;
}

}  // namespace quarno
