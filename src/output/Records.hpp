// The observation records: a row of crObsNode.txt (and of crObsNode.csv)
// every record interval of model time, with the progress line on the console.
#pragma once

#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// The values of one record: kObservedValues per position, position j's from
// entry kObservedValues*(j-1)+1 on; the fluxes count only with transport.
struct SiteRecord {
  int Nobs;                     // positions, at least one
  const Array<double>& XObs;    // their distances from X = 0 (m)
  const Array<double>& values;
  bool transport;
  // With sources: the discharge and load they add over each position's
  // stretch (2 per position), written at the end of the CSV rows.
  const Array<double>* sources = nullptr;
  // With weather: the temperature, irradiance and water and bed rates at
  // each position (4 per position), written after the sources' columns; the
  // rates are empty without transport.
  const Array<double>* weather = nullptr;
};

// The record at time t: the console progress line (unless quiet), one row of
// crObsNode.txt with the depth, velocity, discharge, concentration and bed
// concentration at every position and, with CSV results, a row per position;
// ends the run when a value written is not finite.
void write_site_record(Outputs& out, double t, const SiteRecord& r);

}  // namespace quarno
