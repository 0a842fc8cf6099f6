#include "input/ScheduleChecks.hpp"

#include <string>

#include "model/Errors.hpp"
#include "model/Schedule.hpp"

namespace quarno {

void check_steady_schedule(Model& m) {
  const BicondTables& b = m.bic;
  int first = 0;
  double t = 0.0;
  for (int k = 1; k <= m.run.NTInt; ++k) {
    const double end = interval_end(b, k);
    if (!interval_runs(t, end)) continue;
    t = end;
    if (first == 0) {
      first = k;
    } else if (b.hBC(k) != b.hBC(first) || b.QBC(k) != b.QBC(first)) {
      throw InputError("crbicond.txt: --steady-flow needs one discharge and one inlet depth "
                       "throughout the schedule, but row " + std::to_string(k) + " has h = " +
                       show_number(b.hBC(k)) + " m and Q = " + show_number(b.QBC(k)) +
                       " m3/s where row " + std::to_string(first) + " has h = " +
                       show_number(b.hBC(first)) + " m and Q = " + show_number(b.QBC(first)) +
                       " m3/s");
    }
  }
  m.steady.row = first > 0 ? first : 1;
}

}  // namespace quarno
