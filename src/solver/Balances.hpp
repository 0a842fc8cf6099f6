// The water and solute balances as a diagnostic of the model state: the
// storages of the reach, the amounts that cross its ends, come from
// groundwater, decay or move between water and bed, summed over the outer
// steps, and the closing of the balances at an output time.
#pragma once

#include "model/Model.hpp"

namespace quarno {

// What the balances read: cells 1..M, nodes 1..Nfdn; the values that change
// during a run are references, so one view serves a whole run.
struct BalanceView {
  int M;
  int Nfdn;
  int NTr;                        // transport on when > 0
  double dx;                      // cell length (m)
  const Array<double>& B;         // cell width (m)
  const Array<double>& h;         // cell depth (m)
  const Array<double>& u;         // cell velocity (m/s)
  const Array<double>& A;         // cell flow area (m2)
  const Array<double>& WidthN;    // node width (m)
  const Array<double>& GWUpwN;    // groundwater upwelling per unit length (m2/s)
  const Array<double>& CGWN;      // concentration of the upwelling water
  const Array<double>& fN;        // storage fraction
  const Array<double>& KdwN;      // decay rate in the water (1/s)
  const Array<double>& KdsN;      // die-off rate in the bed (1/s)
  const Array<double>& HbN;       // mixing layer thickness (m)
  const Array<double>& RbN;       // sediment bulk density (kg/m3)
  const Array<double>& CN;        // stream-water concentration
  const Array<double>& CsN;       // transient-storage concentration
  const Array<double>& CbN;       // bed-sediment concentration
  const Array<double>& TResC;     // resuspended amount per unit bed area so far
  const Array<double>& TDepC;     // deposited amount per unit bed area so far
  const double& qX0;              // unit discharge at the X = 0 face after the step (m2/s)
  const double& qXL;              // and at the X = L face
  const double& dt;               // the outer step (s)
  const Array<double>& QBC;       // discharge at X = 0 of each schedule row (m3/s)
  const int& interval;            // the schedule row that runs
  // The sources along the reach over the step, as the flow and the
  // transport took them; read only when `sources`.
  bool sources;
  const Array<double>& VN;        // node control length (m)
  const Array<double>& qSrc;      // per cell: the sources' lateral inflow (m2/s)
  const Array<double>& loadN;     // per node: their load per unit length
  const Array<double>& outN;      // per node: their outflow per unit length (m2/s)
};

// Storage integrals over the cells (the transport parameters taken at the
// downstream node of each cell): water (m3), solute in the stream water, in
// the transient storage and in the bed.
double water_storage(const BalanceView& v);
double stream_storage(const BalanceView& v);
double transient_storage(const BalanceView& v);
double bed_storage(const BalanceView& v);

// The storages at the start of the run (and, with transport on, the solute
// sums set to zero).
void record_initial_storages(const BalanceView& v, BalanceSums& s);

// Adds one outer step's boundary, groundwater, source, decay and exchange
// amounts to the running sums. The sources' solute is counted at the nodes
// whose rows the transport solves (2..Nfdn), the outflow at the new stream
// concentration, exactly as the transport step took them.
void accumulate_balance(const BalanceView& v, BalanceSums& s);

// The final storages (Wfin; with transport on Cwfin, Cstfin, Csfin, Ctotf),
// and what the report shows besides: the inlet Froude number and each
// balance's errors (those of the solute balances only with transport on).
BalanceClosure close_balances(const BalanceView& v, BalanceSums& s);

}  // namespace quarno
