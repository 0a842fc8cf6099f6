// All shared model data of a run, one struct per data section, gathered in
// one Model that the main program owns and hands to every routine by
// reference. Arrays start empty and are sized from the deck's own counts at
// set-up (model/Sizing.hpp); they keep the index base of the formulas
// (1-based unless noted).
#pragma once

#include <string>

#include "model/Array.hpp"
#include "model/Forcing.hpp"

namespace quarno {

constexpr int kTitleLength = 80;  // characters of the run title

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
  Array<double> XWidth, Width;  // m, m
  int NSlope = 0;
  Array<double> XSlope, Slope;  // m, m/m downhill
  int NRough = 0;
  Array<double> XRough, Rough;  // m, Manning n
  int NGW = 0;
  Array<double> XGW;    // m
  Array<double> GWUpw;  // upwelling per unit length (m2/s)
  Array<double> CGW;    // concentration of the upwelling water

  // Transport parameters, read only when NTr > 0.
  int NTrPar = 0;
  Array<double> XTrPar;  // m
  Array<double> aL;      // dispersivity (m)
  Array<double> Re;      // microbial entrainment rate (kg/(m2 s))
  Array<double> TauCR;   // critical shear stress (N/m2)
  Array<double> f;       // fraction of surface transient storage (-)
  Array<double> Vs;      // settling velocity (m/s)
  Array<double> Alfa;    // storage exchange coefficient (1/s)
  Array<double> Kdw;     // first-order decay rate in the water (1/s)
  Array<double> Kds;     // die-off rate in the sediment (1/s)
  Array<double> TSS;     // total suspended solids (kg/m3); echoed only
  Array<double> Hb;      // mixing layer thickness (m)
  Array<double> Rb;      // bulk density of the sediment (kg/m3)
};

// Initial conditions, boundary schedule, output times and observation
// positions of crbicond.txt.
struct BicondTables {
  int NInCW = 0;
  Array<double> XInCW;  // m
  Array<double> hInCW;  // depth (m)
  Array<double> QInCW;  // discharge (m3/s)

  // Initial concentrations, read only when NTr > 0.
  int NInCT = 0;
  Array<double> XInCT;   // m
  Array<double> CInCT;   // stream water
  Array<double> CbInCT;  // bed sediment

  int NB0 = 0;  // flow boundary at X = 0: 0 wall, 1 flux
  int NBL = 0;  // flow boundary at X = L: 0 wall, 1 transmissive

  Array<double> TBC;  // end of each boundary interval (s)
  Array<double> hBC;  // depth at X = 0 (m)
  Array<double> QBC;  // discharge at X = 0 (m3/s)
  Array<double> CBC;  // concentration at X = 0

  int NTout = 0;
  Array<double> TOut;  // output times (s); the last is the end time

  int Nobs = 0;
  Array<double> XObs;  // observation positions (m)
};

// Model constants: single-precision literals widened to double keep the
// widened value.
constexpr double g = 9.807000160217285;        // gravity (m/s2), 9.807 in single precision
constexpr double theta = 1.0;                  // limiter parameter of the reconstruction
constexpr double kLateralMomentum = 1.0;       // multiplies the groundwater momentum term
constexpr double eps = 0.0010000000474974513;  // step controller tolerance, 0.001 single
// The smallest depth the model keeps (m): a dry cell of the initial state
// and the inlet depth are raised to it.
constexpr double kDryDepth = 1e-5;
// Reconstructed face depths are floored here (m), so that every face has a
// positive wave-speed spread.
constexpr double kFaceDepthFloor = 1e-10;
// The smallest step (s), 1e-15 in single precision: an inner step below it
// shows the pause "Stepsize smaller than minimum."; a Courant step below it
// means wave speeds beyond any physical flow (over 1e14 grid cells per
// second), and the run could never reach its end.
constexpr double kMinStep = 1.0000000036274937e-15;
// A schedule interval that ends within this (s) of the time reached is
// skipped.
constexpr double kIntervalGuard = 0.01;

// The grid, the cell geometry and the observation lookup; built once.
struct Grid {
  int M = 0;          // cells, Nfdn - 1
  int n = 0;          // entries of the flow state vector, 2M
  double dx = 0.0;    // cell length L/M (m)
  Array<double> X;        // node coordinate (m), by repeated addition
  Array<double> dXN;  // node spacing X(i) - X(i-1), 0 at both ends
  Array<double> VN;       // node control length (m)
  Array<double> Xc;       // cell centre (m)
  Array<double> Xl;       // left (upstream) face (m)
  Array<double> Xr;       // right (downstream) face (m)
  Array<double> B;        // width (m)
  Array<double> dBdx;     // width gradient (m/m)
  Array<double> S;        // bed slope of the cell's left node
  Array<double> RoughC;   // Manning roughness of the cell's left node

  // Observation lookup: preceding cell centre and node, and the distances to them.
  Array<int> kObsC, kObsN;
  Array<double> dObsC, dObsN;
};

// Segment tables mapped onto the nodes (1..Nfdn).
struct NodeFields {
  Array<double> WidthN, SlopeN, RoughN;
  Array<double> GWUpwN, CGWN;
  Array<double> hN, QN;  // initial depth (m), discharge (m3/s)
  Array<double> aLN, ReN, TauCRN, fN;
  Array<double> VsN, AlfaN, KdwN, KdsN;
  Array<double> HbN, RbN;
  Array<double> CN;   // stream-water concentration
  Array<double> CbN;  // bed-sediment concentration
};

// The flow state and the working arrays of the right-hand side.
struct Flow {
  Array<double> y;  // y(i) = h(i), y(M+i) = q(i)

  // Cell fields (1..M).
  Array<double> h;  // depth (m)
  Array<double> q;  // discharge per unit width (m2/s)
  Array<double> Q;  // discharge (m3/s)
  Array<double> u;  // velocity (m/s)
  Array<double> A;  // flow area (m2)

  // Face values of each cell, as the latest right-hand side left them.
  Array<double> hl, hr;
  Array<double> ql, qr;
  Array<double> ul, ur;
  // Per face j = 0..M: one-sided local speeds and fluxes.
  Array<double> ap, am;
  Array<double> Fh, Fq;
  // Cell sources.
  Array<double> Sh, Sq;
};

// Working values of the right-hand side's quadrature. The right-hand side
// evaluates the cells in blocks of a fixed number of cells (at most
// kRhsBlockMax); the block from cell i0 keeps its values from entry
// 1 + (i0-1)*kQuadPoints on, point k of its cell i0+c at offset
// (k-1)*block + c, so that the points k of neighbouring cells lie side by
// side and are evaluated as vectors. Each block is written only by the thread
// that evaluates it.
constexpr int kQuadPoints = 10;   // points of the midpoint rule over a cell
constexpr int kRhsBlockMax = 128; // the most cells of a block
struct RhsScratch {
  Array<double> R;  // hydraulic radius (m), then its Manning power
  Array<double> N;  // friction numerator u n2 |u|
  Array<double> T;  // groundwater and width momentum terms
};

// Boundary values set by the time loop before each outer step.
struct Boundary {
  double h0 = 0.0;   // depth at X = 0 for the interval (m)
  double q0 = 0.0;   // inflow per unit width at X = 0 (m2/s)
  double hU = 0.0;   // depth used for the velocity at X = 0 (m)
  double u0 = 0.0;   // velocity at X = 0 (m/s)
  double Fr0 = 0.0;  // Froude number at X = 0
  int NB0 = 0;       // 0 wall, 1 flux
  int NBL = 0;       // 0 wall, 1 transmissive
  double qX0 = 0.0;  // unit discharge at the X = 0 face after the last step (m2/s)
  double qXL = 0.0;  // unit discharge at the X = L face after the last step (m2/s)
};

// Scratch of the step controller and the Runge-Kutta step, state-vector sized.
struct StepScratch {
  Array<double> ywork, dydx, yscale;
  Array<double> y0, k1, yt;
  Array<double> k2, k3, k4;
  Array<double> k5, k6, err;
};

// Transport state beyond the node fields (1..Nfdn).
struct Transport {
  Array<double> CsN;    // transient-storage concentration
  Array<double> TResC;  // accumulated resuspended amount per unit bed area
  Array<double> TDepC;  // accumulated deposited amount per unit bed area
  Array<double> hn, un, An;  // node hydraulics
  Array<double> An_old;  // node flow area at the start of the step

  // Working values of one step (nodes 1..Nfdn unless noted).
  Array<double> E, P;         // resuspension rate, deposition factor
  Array<double> alb, beb;     // new Cb = alb*C + beb
  Array<double> als, bes;     // new Cs = als*C + bes
  Array<double> DA, Cf;       // per cell: dispersion, face value
  Array<double> Dw, Dg, De, R;
  Array<double> a, b, r;  // eliminated rows
  Array<double> C;                           // the new stream concentration

  // What the last step moved, per node, for the observation records.
  Array<double> tau;       // bed shear stress (N/m2)
  Array<double> resus;     // resuspension per unit bed area (amount/(m2 s))
  Array<double> settle;    // settling per unit bed area (amount/(m2 s))
  Array<double> exchange;  // into the storage zone per unit length (amount/(m s))
};

// The sources along the reach as the flow, the transport and the balances
// see them over one outer step. Sized at set-up only when the forcing file
// declares sources; without sources every array stays empty and `on` false.
struct SourceFields {
  bool on = false;
  // Per cell (1..Nfdn, the extent of GWUpwN; cell i uses entry i): the
  // lateral inflow the flow sees, groundwater plus sources, and the sources'
  // part of it (m2/s).
  Array<double> lateral;
  Array<double> qSrc;
  // Per node (1..Nfdn), shared from the cells as the node's control length
  // covers them: the sources' inflowing load per unit length (amount/(m s))
  // and their outflow rate per unit length (m2/s), taken at the stream
  // concentration.
  Array<double> loadN;
  Array<double> outN;
  // Source s (1..count) enters the cells cell(first(s)) .. cell(first(s+1)-1),
  // each taking the fraction share(j) of its discharge.
  int count = 0;
  Array<int> first;
  Array<int> cell;
  Array<double> share;
  // The values of each source over the current step: discharge (m3/s, as the
  // flow takes it), and its concentration or load times its strength.
  Array<double> Qnow;
  Array<double> Cnow;
  // Per cell: the fraction of the abstractions' demand that the cell's water
  // above the floor depth can meet over the coming step (1 when it can).
  Array<double> met;
  // Whether an abstraction's dry cell was reported already, per source.
  Array<int> warned;
};

// The die-off rates as the weather sets them over one outer step. Sized at
// set-up only when the forcing file gives an environment series; without one
// every array stays empty, `on` is false, and the transport and the balances
// read KdwN and KdsN.
struct WeatherFields {
  bool on = false;
  // The environment at the start of the current outer step: water
  // temperature (degrees C) and irradiance at the water surface (W/m2).
  double T = 20.0;
  double I0 = 0.0;
  // The rates table on the nodes (1..Nfdn), by the step rule.
  Array<double> theta_wN, theta_bN, light_alphaN, extinctionN;
  // The rates of the current step per node (1/s): in the water and the
  // transient storage, and in the bed.
  Array<double> KwN, KbN;
};

// The clock of the time loop and the schedules it keeps.
struct RunState {
  double t = 0.0;             // model time (s)
  double dt = 0.0;            // outer step (s)
  int interval = 0;           // current row of the boundary schedule
  double record_clock = 0.0;  // model time since the last observation record (s)
  int record_flag = 0;        // set when a record is due
  int output_index = 1;       // index into TOut of the next output time
  // A run continued from a saved state inside a row: the first row that runs
  // keeps the outer step and inlet depth it had.
  bool mid_row = false;
};

// Running sums and storages of the water and solute balances.
struct BalanceSums {
  double Wini = 0, Wfin = 0;           // water in the reach, at the start and now (m3)
  double QX0 = 0, QXL = 0, QGwU = 0;   // water in at X = 0, out at X = L, from groundwater (m3)
  double Cwini = 0, Cwfin = 0;         // solute in the stream water
  double Cstin = 0, Cstfin = 0;        // solute in the transient storage
  double Ctoti = 0, Ctotf = 0;         // stream water plus transient storage
  double Csini = 0, Csfin = 0;         // solute in the bed sediment
  double QCX0 = 0, QCXL = 0, QCGWU = 0;  // solute in at X = 0, out at X = L, from groundwater
  double Cwdoff = 0, Csdoff = 0;       // decay in the water and storage, die-off in the bed
  double CResus = 0, CDepos = 0;       // resuspended and deposited so far
  double Dyeoff = 0;                   // Cwdoff + Csdoff
  // Sources along the reach, counted when the run has them (or continues a
  // run that had them): water in (m3, net of abstractions), solute in with
  // the inflows and out with the outflows.
  bool sources = false;
  double QSrc = 0, QCSrcIn = 0, QCSrcOut = 0;
};

// What closing the balances finds besides the final storages: the Froude
// number at X = 0 and, for each balance, its absolute and relative (%) error.
struct BalanceError {
  double ER_A = 0, ER_R = 0;
};
struct BalanceClosure {
  double Fr = 0;
  BalanceError water, stream, bed;  // stream water with storage; bed sediment
};

// Cell means of the concentrations, refreshed when a profile is written.
struct ProfileMeans {
  Array<double> C, Cb, Cs;
};

// The values of one observation record: position j's depth, velocity,
// discharge, concentration, bed concentration, then for the CSV results its
// storage concentration and the five fluxes, at entries 11(j-1)+1 .. 11j.
// Computed by the run layer when a record is due, then written out.
constexpr int kObservedValues = 11;
struct ObservationValues {
  Array<double> v;
  // With sources: per position j, the discharge (m3/s) and the load
  // (amount/s) the sources add over the stretch that ends at it, at entries
  // 2j-1 and 2j.
  Array<double> src;
  // With weather: per position j, the temperature, the irradiance and the
  // water and bed rates at the site, at entries 4j-3 .. 4j.
  Array<double> weather;
};

// How the Manning powers of the friction term are computed: each by the
// platform's pow, or by a vector kernel on 4 (AVX2 with FMA) or 8 (AVX-512)
// values at a time that gives the same bits, on AVX-512 its tables read lane
// by lane or by hardware gathers.
enum class PowPath { scalar, avx2, avx512, avx512_gather };

// How a run is carried out; the results do not depend on it.
struct RunSettings {
  // Threads that evaluate the flow right-hand side; 0 is one.
  int threads = 0;
  // Accept decks past the standard capacities (1001 nodes, 100 rows per
  // parameter table, 1000 initial and schedule rows, 100 output times, 10
  // observation positions).
  bool lift_capacities = false;
  // The right-hand side runs on AVX2 vectors where the processor has them;
  // false keeps it to the baseline instructions. Both give the same bits.
  bool avx2 = true;
  // The path of the Manning powers; the best the processor offers unless a
  // path is forced (--pow-path, QUARNO_POW_PATH).
  PowPath pow_path = PowPath::avx512_gather;
  // Bring the flow to its steady state before time 0 and keep it frozen
  // while the transport runs (the flow must not change with the schedule).
  bool steady_flow = false;
  // A saved steady flow state to reuse when it matches this run; empty:
  // compute it.
  std::string flow_state;
  // Model time between observation records (s): a record is taken at the end
  // of the first outer step at which the steps since the last one reach it.
  double record_interval = 60.0;
};

// The steady flow of a run with a frozen flow: how it was reached, and the
// state before the last pseudo-time step, to measure the change.
struct SteadyFlow {
  int row = 1;  // the schedule row whose boundary values the steady flow has
  Array<double> y_before;
  double pseudo_time = 0.0;  // s
  long steps = 0;            // outer steps of pseudo-time
  long heun_steps = 0;       // of them, the cheaper steps of Heun's method
  double change = 0.0;       // largest relative change of h or q over the last step
};

class Team;

struct Model {
  RunSettings settings;
  RunScalars run;
  ParamTables par;
  BicondTables bic;
  Grid grid;
  NodeFields nodes;
  Flow flow;
  RhsScratch rhs;
  Boundary bnd;
  StepScratch step;
  Transport tr;
  RunState clock;
  BalanceSums bal;
  ProfileMeans means;
  ObservationValues observed;
  SteadyFlow steady;
  // Sources along the reach and the weather from the optional forcing file;
  // none without it.
  Forcing forcing;
  SourceFields src;
  WeatherFields weather;
  // The helper threads of the flow right-hand side while a run goes on;
  // none evaluates the right-hand side on the calling thread alone.
  Team* team = nullptr;
};

}  // namespace quarno
