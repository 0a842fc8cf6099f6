// Die-off that follows the weather: the steady decay profile with the rate a
// constant water temperature gives, and with the rate a constant light gives
// at the normal depth; under a diurnal light cycle, the concentration at a
// site against the rate integrated along a parcel's travel from the inlet.
#include "Cases.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "Analytic.hpp"

namespace quarno::test {

namespace {

// Runs the deck with the forcing file and the options; the results and the
// observation file.
bool run_with_weather(const Reach& r, const std::string& forcing, const std::string& options,
                      RunResult& res, std::string& why) {
  ScratchFolder folder(param_text(r), bicond_text(r));
  folder.put("crforcing.toml", forcing);
  res.status = folder.sh("\"$Q\" " + options + " </dev/null >console.txt 2>errors.txt");
  res.results = folder.get("crOutput.txt");
  res.obs = folder.get("crObsNode.txt");
  if (res.status != 0) {
    why = "exit status " + std::to_string(res.status) + ": " + folder.get("errors.txt");
    return false;
  }
  return true;
}

// The depth-averaged share of the surface irradiance, (1 - exp(-ke h))/(ke h).
double light_share(double ke, double h) { return (1 - std::exp(-ke * h)) / (ke * h); }

// The steady decay profile of the tracer channel (case 6) with the rate K:
// the largest relative departure of the printed C over the cells up to
// L - 10 aL, against the tolerance |lambda| dx/2 + print of case 6.
Outcome steady_decay(const std::string& name, const std::string& what, double Kdw, double K,
                     const std::string& forcing) {
  const double aL = 10.0, T = 6000.0;
  const int Nfdn = 201;
  Reach r = tracer_channel(Nfdn, T, aL);
  r.Kdw = Kdw;  // the deck's rate, at 20 degrees C
  RunResult res;
  std::string why;
  Profile p;
  if (!run_with_weather(r, forcing, "", res, why) || !one_profile(res, Nfdn - 1, p, why))
    return failure(name, why);
  const DecayDeparture d = decay_departure(p, r, K);
  const double lambda = d.lambda, dx = d.dx, worst = d.worst, print = d.print;
  Outcome o = at_most(name, what, worst, std::min(5e-3, std::fabs(lambda) * dx / 2 + print));
  o.notes.push_back(fmt("K = %.6e 1/s, lambda = %.6e 1/m, C(L-10aL) = %.4f", K, lambda,
                        std::exp(lambda * (r.L - 10 * aL))));
  return o;
}

}  // namespace

// 11a. Constant water temperature 12 degrees C, theta_w = 1.07:
// K = Kdw theta_w^(T-20).
std::vector<Outcome> temperature_decay_case() {
  const double Tw = 12.0, theta_w = 1.07;
  const std::string forcing = fmt(
      "[environment]\ntimes = [0.0]\ntemperature_C = [%.17g]\n\n"
      "[rates]\nx = [0.0]\ntheta_w = [%.17g]\n",
      Tw, theta_w);
  return {steady_decay("11a decay at 12 degrees C", "max |C-C_exact|/C_exact, x <= L-10aL", 1e-3,
                       1e-3 * std::pow(theta_w, Tw - 20), forcing)};
}

// 11b. Constant irradiance 400 W/m2, light_alpha = 2e-6 m2/(W s),
// extinction 1.5 1/m, no decay in the dark (Kdw = 0):
// K = alpha I0 (1 - exp(-ke h))/(ke h) at the normal depth.
std::vector<Outcome> light_decay_case() {
  const double I0 = 400.0, alpha = 2e-6, ke = 1.5;
  const std::string forcing = fmt(
      "[environment]\ntimes = [0.0]\nirradiance_W_per_m2 = [%.17g]\n\n"
      "[rates]\nx = [0.0]\nlight_alpha = [%.17g]\nextinction = [%.17g]\n",
      I0, alpha, ke);
  const double K = alpha * I0 * light_share(ke, channel_normal_depth());
  return {steady_decay("11b decay in constant light", "max |C-C_exact|/C_exact, x <= L-10aL", 0.0,
                       K, forcing)};
}

namespace {

// The integral from a to b of a series taken on straight lines between its
// times (exact: the trapezoid rule on every piece between the times).
double series_integral(const std::vector<double>& t, const std::vector<double>& v, double a,
                       double b) {
  auto at = [&](double s) {
    if (s <= t.front()) return v.front();
    if (s >= t.back()) return v.back();
    std::size_t j = 0;
    while (t[j + 1] <= s) ++j;
    return v[j] + (v[j + 1] - v[j]) * (s - t[j]) / (t[j + 1] - t[j]);
  };
  std::vector<double> cuts = {a};
  for (double s : t)
    if (s > a && s < b) cuts.push_back(s);
  cuts.push_back(b);
  double sum = 0;
  for (std::size_t k = 0; k + 1 < cuts.size(); ++k)
    sum += (at(cuts[k]) + at(cuts[k + 1])) * 0.5 * (cuts[k + 1] - cuts[k]);
  return sum;
}

}  // namespace

// 11c. A day of sunlight, hourly irradiance on a half sine from 6 to 18 h
// (800 W/m2 at noon), light_alpha = 2e-6 m2/(W s), extinction 1.5 1/m, no
// decay in the dark, on the steady flow of the tracer channel with C = 1
// everywhere at midnight. The water at a site x at time t entered at t - x/u
// and has since decayed at the rate alpha Ibar(t') of each moment:
// C = exp(-alpha f int_{t-x/u}^{t} I0(t') dt'), f the depth-averaged share of
// the light. Dispersion is kept small (aL = 1 m, cell Peclet number 5): the
// concentration varies smoothly along the reach, with no jump to set off
// wiggles.
std::vector<Outcome> diurnal_light_case() {
  const std::string name = "11c diurnal light cycle";
  const double Imax = 800.0, alpha = 2e-6, ke = 1.5, xs = 1500.0, day = 86400.0;
  const double aL = 1.0;
  const int Nfdn = 401;
  Reach r = tracer_channel(Nfdn, day, aL);
  r.C = 1.0;
  r.xobs = {xs};
  std::vector<double> times, I0;
  std::string t_text, i_text;
  for (int hour = 0; hour <= 24; ++hour) {
    const double phase = (hour - 6) / 12.0;
    times.push_back(3600.0 * hour);
    I0.push_back(phase > 0 && phase < 1 ? Imax * std::sin(M_PI * phase) : 0.0);
    t_text += fmt(hour == 0 ? "%.17g" : ", %.17g", times.back());
    i_text += fmt(hour == 0 ? "%.17g" : ", %.17g", I0.back());
  }
  const std::string forcing = "[environment]\ntimes = [" + t_text + "]\nirradiance_W_per_m2 = [" +
                              i_text + "]\n\n" +
                              fmt("[rates]\nx = [0.0]\nlight_alpha = [%.17g]\nextinction = "
                                  "[%.17g]\n",
                                  alpha, ke);
  RunResult res;
  std::string why;
  // The flow is steady: frozen, only the transport runs.
  if (!run_with_weather(r, forcing, "--steady-flow", res, why)) return {failure(name, why)};
  const std::vector<ObsRow> rows = read_obs(res.obs, 1);
  if (rows.size() < 1000) return {failure(name, "too few observation records")};
  const double u = channel_velocity();
  const double f = light_share(ke, channel_normal_depth());
  double worst = 0, lowest = 1, print = 0, at = 0;
  for (const ObsRow& row : rows) {
    const double exact =
        std::exp(-alpha * f * series_integral(times, I0, std::max(0.0, row.t - xs / u), row.t));
    const double e = std::fabs(row.C[0] - exact) / exact;
    if (!(e <= worst)) at = row.t;
    worst = worse(worst, e);
    lowest = std::min(lowest, exact);
    print = std::max(print, half_unit(exact, 5) / exact);
  }
  // As in case 6, the inlet face carries C0 instead of C(dx/2), which puts
  // the amplitude off by up to |lambda| dx/2, lambda = -K/u at the largest
  // rate; and dispersion shortens the decay length by D K/u^2 = aL K/u of the
  // exponent.
  const double Kmax = alpha * f * Imax;
  const double dx = r.L / (Nfdn - 1);
  const double tol = Kmax / u * dx / 2 + aL * Kmax / u * -std::log(lowest) + print;
  Outcome o = at_most(name, "max |C-C_parcel|/C_parcel at 1500 m, a day", worst,
                      std::min(5e-3, tol));
  o.notes.push_back(fmt("%.0f records; lowest C_parcel %.4f; largest departure at t = %.0f s; "
                        "print %.1e",
                        static_cast<double>(rows.size()), lowest, at, print));
  return {o};
}

}  // namespace quarno::test
