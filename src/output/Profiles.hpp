// The profile blocks of crOutput.txt (and crProfiles.csv) at the output
// times, each followed by the balance report.
#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// What a profile block shows: cells 1..M, nodes 1..Nfdn.
struct ProfileRows {
  int M;
  int Nfdn;
  const Array<double>& Xc;   // cell centre (m)
  const Array<double>& X;    // node position (m)
  const Array<double>& h;    // cell depth (m)
  const Array<double>& u;    // cell velocity (m/s)
  const Array<double>& q;    // cell discharge per unit width (m2/s)
  const Array<double>& Q;    // cell discharge (m3/s)
  const ProfileMeans& mean;  // cell means of the concentrations
  const Array<double>& CN;   // node concentrations: stream water,
  const Array<double>& CbN;  // bed sediment,
  const Array<double>& CsN;  // transient storage
  // With sources: the lateral inflow of each cell (groundwater and sources,
  // m2/s), at the end of the CSV cell rows.
  const Array<double>* lateral = nullptr;
};

// The profile block of output time t, then the report of the balances
// closed then (`s`, `c`; the solute balances only with `transport`); ends
// the run when a value written is not finite.
void write_profile_and_balance(Outputs& out, double t, const ProfileRows& p,
                               const BalanceSums& s, const BalanceClosure& c, bool transport);

}  // namespace quarno
