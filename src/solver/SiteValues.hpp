// The values at the observation positions, interpolated from the cells and
// nodes, for the observation records.
#pragma once

#include "model/Model.hpp"

namespace quarno {

// What the site values read: the positions' preceding cell centre and node
// with their distances, the cells' flow, the end faces and the node values.
struct SiteView {
  int Nobs;
  int M;
  int Nfdn;
  int NTr;                      // transport on when > 0
  double dx;                    // cell length (m)
  const Array<int>& kObsC;      // cell whose centre precedes position j
  const Array<int>& kObsN;      // node that precedes position j
  const Array<double>& dObsC;   // distance from that centre (m)
  const Array<double>& dObsN;   // distance from that node (m)
  const Array<double>& B;       // cell width (m)
  const Array<double>& h;       // cell depth (m)
  const Array<double>& u;       // cell velocity (m/s)
  const Array<double>& q;       // cell discharge per unit width (m2/s)
  const Array<double>& Q;       // cell discharge (m3/s)
  const Array<double>& WidthN;  // node width (m)
  const double& qX0;            // unit discharge at the X = 0 face (m2/s)
  const double& qXL;            // and at the X = L face
  const Array<double>& CN;      // stream-water concentration
  const Array<double>& CbN;     // bed-sediment concentration
  const Array<double>& CsN;     // transient-storage concentration
  const Array<double>& tau;     // the last transport step's fluxes
  const Array<double>& resus;
  const Array<double>& settle;
  const Array<double>& exchange;
};

// The values of every position j into values(kObservedValues*(j-1)+1 ..):
// depth, velocity, discharge, concentration, bed concentration, storage
// concentration, shear stress, resuspension, settling, exchange and solute
// flux; without transport only the first six (the concentrations as they
// stand) are set.
void site_values(const SiteView& v, Array<double>& values);

// What the sources add over the stretch of each observation position: from
// the nearest position upstream of it (or X = 0) to it, the cells whose
// centre and the nodes that lie in that stretch.
struct SiteSourceView {
  int Nobs;
  int M;
  int Nfdn;
  double dx;                   // cell length (m)
  const Array<double>& XObs;   // position j (m)
  const Array<double>& Xc;     // cell centre (m)
  const Array<double>& X;      // node (m)
  const Array<double>& VN;     // node control length (m)
  const Array<double>& qSrc;   // sources' lateral inflow per cell (m2/s)
  const Array<double>& loadN;  // sources' inflowing load per unit length at a node
  const Array<double>& outN;   // their outflow per unit length at a node (m2/s)
  const Array<double>& CN;     // stream-water concentration
};

// Into values(2j-1) the discharge (m3/s) and into values(2j) the net load
// (amount/s: inflowing loads less what abstractions take at the stream's
// concentration) the sources add over position j's stretch, as the flow and
// the transport of the last step took them.
void site_source_values(const SiteSourceView& v, Array<double>& values);

// The weather at the observation positions: the environment's values of the
// step and the die-off rates, interpolated between each position's two
// nodes as the concentrations are.
struct SiteWeatherView {
  int Nobs;
  double dx;                   // cell length (m)
  const Array<int>& kObsN;     // node that precedes position j
  const Array<double>& dObsN;  // distance from that node (m)
  double T;                    // water temperature (degrees C)
  double I0;                   // irradiance at the surface (W/m2)
  const Array<double>& KwN;    // rate in the water per node (1/s)
  const Array<double>& KbN;    // rate in the bed per node (1/s)
};

// Into values(4j-3 .. 4j): T, I0 and the water and bed rates at position j.
void site_weather_values(const SiteWeatherView& v, Array<double>& values);

}  // namespace quarno
