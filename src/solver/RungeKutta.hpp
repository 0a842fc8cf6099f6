// One trial of England's embedded Runge-Kutta pair of six stages: a
// fourth-order result and a fifth-order companion from the same stage
// derivatives, the difference of the two as the error estimate, and its
// scaled norm. The step controller (solver/StepController.hpp) decides from
// that norm whether to shrink and try again or to accept the step.
#pragma once

#include <cmath>

#include "model/Array.hpp"
#include "parallel/Share.hpp"

namespace quarno {

// The scratch of a step, each array with room for the state vector: the
// saved start state and derivative, the stage state, the further stage
// derivatives and the error estimate of the last trial; and the team that
// shares the step's loops over the state vector (null: the caller alone).
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
  Team* team = nullptr;
};

// Saves the start of a step: the state y and its derivative dydx into y0
// and k1, from which every trial of the step starts.
inline void rk_start(const RkWork& w, const Array<double>& y, const Array<double>& dydx, int n) {
  share_loop(w.team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i) {
      w.y0(i) = y(i);
      w.k1(i) = dydx(i);
    }
  });
}

// The error norm of entries i0..i1 taken in order from 0: each ratio
// |err(i) / y_scale(i)| replaces the norm unless the norm is larger, so a
// ratio that is not a number becomes the norm and the next ratio replaces it.
// `nan` tells whether a ratio was not a number.
inline double piece_error_norm(const Array<double>& err, const Array<double>& y_scale, int i0,
                               int i1, bool& nan) {
  double err_max = 0.0;
  bool any = false;
  for (int i = i0; i <= i1; ++i) {
    const double r = std::fabs(err(i) / y_scale(i));
    any = any || std::isnan(r);
    if (!(err_max > r)) err_max = r;
  }
  nan = any;
  return err_max;
}

// The error norm of entries 1..n from the norms of consecutive pieces, each
// taken from 0, in piece order; `reset` tells whether a piece holds a ratio
// that is not a number. The ratios are never negative, so the norm after a
// ratio that is not a number is the norm of the rest of its piece taken from
// 0: such a piece's norm replaces the one before. Otherwise the pieces'
// norms combine as their ratios do. The result is the norm taken over all
// the entries in order, bit for bit.
inline double combine_error_norms(const double* norm, const bool* reset, int pieces) {
  double err_max = 0.0;
  for (int p = 0; p < pieces; ++p) {
    if (reset[p] || !(err_max > norm[p])) err_max = norm[p];
  }
  return err_max;
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
  Team* team = w.team;
  share_loop(team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i) yt(i) = y0(i) + (h / 2) * k1(i);
  });
  rhs(x0 + h / 2, yt, k2, n);
  share_loop(team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i) yt(i) = y0(i) + (h / 4) * (k1(i) + k2(i));
  });
  rhs(x0 + h / 2, yt, k3, n);
  share_loop(team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i) yt(i) = y0(i) - h * k2(i) + (2 * h) * k3(i);
  });
  rhs(x0 + h, yt, k4, n);
  share_loop(team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i) yt(i) = y0(i) + (h / 27) * (7 * k1(i) + 10 * k2(i) + k4(i));
  });
  rhs(x0 + (2 * h) / 3, yt, k5, n);
  share_loop(team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i)
      yt(i) = y0(i) + (h / 625) * (28 * k1(i) - 125 * k2(i) + 546 * k3(i) + 54 * k4(i) -
                                   378 * k5(i));
  });
  rhs(x0 + h / 5, yt, k6, n);

  // The result, the error estimate and the norm, piece by piece while the
  // piece is in the cache.
  double norm[kMaxPieces];
  bool reset[kMaxPieces];
  const int pieces = share_pieces(team, n, [&](int p, int i0, int i1) {
    for (int i = i0; i <= i1; ++i) y(i) = y0(i) + (h / 6) * (k1(i) + 4 * k3(i) + k4(i));
    for (int i = i0; i <= i1; ++i)
      err(i) = (h / 336) * (-42 * k1(i) - 224 * k3(i) - 21 * k4(i) + 162 * k5(i) + 125 * k6(i));
    norm[p] = piece_error_norm(err, y_scale, i0, i1, reset[p]);
  });
  const double err_max = combine_error_norms(norm, reset, pieces);
  return err_max / eps_tol;
}

// After an accepted trial: local extrapolation of y to the fifth-order
// result.
inline void rk_extrapolate(const RkWork& w, Array<double>& y, int n) {
  share_loop(w.team, n, [&](int i0, int i1) {
    for (int i = i0; i <= i1; ++i) y(i) = y(i) + w.err(i);
  });
}

}  // namespace quarno
