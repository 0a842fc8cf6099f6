#include "output/Writers.hpp"

#include <algorithm>
#include <string>

#include "output/Balance.hpp"
#include "output/Csv.hpp"
#include "output/Layouts.hpp"

namespace quarno {

namespace {

// The five values at observation position j, interpolated from the
// preceding cell centre and node; the distance is always divided by dx. A
// sixth, the storage-zone concentration, goes to the CSV results only.
void observe(const Model& m, int j, double v[6]) {
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
void write_observation_csv(const Model& m, Outputs& out, const double (*values)[6]) {
  CsvRow row;
  for (int j = 1; j <= m.bic.Nobs; ++j) {
    const double* v = values[j - 1];
    row << m.clock.t << j << m.bic.XObs(j) << v[0] << v[1] << v[2] << v[3] << v[4] << v[5];
    row.write_to(out.obs_csv);
  }
  out.obs_csv.flush();
}

// A profile block in full precision: a row per cell (flow values and the
// cell means of the concentrations), then a row per node (concentrations).
void write_profile_csv(const Model& m, Outputs& out) {
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const ProfileMeans& mean = m.means;
  const double t = m.clock.t;
  CsvRow row;
  for (int i = 1; i <= gr.M; ++i) {
    row << t << "cell" << i << gr.Xc(i) << f.h(i) << f.u(i) << f.q(i) << f.Q(i) << mean.C(i)
        << mean.Cb(i) << mean.Cs(i);
    row.write_to(out.profiles_csv);
  }
  for (int k = 1; k <= m.run.Nfdn; ++k) {
    row << t << "node" << k << gr.X(k) << "" << "" << "" << "" << m.nodes.CN(k) << m.nodes.CbN(k)
        << m.tr.CsN(k);
    row.write_to(out.profiles_csv);
  }
}

}  // namespace

void write_observation(Model& m, Outputs& out) {
  RunState& c = m.clock;
  const int Nobs = m.bic.Nobs;
  if (c.record_flag == 0 || Nobs <= 0) return;
  double values[kMaxObservations][6];
  for (int j = 1; j <= Nobs; ++j) observe(m, j, values[j - 1]);
  if (!out.quiet) {
    out.progress.clear_line();
    out.console.write(layouts::kProgressLine, {c.t});
  }
  out.obs.write(layouts::kObsRecord, Args(1 + 5 * Nobs, [&](int k) -> Arg {
                  return k == 0 ? c.t : values[(k - 1) / 5][(k - 1) % 5];
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

void check_profile(Model& m, Outputs& out) {
  RunState& c = m.clock;
  if (c.output_index > m.bic.NTout || c.t < m.bic.TOut(c.output_index)) return;
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const int M = gr.M;
  ProfileMeans& mean = m.means;
  if (m.run.NTr > 0) {
    const Array<double>& CN = m.nodes.CN;
    const Array<double>& CbN = m.nodes.CbN;
    const Array<double>& CsN = m.tr.CsN;
    for (int i = 1; i <= M; ++i) {
      mean.C(i) = (CN(i) + CN(i + 1)) * 0.5;
      mean.Cb(i) = (CbN(i) + CbN(i + 1)) * 0.5;
      mean.Cs(i) = (CsN(i) + CsN(i + 1)) * 0.5;
    }
  }
  out.results.write(layouts::kProfileHead, {c.t});
  // One line per cell; the column headed "Cs" holds the bed concentration and
  // the one headed "Cst" the transient-storage concentration.
  out.results.write(layouts::kProfileRows, Args(8 * M, [&](int k) -> Arg {
                      const int i = k / 8 + 1;
                      switch (k % 8) {
                        case 0: return gr.Xc(i);
                        case 1: return f.h(i);
                        case 2: return f.u(i);
                        case 3: return f.q(i);
                        case 4: return f.Q(i);
                        case 5: return mean.C(i);
                        case 6: return mean.Cb(i);
                        default: return mean.Cs(i);
                      }
                    }));
  out.results.name_nonfinite([](int k) {
    static const char* const kNames[8] = {"X", "h", "u", "q", "Q", "C", "Cs", "Cst"};
    return std::string(kNames[k % 8]) + " in cell " + std::to_string(k / 8 + 1);
  });
  if (out.csv) write_profile_csv(m, out);
  c.output_index += 1;
  write_balance_report(m, out);
  out.results.flush();
  out.profiles_csv.flush();
  out.balance_csv.flush();
  out.end_if_nonfinite(c.t);
}

}  // namespace quarno
