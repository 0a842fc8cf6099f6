#include "output/Records.hpp"

#include <algorithm>
#include <string>

#include "output/Csv.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

// The five values at observation position j, interpolated from the
// preceding cell centre and node; the distance is always divided by dx. A
// sixth, the storage-zone concentration, goes to the CSV results only.
void observe(const Model& m, int j, double* v) {
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const Array<double>& CN = m.nodes.CN;
  const Array<double>& CbN = m.nodes.CbN;
  const int k = gr.kObsC(j);
  const int k1 = std::min(k + 1, gr.M);
  const int n = gr.kObsN(j);
  const double dx = gr.dx;
  v[0] = f.h(k) + (f.h(k1) - f.h(k)) * gr.dObsC(j) / dx;
  v[1] = f.u(k) + (f.u(k1) - f.u(k)) * gr.dObsC(j) / dx;
  v[2] = f.q(k) * gr.B(k) + (f.q(k1) * gr.B(k1) - f.q(k) * gr.B(k)) * gr.dObsC(j) / dx;
  v[3] = CN(n) + (CN(n + 1) - CN(n)) * gr.dObsN(j) / dx;
  v[4] = CbN(n) + (CbN(n + 1) - CbN(n)) * gr.dObsN(j) / dx;
  const Array<double>& CsN = m.tr.CsN;
  v[5] = CsN(n) + (CsN(n + 1) - CsN(n)) * gr.dObsN(j) / dx;
}

// The same record in full precision: one row per position.
void write_observation_csv(const Model& m, Outputs& out, const double* values) {
  CsvRow row;
  for (int j = 1; j <= m.bic.Nobs; ++j) {
    const double* v = values + kObservedValues * (j - 1);
    row << m.clock.t << j << m.bic.XObs(j) << v[0] << v[1] << v[2] << v[3] << v[4] << v[5];
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
