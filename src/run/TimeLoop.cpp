#include "run/TimeLoop.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "run/Console.hpp"
#include "run/Controller.hpp"
#include "run/FlowReplay.hpp"
#include "run/KernelViews.hpp"
#include "run/OuterStep.hpp"
#include "run/Reports.hpp"
#include "model/Errors.hpp"
#include "model/Schedule.hpp"
#include "solver/Balances.hpp"
#include "solver/TransportStep.hpp"

namespace quarno {

namespace {

constexpr double kEndTolerance = 1e-10;   // relative

void check_concentrations(const Model& m) {
  for (int k = 1; k <= m.run.Nfdn; ++k) {
    if (!std::isfinite(m.nodes.CN(k)) || !std::isfinite(m.tr.CsN(k)) ||
        !std::isfinite(m.nodes.CbN(k)))
      throw NumericalFailure("The concentration became non-finite at t = " +
                             show_number(m.clock.t) + " s at node " + std::to_string(k) + ".");
  }
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

}  // namespace

void run_schedule(Model& m, Outputs& out, FlowRecording* flow) {
  // A replayed flow evaluates no right-hand side: no helper threads.
  const bool replay = flow != nullptr && flow->replaying;
  const RhsTeam team(m, replay ? 1 : rhs_threads(m.settings));
  RunState& c = m.clock;
  const BicondTables& b = m.bic;
  // A frozen flow keeps its steady state: only the transport moves on.
  const bool frozen = m.settings.steady_flow;
  const TransportView transport = transport_view(m);
  RunReports reports(m, out);
  const double kept_h0 = m.bnd.h0;  // a continued row's inlet depth
  FlowRecordWriter* record = flow != nullptr ? flow->writer.get() : nullptr;
  for (int k = 1; k <= m.run.NTInt; ++k) {
    const double TEnd = interval_end(b, k);
    c.interval = k;
    if (!apply_schedule_row(m, k, c.t)) continue;  // too short: skipped

    if (c.mid_row)
      m.bnd.h0 = kept_h0;
    else
      c.dt = kFirstStep;
    c.mid_row = false;
    const double Tclamp = TEnd - kEndTolerance * TEnd;
    while (interval_runs(c.t, TEnd)) {
      check_interrupt();
      set_inlet(m, k);
      if (m.run.NTr > 0)
        for (int j = 1; j <= m.run.Nfdn; ++j) m.tr.An_old(j) = m.tr.An(j);
      if (replay) {
        replay_step_length(m, out, *flow);  // as the Courant condition and TEnd gave it
      } else {
        courant_step(m);
        if (c.dt < kMinStep)
          throw NumericalFailure("The flow solution cannot advance at t = " + show_number(c.t) +
                                 " s.");
        if (c.t + c.dt > Tclamp) c.dt = TEnd - c.t;
      }
      const double tNew = c.t + c.dt;
      c.record_clock += c.dt;
      if (c.record_clock >= m.settings.record_interval) {
        c.record_clock = 0.0;
        c.record_flag = 1;
      }

      if (frozen) {
        c.t = tNew;
      } else {
        if (replay) {
          replay_flow_step(m, *flow);
        } else {
          advance_flow(m, out, c.t, c.dt, tNew, kMaxInnerSteps, record);
          if (record != nullptr) record_flow_step(m, *record);
        }
        c.t = tNew;
        unpack_state(m);
      }
      end_faces(m);
      node_hydraulics(node_hydraulics_view(m));
      if (m.run.NTr > 0) {
        transport_step(transport, c.dt, b.CBC(k));
        check_concentrations(m);
      }

      accumulate_balance(balance_view(m), m.bal);
      reports.after_step(m, settle_reports_due(m));
    }
  }
  warn_of_unwritten_output_times(m, out);
}

}  // namespace quarno
