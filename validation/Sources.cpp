// Sources along the reach: the fully mixed jump below a point source, a
// uniform distributed inflow and its mixing profile, an abstraction that
// takes water at the stream's concentration, and the convergence of a point
// source's jump with the cell length.
#include "Cases.hpp"

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "Analytic.hpp"

namespace quarno::test {

namespace {

// Steady flow needs the inflow's waves to settle and the tracer three
// flushing times of the 2000 m reach: three hours.
constexpr double kSteadyTime = 10800.0;
constexpr double kSourceX = 1000.0;  // m: the point sources' position
// 0.1%, plus half a unit in the fourth printed digit of a value from 1 to 10
// (profile rows print four digits).
constexpr double kRelTol = 1e-3 + 5e-4;

// The tracer channel with concentration 1 at the inlet and everywhere at the
// start, a dispersivity of 10 m (a cell Peclet number of 2.5 at 81 nodes:
// at much larger ones a lasting jump in concentration sets off travelling
// wiggles of a few per cent in the transport scheme, with groundwater inflow
// as with sources), run until steady.
Reach mixing_channel(int Nfdn, double aL = 10.0) {
  Reach r = tracer_channel(Nfdn, kSteadyTime, aL);
  r.C = 1.0;
  return r;
}

std::string point_source(double x, double Q, double C) {
  return fmt("[[source]]\nname = \"source\"\nx = %.17g\ntimes = [0.0]\ndischarge = [%.17g]\n"
             "concentration = [%.17g]\n",
             x, Q, C);
}

// Runs the deck with the forcing file; the one profile block at the end.
bool run_with_sources(const Reach& r, const std::string& forcing, Profile& p, std::string& why,
                      std::string* results = nullptr) {
  ScratchFolder folder(param_text(r), bicond_text(r));
  folder.put("crforcing.toml", forcing);
  const int status = folder.run();
  RunResult res;
  res.results = folder.get("crOutput.txt");
  if (results != nullptr) *results = res.results;
  if (status != 0) {
    why = "exit status " + std::to_string(status) + ": " + folder.get("errors.txt");
    return false;
  }
  return one_profile(res, r.Nfdn - 1, p, why);
}

// Largest relative difference of the cells' printed Q and C from the exact
// values, over the cells whose centre lies in [x0, x1].
struct Departure {
  double Q = 0, C = 0;
};
template <class Exact>
Departure departure(const Profile& p, double x0, double x1, Exact exact) {
  Departure d;
  const double dx = p.X.size() > 1 ? p.X[1] - p.X[0] : 0.0;
  for (std::size_t i = 0; i < p.X.size(); ++i) {
    if (p.X[i] < x0 || p.X[i] > x1) continue;
    double Q, C0, C1, unused;
    exact(p.X[i], Q, unused);
    exact(p.X[i] - dx / 2, unused, C0);  // the printed C is the mean of the two nodes
    exact(p.X[i] + dx / 2, unused, C1);
    d.Q = worse(d.Q, std::fabs(p.Q[i] - Q) / Q);
    d.C = worse(d.C, std::fabs(p.C[i] - (C0 + C1) / 2) / ((C0 + C1) / 2));
  }
  return d;
}

// The number after the last occurrence of `label` in the results (NaN when
// there is none).
double last_value_after(const std::string& results, const std::string& label) {
  const std::size_t at = results.rfind(label);
  if (at == std::string::npos) return NAN;
  return std::strtod(results.c_str() + at + label.size(), nullptr);
}

}  // namespace

// 10a. The fully mixed jump below a steady point source.
std::vector<Outcome> mixed_jump_case() {
  const std::string name = "10a point source, mixed jump";
  const double Qs = 2.0, Cs = 4.0;
  const Reach r = mixing_channel(81);
  Profile p;
  std::string why;
  if (!run_with_sources(r, point_source(kSourceX, Qs, Cs), p, why)) return {failure(name, why)};
  const double Qd = kDischarge + Qs, Cd = (kDischarge * 1.0 + Qs * Cs) / Qd;
  auto exact = [&](double x, double& Q, double& C) {
    Q = x < kSourceX ? kDischarge : Qd;
    C = x < kSourceX ? 1.0 : Cd;
  };
  // Away from the source's cell and the dispersion layer around it.
  const double margin = 100.0;
  const Departure up = departure(p, 0.0, kSourceX - margin, exact);
  const Departure down = departure(p, kSourceX + margin, r.L, exact);
  return {at_most(name, "max |Q-Qu-Qs|/Q below", down.Q, kRelTol),
          at_most(name, "max |C-(QuCu+QsCs)/(Qu+Qs)|/C below", down.C, kRelTol),
          at_most(name, "max rel. difference of Q, C above", worse(up.Q, up.C), kRelTol)};
}

// 10b. A uniform distributed inflow over the lower three quarters of the
// reach: Q(x) = Q0 + q (x - x0) below x0, and the solute mixed into it,
// Cm(x) = (Q0 C0 + q Cs (x - x0))/Q(x), carried by advection and dispersion.
// Steady, Q C - D A C' = Q Cm with D A/Q = aL, so C = Cm + aL Cm' + aL^2 Cm''
// + ...; the third term is below 1e-5 here. (The stretch starts away from the
// inlet: a flux inlet takes the face discharge that cell 1's reconstruction
// gives it, so a gradient of q in cell 1 would move the inflow itself.)
std::vector<Outcome> distributed_inflow_case() {
  const std::string name = "10b uniform distributed inflow";
  const double Qs = 1.5, Cs = 4.0, x0 = 500.0;
  const Reach r = mixing_channel(81);
  const double q = Qs / (r.L - x0);
  const std::string forcing =
      fmt("[[source]]\nname = \"seepage\"\nx = %.17g\nx_to = %.17g\ntimes = [0.0]\n"
          "discharge = [%.17g]\nconcentration = [%.17g]\n",
          x0, r.L, Qs, Cs);
  Profile p;
  std::string why;
  if (!run_with_sources(r, forcing, p, why)) return {failure(name, why)};
  auto exact = [&](double x, double& Q, double& C) {
    const double added = q * std::max(0.0, x - x0);
    Q = kDischarge + added;
    const double Cm = (kDischarge * 1.0 + added * Cs) / Q;
    C = Cm + r.aL * (x > x0 ? q * (Cs - Cm) / Q : 0.0);
  };
  const Departure flow = departure(p, 0.0, r.L, exact);
  // Away from the kink at x0 and the outlet, where the series does not hold.
  const Departure mixed = departure(p, x0 + 10 * r.aL, r.L - 10 * r.aL, exact);
  Outcome oc = at_most(name, "max |C-(Cm+aL Cm')|/C", mixed.C, kRelTol);
  return {at_most(name, "max |Q-(Q0+q(x-x0))|/Q", flow.Q, kRelTol), oc};
}

// 10c. An abstraction takes water at the stream's concentration: below it
// the discharge drops by its rate and the concentration does not change.
std::vector<Outcome> abstraction_case() {
  const std::string name = "10c abstraction";
  const double Qs = -2.0;
  Reach r = mixing_channel(81);
  Profile p;
  std::string why;
  // The inflow concentration is ignored for an abstraction.
  std::string results;
  if (!run_with_sources(r, point_source(kSourceX, Qs, 1000.0), p, why, &results))
    return {failure(name, why)};
  auto exact = [&](double x, double& Q, double& C) {
    Q = x < kSourceX ? kDischarge : kDischarge + Qs;
    C = 1.0;
  };
  const double margin = 100.0;
  const Departure down = departure(p, kSourceX + margin, r.L, exact);
  const Departure up = departure(p, 0.0, kSourceX - margin, exact);
  // The solute it took, as the balance report counts it: |Qs| C T with C = 1.
  const double taken = last_value_after(results, "QCSrcOut=");
  const double expected = -Qs * 1.0 * kSteadyTime;
  return {at_most(name, "max |Q-Qu-Qs|/Q below", down.Q, kRelTol),
          at_most(name, "max |Q-Qu|/Q above", up.Q, kRelTol),
          at_most(name, "max |C-Cu|/C everywhere", worse(up.C, down.C), kRelTol),
          at_most(name, "|QCSrcOut-|Qs| Cu T|/(|Qs| Cu T), printed", std::fabs(taken - expected) / expected,
                  half_unit(expected, 3) / expected)};
}

// 10d. The jump of a point source is spread over the cell that holds it:
// the L1 distance of the cell profile of Q from the exact step shrinks in
// proportion to the cell length.
std::vector<Outcome> jump_convergence_case() {
  const std::string name = "10d point source, dx -> 0";
  const double Qs = 2.0;
  std::vector<double> dxs, errors;
  for (int Nfdn : {41, 81, 161}) {
    const Reach r = mixing_channel(Nfdn);
    Profile p;
    std::string why;
    if (!run_with_sources(r, point_source(kSourceX + 10.0, Qs, 1.0), p, why))
      return {failure(name, why)};
    const double dx = r.L / (Nfdn - 1);
    double e = 0;
    for (std::size_t i = 0; i < p.X.size(); ++i) {
      const double xl = p.X[i] - dx / 2, xr = p.X[i] + dx / 2;
      const double xs = kSourceX + 10.0;
      // The exact step integrated over the cell against the cell's value.
      const double below = std::max(0.0, std::min(xr, xs) - xl);
      const double above = dx - below;
      e += std::fabs(p.Q[i] - kDischarge) * below + std::fabs(p.Q[i] - kDischarge - Qs) * above;
    }
    dxs.push_back(dx);
    errors.push_back(e);
  }
  const double order = std::log(errors[0] / errors[2]) / std::log(dxs[0] / dxs[2]);
  Outcome o = at_least(name, "observed order of the L1 error of Q", order, 0.8);
  o.notes.push_back(fmt("L1 error (m4/s) at dx = 50, 25, 12.5 m: %.4g, %.4g, %.4g",
                        errors[0], errors[1], errors[2]));
  return {o};
}

}  // namespace quarno::test
