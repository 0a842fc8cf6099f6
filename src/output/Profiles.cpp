#include "output/Profiles.hpp"

#include <string>

#include "output/Balance.hpp"
#include "output/Csv.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

// A profile block in full precision: a row per cell (flow values and the
// cell means of the concentrations), then a row per node (concentrations).
void write_profile_csv(Outputs& out, double t, const ProfileRows& p) {
  const ProfileMeans& mean = p.mean;
  CsvRow row;
  for (int i = 1; i <= p.M; ++i) {
    row.time(t, out.start_date) << "cell" << i << p.Xc(i) << p.h(i) << p.u(i) << p.q(i)
                                << p.Q(i) << mean.C(i) << mean.Cb(i) << mean.Cs(i);
    if (p.lateral != nullptr) row << (*p.lateral)(i);
    row.write_to(out.profiles_csv);
  }
  for (int k = 1; k <= p.Nfdn; ++k) {
    row.time(t, out.start_date) << "node" << k << p.X(k) << "" << "" << "" << ""
                                << p.CN(k) << p.CbN(k) << p.CsN(k);
    if (p.lateral != nullptr) row << "";
    row.write_to(out.profiles_csv);
  }
}

}  // namespace

void write_profile_and_balance(Outputs& out, double t, const ProfileRows& p,
                               const BalanceSums& s, const BalanceClosure& c, bool transport) {
  const ProfileMeans& mean = p.mean;
  out.results.write(layouts::kProfileHead, {t});
  // One line per cell; the column headed "Cs" holds the bed concentration and
  // the one headed "Cst" the transient-storage concentration.
  out.results.write(layouts::kProfileRows, Args(8 * p.M, [&](int k) -> Arg {
                      const int i = k / 8 + 1;
                      switch (k % 8) {
                        case 0: return p.Xc(i);
                        case 1: return p.h(i);
                        case 2: return p.u(i);
                        case 3: return p.q(i);
                        case 4: return p.Q(i);
                        case 5: return mean.C(i);
                        case 6: return mean.Cb(i);
                        default: return mean.Cs(i);
                      }
                    }));
  out.results.name_nonfinite([](int k) {
    static const char* const kNames[8] = {"X", "h", "u", "q", "Q", "C", "Cs", "Cst"};
    return std::string(kNames[k % 8]) + " in cell " + std::to_string(k / 8 + 1);
  });
  if (out.csv) write_profile_csv(out, t, p);
  write_balance_report(out, t, s, c, transport);
  out.results.flush();
  out.profiles_csv.flush();
  out.balance_csv.flush();
  out.end_if_nonfinite(t);
}

}  // namespace quarno
