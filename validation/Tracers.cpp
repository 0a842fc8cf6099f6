// Transport of a tracer: a step front, first-order decay and transient
// storage.
#include "Cases.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "Analytic.hpp"

namespace quarno::test {

// 5. Step injection against Ogata & Banks.

std::vector<Outcome> ogata_banks_case() {
  const std::string name = "5 Ogata-Banks step";
  const double aL = 10.0, T = 1000.0;
  const double u = channel_velocity();
  const double D = aL * u;
  const double sigma = std::sqrt(2 * D * T);  // standard deviation of the front
  const double print = half_unit(0.9, 4);     // concentrations below 1 print to 1e-4
  std::vector<Outcome> out;
  for (int Nfdn : {201, 401}) {
    const Reach r = tracer_channel(Nfdn, T, aL);
    std::string why;
    const RunResult res = run(r, why);
    Profile p;
    if (!why.empty() || !one_profile(res, Nfdn - 1, p, why)) return {failure(name, why)};
    const double dx = r.L / (Nfdn - 1);
    const double deficit = u * u * channel_step(dx) / 2;  // dispersion lost to explicit advection
    double err = 0, err_eff = 0;
    for (int i = 0; i + 1 < Nfdn; ++i) {
      // The printed C is the mean of the cell's two nodes.
      const double x0 = i * dx, x1 = (i + 1) * dx;
      const double exact = 0.5 * (ogata_banks(x0, T, u, D) + ogata_banks(x1, T, u, D));
      const double eff =
          0.5 * (ogata_banks(x0, T, u, D - deficit) + ogata_banks(x1, T, u, D - deficit));
      err = worse(err, std::fabs(p.C[i] - exact));
      err_eff = worse(err_eff, std::fabs(p.C[i] - eff));
    }
    // First order in time: |dC/dD| <= 0.121/D across the front, times the
    // lost u^2 dt/2. Second order in space: (dx/sigma)^2.
    const double tol = 0.121 * deficit / D + (dx / sigma) * (dx / sigma) + print;
    Outcome o = at_most(name, fmt("max |C-C_exact|/C0, dx=%g", dx), err, tol);
    o.notes.push_back(fmt("u^2 dt/2 = %.3f m2/s, %.1f%% of D; against D - u^2 dt/2: %.5f",
                          deficit, 100 * deficit / D, err_eff));
    out.push_back(o);
  }
  return out;
}

// ---------------------------------------------------------------------------
// 6. First-order decay: the steady profile C0 exp(x (u - sqrt(u^2 + 4 D K)) / (2D)).

std::vector<Outcome> decay_case() {
  const std::string name = "6 decay steady state";
  // Three flushing times of the 2000 m reach: the front is 3700 m past the
  // outlet.
  const double aL = 10.0, K = 1e-3, T = 6000.0;
  const int Nfdn = 201;
  Reach r = tracer_channel(Nfdn, T, aL);
  r.Kdw = K;
  std::string why;
  const RunResult res = run(r, why);
  Profile p;
  if (!why.empty() || !one_profile(res, Nfdn - 1, p, why)) return {failure(name, why)};
  const DecayDeparture d = decay_departure(p, r, K);
  const double lambda = d.lambda, dx = d.dx, worst = d.worst, print = d.print;
  // In the steady state the time step drops out; the interior is second
  // order, the inlet face carries C0 instead of C(dx/2): the amplitude is off
  // by up to |lambda| dx / 2.
  Outcome o = at_most(name, "max |C-C_exact|/C_exact, x <= L-10aL", worst,
                      std::fabs(lambda) * dx / 2 + print);
  o.notes.push_back(fmt("lambda = %.6e 1/m, dx = %g m, last %g m left out", lambda, dx, 10 * aL));
  return {o};
}

// ---------------------------------------------------------------------------
// 7. Transient storage without decay fills to the inlet concentration.

std::vector<Outcome> storage_case() {
  const std::string name = "7 transient storage plateau";
  const int Nfdn = 41;
  // Retarded front speed u/(1+f), about 0.64 m/s: 12800 m from the inlet after 20000 s.
  Reach r = tracer_channel(Nfdn, 20000.0, 10.0);
  r.Alfa = 2e-3;
  r.f = 0.5;
  std::string why;
  const RunResult res = run(r, why);
  Profile p;
  if (!why.empty() || !one_profile(res, Nfdn - 1, p, why)) return {failure(name, why)};
  double dc = 0, ds = 0;
  for (std::size_t i = 0; i < p.C.size(); ++i) {
    dc = worse(dc, std::fabs(p.C[i] - 1.0));
    ds = worse(ds, std::fabs(p.Cs[i] - 1.0));
  }
  // 1 prints as 0.1000E+01: to half of 1e-3.
  return {at_most(name, "max |C-C0|/C0 stream", dc, half_unit(1.0, 4)),
          at_most(name, "max |Cs-C0|/C0 storage zone", ds, half_unit(1.0, 4))};
}

}  // namespace quarno::test
