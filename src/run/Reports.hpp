// The results of a run after each outer step: the run layer settles what is
// due and changes the state that goes with it (the record flag, the site
// values, the profile means, the closed balances, the output index); then
// RunReports, an observer of the const model, writes it out.
#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "output/Profiles.hpp"
#include "output/Records.hpp"

namespace quarno {

// What is due after an outer step.
struct ReportsDue {
  bool record = false;       // a site record, its values in m.observed
  bool profile = false;      // a profile block with its balance report
  BalanceClosure balance{};  // the balances closed for that report
};

// When a record is due and there are observation positions: the site values
// into m.observed, and the record flag lowered. With no positions the flag
// stays raised. Returns whether a record is due.
bool take_site_record(Model& m);

// The model time has reached the next output time (none once every output
// time has been written).
bool output_time_reached(const Model& m);

// The cell means of the concentrations into m.means (with transport on).
void compute_profile_means(Model& m);

// The final storages into m.bal, and the Froude number and errors of the
// report.
BalanceClosure close_balance_at_output(Model& m);

// After an outer step's balance sums: takes the site record when due and, at
// an output time, computes the profile means, closes the balances and raises
// the output index (at most one profile per step).
ReportsDue settle_reports_due(Model& m);

// The writers of a run's results, made once before the time loop from the
// model they then read (after_step takes that same model); they allocate
// nothing and change nothing in it.
class RunReports {
 public:
  RunReports(const Model& m, Outputs& out);
  // After every outer step: the site record with its console progress line,
  // the profile block with the balance report (and their CSV rows), as
  // `due` says; then the progress on standard error.
  void after_step(const Model& m, const ReportsDue& due);
  // The profile block with the balance report of the sums `s` closed as `c`,
  // at the model's time.
  void write_profile(const Model& m, const BalanceSums& s, const BalanceClosure& c);

 private:
  Outputs& out_;
  SiteRecord site_;
  ProfileRows profile_;
};

}  // namespace quarno
