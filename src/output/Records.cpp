#include "output/Records.hpp"

#include <algorithm>
#include <string>

#include "output/Csv.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

// The discharge at node k (m3/s): the end faces at both ends, the mean of
// the two cells between.
double node_discharge(const Model& m, int k) {
  if (k == 1) return m.bnd.qX0 * m.nodes.WidthN(1);
  if (k == m.run.Nfdn) return m.bnd.qXL * m.nodes.WidthN(k);
  return (m.flow.Q(k - 1) + m.flow.Q(k)) * 0.5;
}

// The values at observation position j, interpolated from the preceding
// cell centre and node; the distance is always divided by dx.
void observe(const Model& m, int j, double* v) {
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const int k = gr.kObsC(j);
  const int k1 = std::min(k + 1, gr.M);
  const int n = gr.kObsN(j);
  const double dx = gr.dx;
  auto at_site = [&](double a0, double a1) { return a0 + (a1 - a0) * gr.dObsN(j) / dx; };
  v[0] = f.h(k) + (f.h(k1) - f.h(k)) * gr.dObsC(j) / dx;
  v[1] = f.u(k) + (f.u(k1) - f.u(k)) * gr.dObsC(j) / dx;
  v[2] = f.q(k) * gr.B(k) + (f.q(k1) * gr.B(k1) - f.q(k) * gr.B(k)) * gr.dObsC(j) / dx;
  const Array<double>* nodal[7] = {&m.nodes.CN, &m.nodes.CbN, &m.tr.CsN, &m.tr.tau,
                                             &m.tr.resus, &m.tr.settle, &m.tr.exchange};
  const int count = m.run.NTr > 0 ? 7 : 3;  // the fluxes only with transport
  for (int c = 0; c < count; ++c) v[3 + c] = at_site((*nodal[c])(n), (*nodal[c])(n + 1));
  if (m.run.NTr > 0)
    v[10] = at_site(node_discharge(m, n) * m.nodes.CN(n),
                    node_discharge(m, n + 1) * m.nodes.CN(n + 1));
}

// The same record in full precision: one row per position; the fluxes are
// empty without transport.
void write_observation_csv(const Model& m, Outputs& out, const double* values) {
  CsvRow row;
  for (int j = 1; j <= m.bic.Nobs; ++j) {
    const double* v = values + kObservedValues * (j - 1);
    row.time(m.clock.t, out.start_date) << j << m.bic.XObs(j);
    for (int c = 0; c < 6; ++c) row << v[c];
    for (int c = 6; c < kObservedValues; ++c) {
      if (m.run.NTr > 0)
        row << v[c];
      else
        row << "";
    }
    row.write_to(out.obs_csv);
  }
  out.obs_csv.flush();
}

}  // namespace

void write_observation(Model& m, Outputs& out) {
  RunState& c = m.clock;
  const int Nobs = m.bic.Nobs;
  if (c.record_flag == 0 || Nobs <= 0) return;
  double* values = &m.observed.v(1);  // sized for every position at set-up
  for (int j = 1; j <= Nobs; ++j) observe(m, j, values + kObservedValues * (j - 1));
  if (!out.quiet) {
    out.progress.clear_line();
    out.console.write(layouts::kProgressLine, {c.t});
  }
  out.obs.write(layouts::kObsRecord, Args(1 + 5 * Nobs, [&](int k) -> Arg {
                  return k == 0 ? c.t : values[kObservedValues * ((k - 1) / 5) + (k - 1) % 5];
                }));
  out.obs.name_nonfinite([](int k) {
    static const char* const kNames[5] = {"h", "u", "Q", "C", "Cs"};
    if (k == 0) return std::string("the time");
    return std::string(kNames[(k - 1) % 5]) + " at observation position " +
           std::to_string((k - 1) / 5 + 1);
  });
  if (out.csv) write_observation_csv(m, out, values);
  out.console.flush();
  out.obs.flush();
  c.record_flag = 0;
  out.end_if_nonfinite(c.t);
}

}  // namespace quarno
