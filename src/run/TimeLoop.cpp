#include "run/TimeLoop.hpp"

#include <cmath>
#include <string>

#include "model/Errors.hpp"
#include "model/Schedule.hpp"
#include "run/Console.hpp"
#include "run/KernelViews.hpp"
#include "run/OuterStep.hpp"
#include "run/Reports.hpp"
#include "run/Sources.hpp"
#include "run/Weather.hpp"
#include "solver/Balances.hpp"
#include "solver/TransportStep.hpp"

namespace quarno {

namespace {

// Takes schedule row k and tells whether its interval runs. The first row
// that runs after a saved run state taken mid-row keeps the inlet depth and
// outer step it had; every other row starts with the first outer step.
bool start_row(Model& m, int k, double kept_h0) {
  RunState& c = m.clock;
  c.interval = k;
  if (!apply_schedule_row(m, k, c.t)) return false;  // too short: skipped
  if (c.mid_row)
    m.bnd.h0 = kept_h0;
  else
    c.dt = kFirstStep;
  c.mid_row = false;
  return true;
}

void check_concentrations(const Model& m) {
  for (int k = 1; k <= m.run.Nfdn; ++k) {
    if (!std::isfinite(m.nodes.CN(k)) || !std::isfinite(m.tr.CsN(k)) ||
        !std::isfinite(m.nodes.CbN(k)))
      throw NumericalFailure("The concentration became non-finite at t = " +
                             show_number(m.clock.t) + " s at node " + std::to_string(k) + ".");
  }
}

// The node hydraulics of the new flow, the die-off rates that follow the
// weather at the new node depths and, with transport on, the transport over
// the step with the inlet concentration of row k.
void advance_transport(Model& m, const TransportView& transport, int k) {
  const bool on = m.run.NTr > 0;
  if (on)
    for (int j = 1; j <= m.run.Nfdn; ++j) m.tr.An_old(j) = m.tr.An(j);
  node_hydraulics(node_hydraulics_view(m));
  set_weather_rates(m);
  if (!on) return;
  transport_step(transport, m.clock.dt, m.bic.CBC(k));
  check_concentrations(m);
}

// The accounts of the step: the record clock (a record is due once the
// steps since the last one reach the record interval), the balance sums,
// and what the step leaves to report, with the state that goes with it.
ReportsDue account_step(Model& m) {
  RunState& c = m.clock;
  c.record_clock += c.dt;
  if (c.record_clock >= m.settings.record_interval) {
    c.record_clock = 0.0;
    c.record_flag = 1;
  }
  accumulate_balance(balance_view(m), m.bal);
  return settle_reports_due(m);
}

// A run can end just short of its last output time: the last step may end
// within the interval guard of the schedule's end, or the end time may have
// no exact single-precision value. The profile and balance of that time are
// then not written; say so rather than end as if they were.
void warn_of_unwritten_output_times(const Model& m, Outputs& out) {
  const RunState& c = m.clock;
  const int missed = m.bic.NTout - c.output_index + 1;
  if (missed <= 0) return;
  std::string text = "warning: the run ended at t = " + show_number(c.t) +
                     " s; the profile and balance of the output time " +
                     show_number(m.bic.TOut(c.output_index)) + " s";
  if (missed > 1)
    text += " and of " + std::to_string(missed - 1) + (missed > 2 ? " later ones" : " later one");
  out.warnings.write_line(text + " were not written.");
}

// A run that saves its state for a next link and ends just short of its last
// output time, the schedule's end, writes that profile and balance at the
// time it ended: the link's results then end with the state it hands on.
// The next link goes on from the state as the loop left it, and writes that
// output time's block itself when it reaches it: the output index stays, and
// the cell means and final storages the block computes are put back.
bool write_last_profile_short_of_it(Model& m, RunReports& reports) {
  const RunState& c = m.clock;
  if (c.output_index != m.bic.NTout || m.bic.TOut(c.output_index) > m.bic.TBC(m.run.NTInt))
    return false;
  const ProfileMeans kept = m.means;
  BalanceSums sums = m.bal;
  compute_profile_means(m);
  const BalanceClosure closure = close_balances(balance_view(m), sums);
  reports.write_profile(m, sums, closure);
  m.means = kept;
  return true;
}

}  // namespace

void run_schedule(Model& m, Outputs& out, FlowSource& flow, bool saves_state) {
  const RhsTeam team(m, flow.threads(m.settings));
  const TransportView transport = transport_view(m);
  RunState& c = m.clock;
  RunReports reports(m, out);
  const double kept_h0 = m.bnd.h0;  // a continued row's inlet depth
  for (int k = 1; k <= m.run.NTInt; ++k) {
    const double TEnd = interval_end(m.bic, k);
    if (!start_row(m, k, kept_h0)) continue;
    while (interval_runs(c.t, TEnd)) {
      check_interrupt();
      set_inlet(m, k);
      set_sources(m, out, !m.settings.steady_flow);
      set_weather(m);
      flow.advance(m, out, TEnd);
      advance_transport(m, transport, k);
      const ReportsDue due = account_step(m);
      reports.after_step(m, due);
    }
  }
  if (saves_state && write_last_profile_short_of_it(m, reports)) return;
  warn_of_unwritten_output_times(m, out);
}

}  // namespace quarno
