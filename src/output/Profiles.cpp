#include "output/Profiles.hpp"

#include <string>

#include "output/Balance.hpp"
#include "output/Csv.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

// A profile block in full precision: a row per cell (flow values and the
// cell means of the concentrations), then a row per node (concentrations).
void write_profile_csv(const Model& m, Outputs& out) {
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const ProfileMeans& mean = m.means;
  const double t = m.clock.t;
  CsvRow row;
  for (int i = 1; i <= gr.M; ++i) {
    row.time(t, out.start_date) << "cell" << i << gr.Xc(i) << f.h(i) << f.u(i) << f.q(i)
                                << f.Q(i) << mean.C(i) << mean.Cb(i) << mean.Cs(i);
    row.write_to(out.profiles_csv);
  }
  for (int k = 1; k <= m.run.Nfdn; ++k) {
    row.time(t, out.start_date) << "node" << k << gr.X(k) << "" << "" << "" << ""
                                << m.nodes.CN(k) << m.nodes.CbN(k) << m.tr.CsN(k);
    row.write_to(out.profiles_csv);
  }
}

}  // namespace

void write_profile_and_balance_if_due(Model& m, Outputs& out) {
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
