#include "Analytic.hpp"

#include <algorithm>
#include <cmath>

namespace quarno::test {

double normal_depth(double q, double B, double n, double S, double p) {
  double lo = 1e-6, hi = 100.0;
  for (int k = 0; k < 200; ++k) {
    const double h = 0.5 * (lo + hi);
    const double R = B * h / (B + 2 * h);
    (std::sqrt(S) * std::pow(R, 0.5 * p) * h / n > q ? hi : lo) = h;
  }
  return 0.5 * (lo + hi);
}

double gvf_slope(double h, double q, double B, double n, double S0) {
  const double u = q / h;
  const double R = B * h / (B + 2 * h);
  const double Sf = n * n * u * std::fabs(u) / std::pow(R, kManningPower);
  return (S0 - Sf) / (1 - q * q / (kG * h * h * h));
}

double gvf_depth(double x, double x0, double h0, double q, double B, double n, double S0) {
  const int steps = std::max(1, static_cast<int>(std::ceil((x0 - x) / 0.1)));
  const double s = -(x0 - x) / steps;
  double h = h0;
  for (int k = 0; k < steps; ++k) {
    const double k1 = gvf_slope(h, q, B, n, S0);
    const double k2 = gvf_slope(h + 0.5 * s * k1, q, B, n, S0);
    const double k3 = gvf_slope(h + 0.5 * s * k2, q, B, n, S0);
    const double k4 = gvf_slope(h + s * k3, q, B, n, S0);
    h += s / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
  }
  return h;
}

DamBreak::DamBreak(double hl_, double hr_) : hl(hl_), hr(hr_) {
  if (hr <= 0) return;
  const double cl = std::sqrt(kG * hl);
  // Velocity behind the rarefaction minus velocity behind the shock, as
  // functions of the middle depth; they agree at hm.
  auto mismatch = [&](double h) {
    const double u_rare = 2 * (cl - std::sqrt(kG * h));
    const double u_shock = (h - hr) * std::sqrt(0.5 * kG * (h + hr) / (h * hr));
    return u_rare - u_shock;
  };
  double lo = hr, hi = hl;
  for (int k = 0; k < 200; ++k) {
    const double h = 0.5 * (lo + hi);
    (mismatch(h) > 0 ? lo : hi) = h;
  }
  hm = 0.5 * (lo + hi);
  um = 2 * (cl - std::sqrt(kG * hm));
  shock = hm * um / (hm - hr);
}

double DamBreak::depth(double xi) const {
  const double cl = std::sqrt(kG * hl);
  if (xi <= -cl) return hl;
  const double fan = (2 * cl - xi) * (2 * cl - xi) / (9 * kG);
  if (hr <= 0) return xi < 2 * cl ? fan : 0.0;
  if (xi <= um - std::sqrt(kG * hm)) return fan;
  return xi < shock ? hm : hr;
}

double ogata_banks(double x, double t, double u, double D) {
  const double s = 2 * std::sqrt(D * t);
  const double a = std::erfc((x - u * t) / s);
  const double b = std::erfc((x + u * t) / s);
  return 0.5 * (a + (b > 0 ? std::exp(u * x / D) * b : 0.0));
}

}  // namespace quarno::test
