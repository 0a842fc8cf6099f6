#include "solver/SiteValues.hpp"

#include <algorithm>

namespace quarno {

namespace {

// The discharge at node k (m3/s): the end faces at both ends, the mean of
// the two cells between.
double node_discharge(const SiteView& v, int k) {
  if (k == 1) return v.qX0 * v.WidthN(1);
  if (k == v.Nfdn) return v.qXL * v.WidthN(k);
  return (v.Q(k - 1) + v.Q(k)) * 0.5;
}

// The values at observation position j, interpolated from the preceding
// cell centre and node; the distance is always divided by dx.
void observe(const SiteView& s, int j, double* v) {
  const int k = s.kObsC(j);
  const int k1 = std::min(k + 1, s.M);
  const int n = s.kObsN(j);
  const double dx = s.dx;
  auto at_site = [&](double a0, double a1) { return a0 + (a1 - a0) * s.dObsN(j) / dx; };
  v[0] = s.h(k) + (s.h(k1) - s.h(k)) * s.dObsC(j) / dx;
  v[1] = s.u(k) + (s.u(k1) - s.u(k)) * s.dObsC(j) / dx;
  v[2] = s.q(k) * s.B(k) + (s.q(k1) * s.B(k1) - s.q(k) * s.B(k)) * s.dObsC(j) / dx;
  const Array<double>* nodal[7] = {&s.CN, &s.CbN, &s.CsN, &s.tau,
                                   &s.resus, &s.settle, &s.exchange};
  const int count = s.NTr > 0 ? 7 : 3;  // the fluxes only with transport
  for (int c = 0; c < count; ++c) v[3 + c] = at_site((*nodal[c])(n), (*nodal[c])(n + 1));
  if (s.NTr > 0)
    v[10] = at_site(node_discharge(s, n) * s.CN(n), node_discharge(s, n + 1) * s.CN(n + 1));
}

}  // namespace

void site_values(const SiteView& v, Array<double>& values) {
  for (int j = 1; j <= v.Nobs; ++j) observe(v, j, &values(kObservedValues * (j - 1) + 1));
}

void site_source_values(const SiteSourceView& v, Array<double>& values) {
  for (int j = 1; j <= v.Nobs; ++j) {
    const double end = v.XObs(j);
    double start = -1.0;  // below X = 0: the first stretch starts at the inlet
    for (int o = 1; o <= v.Nobs; ++o)
      if (v.XObs(o) < end && v.XObs(o) > start) start = v.XObs(o);
    double Q = 0.0, load = 0.0;
    for (int i = 1; i <= v.M; ++i)
      if (v.Xc(i) > start && v.Xc(i) <= end) Q += v.qSrc(i) * v.dx;
    for (int k = 1; k <= v.Nfdn; ++k)
      if (v.X(k) > start && v.X(k) <= end)
        load += v.VN(k) * (v.loadN(k) - v.outN(k) * v.CN(k));
    values(2 * j - 1) = Q;
    values(2 * j) = load;
  }
}

void site_weather_values(const SiteWeatherView& v, Array<double>& values) {
  for (int j = 1; j <= v.Nobs; ++j) {
    const int n = v.kObsN(j);
    values(4 * j - 3) = v.T;
    values(4 * j - 2) = v.I0;
    values(4 * j - 1) = v.KwN(n) + (v.KwN(n + 1) - v.KwN(n)) * v.dObsN(j) / v.dx;
    values(4 * j) = v.KbN(n) + (v.KbN(n + 1) - v.KbN(n)) * v.dObsN(j) / v.dx;
  }
}

}  // namespace quarno
