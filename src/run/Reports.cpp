#include "run/Reports.hpp"

#include "run/KernelViews.hpp"
#include "solver/Balances.hpp"
#include "solver/SiteValues.hpp"

namespace quarno {

bool take_site_record(Model& m) {
  if (m.clock.record_flag == 0 || m.bic.Nobs <= 0) return false;
  site_values(site_view(m), m.observed.v);
  if (m.src.on) site_source_values(site_source_view(m), m.observed.src);
  if (m.weather.on) site_weather_values(site_weather_view(m), m.observed.weather);
  m.clock.record_flag = 0;
  return true;
}

bool output_time_reached(const Model& m) {
  const RunState& c = m.clock;
  return c.output_index <= m.bic.NTout && c.t >= m.bic.TOut(c.output_index);
}

void compute_profile_means(Model& m) {
  if (m.run.NTr <= 0) return;
  ProfileMeans& mean = m.means;
  const Array<double>& CN = m.nodes.CN;
  const Array<double>& CbN = m.nodes.CbN;
  const Array<double>& CsN = m.tr.CsN;
  for (int i = 1; i <= m.grid.M; ++i) {
    mean.C(i) = (CN(i) + CN(i + 1)) * 0.5;
    mean.Cb(i) = (CbN(i) + CbN(i + 1)) * 0.5;
    mean.Cs(i) = (CsN(i) + CsN(i + 1)) * 0.5;
  }
}

BalanceClosure close_balance_at_output(Model& m) { return close_balances(balance_view(m), m.bal); }

ReportsDue settle_reports_due(Model& m) {
  ReportsDue due;
  due.record = take_site_record(m);
  if (output_time_reached(m)) {
    due.profile = true;
    compute_profile_means(m);
    due.balance = close_balance_at_output(m);
    m.clock.output_index += 1;
  }
  return due;
}

RunReports::RunReports(const Model& m, Outputs& out)
    : out_(out),
      site_{m.bic.Nobs, m.bic.XObs, m.observed.v, m.run.NTr > 0},
      profile_{m.grid.M, m.run.Nfdn, m.grid.Xc, m.grid.X,  m.flow.h,    m.flow.u,
               m.flow.q, m.flow.Q,   m.means,   m.nodes.CN, m.nodes.CbN, m.tr.CsN} {
  if (m.src.on && out.sources) {
    site_.sources = &m.observed.src;
    profile_.lateral = &m.src.lateral;
  }
  if (m.weather.on && out.weather) site_.weather = &m.observed.weather;
}

void RunReports::after_step(const Model& m, const ReportsDue& due) {
  const double t = m.clock.t;
  if (due.record) write_site_record(out_, t, site_);
  if (due.profile) write_profile_and_balance(out_, t, profile_, m.bal, due.balance, m.run.NTr > 0);
  out_.progress.update(t);
}

void RunReports::write_profile(const Model& m, const BalanceSums& s, const BalanceClosure& c) {
  write_profile_and_balance(out_, m.clock.t, profile_, s, c, m.run.NTr > 0);
}

}  // namespace quarno
