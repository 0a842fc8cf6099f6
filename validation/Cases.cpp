#include "Cases.hpp"

#include <cmath>

#include "Analytic.hpp"

namespace quarno::test {

Reach uniform_channel(int Nfdn, double L, double h_start, double T) {
  Reach r;
  r.Nfdn = Nfdn;
  r.L = L;
  r.width0 = r.width1 = kWidth;
  r.slope = kSlope;
  r.rough = kRough;
  r.NB0 = 1;
  r.NBL = 1;
  r.Q = kDischarge;
  r.h0 = r.h1 = h_start;
  r.schedule = {{T, h_start, kDischarge, 0.0}};
  r.tout = {T};
  return r;
}

double channel_normal_depth() {
  return normal_depth(kDischarge / kWidth, kWidth, kRough, kSlope, kManningPower);
}

double channel_velocity() { return kDischarge / kWidth / channel_normal_depth(); }

Reach tracer_channel(int Nfdn, double T, double aL) {
  const double hn = channel_normal_depth();
  Reach r = uniform_channel(Nfdn, 2000.0, hn, T);
  r.NTr = 1;
  r.aL = aL;
  r.C = 0.0;
  r.schedule = {{T, hn, kDischarge, 1.0}};
  return r;
}

DecayDeparture decay_departure(const Profile& p, const Reach& r, double K) {
  DecayDeparture d;
  const double u = channel_velocity();
  const double D = r.aL * u;
  d.lambda = (u - std::sqrt(u * u + 4 * D * K)) / (2 * D);
  d.dx = r.L / (r.Nfdn - 1);
  for (int i = 0; i + 1 < r.Nfdn; ++i) {
    const double x0 = i * d.dx, x1 = (i + 1) * d.dx;
    if (x1 > r.L - 10 * r.aL) break;
    const double exact = 0.5 * (std::exp(d.lambda * x0) + std::exp(d.lambda * x1));
    d.worst = worse(d.worst, std::fabs(p.C[i] - exact) / exact);
    d.print = std::max(d.print, half_unit(exact, 4) / exact);
  }
  return d;
}

double channel_step(double dx) {
  const double h = channel_normal_depth();
  return kCourant * dx / (channel_velocity() + std::sqrt(kG * h));
}

Reach closed_pool() {
  Reach r;
  r.NTr = 1;
  r.aL = 2.0;
  r.schedule = {{3600.0, 1.0, 0.0, 0.0}};
  r.tout = {1800.0, 3600.0};
  return r;
}

}  // namespace quarno::test
