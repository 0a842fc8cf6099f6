#include "run/Weather.hpp"

#include <cmath>
#include <vector>

#include "input/TableMap.hpp"
#include "run/Sources.hpp"

namespace quarno {

namespace {

// One column of the rates table onto the nodes: each node takes its row's
// value by the deck's step rule, whose last segment reaches the last node;
// a repeated last row makes the table's last row hold to X = L.
void map_rate_column(const std::vector<double>& x, const std::vector<double>& column,
                     double fallback, const Grid& gr, int N, Array<double>& node) {
  node.resize(1, N);
  if (column.empty()) {
    node.fill(fallback);
    return;
  }
  const int n = static_cast<int>(x.size());
  Array<double> xs, vs;
  xs.resize(1, n + 1);
  vs.resize(1, n + 1);
  for (int r = 1; r <= n; ++r) {
    xs(r) = x[static_cast<std::size_t>(r - 1)];
    vs(r) = column[static_cast<std::size_t>(r - 1)];
  }
  xs(n + 1) = xs(n);
  vs(n + 1) = vs(n);
  map_table(vs, xs, node, gr.X, n + 1, N, 0);
}

// The rates of every node at the environment's present values and the node
// depths `hn`.
void rates_at_depths(Model& m, const Array<double>& hn) {
  WeatherFields& w = m.weather;
  const NodeFields& nf = m.nodes;
  const double dT = w.T - 20.0;
  for (int k = 1; k <= m.run.Nfdn; ++k) {
    const double Ibar = depth_mean_irradiance(w.I0, w.extinctionN(k), hn(k));
    w.KwN(k) = nf.KdwN(k) * std::pow(w.theta_wN(k), dT) + w.light_alphaN(k) * Ibar;
    w.KbN(k) = nf.KdsN(k) * std::pow(w.theta_bN(k), dT);
  }
}

}  // namespace

double depth_mean_irradiance(double I0, double ke, double h) {
  const double z = ke * h;
  if (!(z > 0.0)) return I0;
  return I0 * (-std::expm1(-z) / z);
}

void locate_weather(Model& m) {
  if (!m.forcing.weather()) return;
  WeatherFields& w = m.weather;
  const RateTable& rt = m.forcing.rates;
  const int N = m.run.Nfdn;
  map_rate_column(rt.x, rt.theta_w, 1.0, m.grid, N, w.theta_wN);
  map_rate_column(rt.x, rt.theta_b, 1.0, m.grid, N, w.theta_bN);
  map_rate_column(rt.x, rt.light_alpha, 0.0, m.grid, N, w.light_alphaN);
  map_rate_column(rt.x, rt.extinction, 1.0, m.grid, N, w.extinctionN);
  w.KwN.resize(1, N);
  w.KbN.resize(1, N);
  if (m.bic.Nobs > 0) m.observed.weather.resize(1, 4 * m.bic.Nobs);
  w.on = true;
  // Defined from the start: the initial depths until the first step.
  set_weather(m);
  rates_at_depths(m, m.nodes.hN);
}

void set_weather(Model& m) {
  WeatherFields& w = m.weather;
  if (!w.on) return;
  const EnvironmentSeries& env = m.forcing.environment;
  const double t = m.clock.t;
  w.T = env.T.empty() ? 20.0 : series_value(env.t, env.T, t);
  w.I0 = env.I0.empty() ? 0.0 : series_value(env.t, env.I0, t);
}

void set_weather_rates(Model& m) {
  if (m.weather.on) rates_at_depths(m, m.tr.hn);
}

}  // namespace quarno
