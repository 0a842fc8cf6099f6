// Analytic and semi-analytic solutions the validation cases compare with,
// and the model constants they need.
#pragma once

namespace quarno::test {

// Constants as the model holds them (single-precision literals widened).
constexpr double kG = 9.807000160217285;
constexpr double kManningPower = 1.333299994468689;  // on R in the friction slope
constexpr double kCourant = 0.4000000059604645;

// Normal depth of a rectangular channel: q = u h with u = S^(1/2) R^(p/2) / n,
// R = B h / (B + 2h). p = 4/3 is Manning's law; the model uses p = 1.3333.
double normal_depth(double q, double B, double n, double S, double p);

// Gradually varied flow in a rectangular channel with the model's friction
// law (Chow 1959): dh/dx = (S0 - Sf) / (1 - Fr^2), Sf = n^2 u|u| / R^1.3333,
// Fr^2 = q^2 / (g h^3).
double gvf_slope(double h, double q, double B, double n, double S0);

// Depth at x < x0 on the profile through (x0, h0), by classical RK4 upstream
// with steps of at most 0.1 m.
double gvf_depth(double x, double x0, double h0, double q, double B, double n, double S0);

// Dam break on a flat frictionless bed at rest: depth hl left of the dam, hr
// to the right. Ritter (1892) for a dry bed (hr = 0); Stoker (1957) for a
// wet one, the middle state joining the rarefaction to a shock. The depth
// depends on xi = (x - x_dam) / t only.
struct DamBreak {
  double hl, hr, hm = 0, um = 0, shock = 0;

  DamBreak(double hl_, double hr_);
  double depth(double xi) const;
};

// Ogata & Banks (1961): a step C0 = 1 held at x = 0 of a semi-infinite column
// from t = 0, with velocity u and dispersion D.
double ogata_banks(double x, double t, double u, double D);

}  // namespace quarno::test
