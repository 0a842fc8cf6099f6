// All shared model data of a run, one struct per data section, gathered in
// one Model that the main program owns and hands to every routine by
// reference. Arrays are sized to their full capacity when the Model is built
// and keep the index base of the formulas (1-based unless noted).
#pragma once

#include <string>

#include "model/Array.hpp"

namespace quarno {

// Capacities of the model.
constexpr int kMaxCells = 1000;                 // cells M = Nfdn - 1
constexpr int kMaxNodes = kMaxCells + 1;        // nodes Nfdn
constexpr int kMaxState = 2 * kMaxCells;        // entries of the flow state vector y
constexpr int kMaxSegmentRows = 100;            // rows of each crparam.txt table
constexpr int kMaxInitialRows = 1000;           // rows of each initial-condition table
constexpr int kMaxScheduleRows = 1000;          // rows of the boundary schedule (NTInt)
constexpr int kMaxOutputTimes = 100;            // TOut entries, appended end time included
constexpr int kMaxObservations = 10;            // observation positions (Nobs)
constexpr int kTitleLength = 80;                // characters of the run title

// Scalars that the input reader returns to the main program.
struct RunScalars {
  double L = 0.0;     // stream length (m)
  double Btm0 = 0.0;  // bed elevation at X = 0 (m); echoed only
  int NTr = 0;        // transport switch: transport is simulated when NTr > 0
  int Ninv = 0;       // inverse-problem flag; echoed only
  int Nfdn = 0;       // number of grid nodes
  int NTInt = 0;      // rows of the boundary schedule
};

// Segment tables of crparam.txt (positions X in m, increasing downstream).
struct ParamTables {
  std::string Title = std::string(kTitleLength, ' ');  // run title, blank-padded

  int NWidth = 0;
  Array<double> XWidth{1, kMaxSegmentRows}, Width{1, kMaxSegmentRows};  // m, m
  int NSlope = 0;
  Array<double> XSlope{1, kMaxSegmentRows}, Slope{1, kMaxSegmentRows};  // m, m/m downhill
  int NRough = 0;
  Array<double> XRough{1, kMaxSegmentRows}, Rough{1, kMaxSegmentRows};  // m, Manning n
  int NGW = 0;
  Array<double> XGW{1, kMaxSegmentRows};    // m
  Array<double> GWUpw{1, kMaxSegmentRows};  // upwelling per unit length (m2/s)
  Array<double> CGW{1, kMaxSegmentRows};    // concentration of the upwelling water

  // Transport parameters, read only when NTr > 0.
  int NTrPar = 0;
  Array<double> XTrPar{1, kMaxSegmentRows};  // m
  Array<double> aL{1, kMaxSegmentRows};      // dispersivity (m)
  Array<double> Re{1, kMaxSegmentRows};      // microbial entrainment rate (kg/(m2 s))
  Array<double> TauCR{1, kMaxSegmentRows};   // critical shear stress (N/m2)
  Array<double> f{1, kMaxSegmentRows};       // fraction of surface transient storage (-)
  Array<double> Vs{1, kMaxSegmentRows};      // settling velocity (m/s)
  Array<double> Alfa{1, kMaxSegmentRows};    // storage exchange coefficient (1/s)
  Array<double> Kdw{1, kMaxSegmentRows};     // first-order decay rate in the water (1/s)
  Array<double> Kds{1, kMaxSegmentRows};     // die-off rate in the sediment (1/s)
  Array<double> TSS{1, kMaxSegmentRows};     // total suspended solids (kg/m3); echoed only
  Array<double> Hb{1, kMaxSegmentRows};      // mixing layer thickness (m)
  Array<double> Rb{1, kMaxSegmentRows};      // bulk density of the sediment (kg/m3)
};

// Initial conditions, boundary schedule, output times and observation
// positions of crbicond.txt.
struct BicondTables {
  int NInCW = 0;
  Array<double> XInCW{1, kMaxInitialRows};  // m
  Array<double> hInCW{1, kMaxInitialRows};  // depth (m)
  Array<double> QInCW{1, kMaxInitialRows};  // discharge (m3/s)

  // Initial concentrations, read only when NTr > 0.
  int NInCT = 0;
  Array<double> XInCT{1, kMaxInitialRows};   // m
  Array<double> CInCT{1, kMaxInitialRows};   // stream water
  Array<double> CbInCT{1, kMaxInitialRows};  // bed sediment

  int NB0 = 0;  // flow boundary at X = 0: 0 wall, 1 flux
  int NBL = 0;  // flow boundary at X = L: 0 wall, 1 transmissive

  Array<double> TBC{1, kMaxScheduleRows};  // end of each boundary interval (s)
  Array<double> hBC{1, kMaxScheduleRows};  // depth at X = 0 (m)
  Array<double> QBC{1, kMaxScheduleRows};  // discharge at X = 0 (m3/s)
  Array<double> CBC{1, kMaxScheduleRows};  // concentration at X = 0

  int NTout = 0;
  Array<double> TOut{1, kMaxOutputTimes};  // output times (s); the last is the end time

  int Nobs = 0;
  Array<double> XObs{1, kMaxObservations};  // observation positions (m)
};

struct Model {
  RunScalars run;
  ParamTables par;
  BicondTables bic;
};

}  // namespace quarno
