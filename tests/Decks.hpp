// Input decks for tests: a straight reach with one value per property, and
// runs of the model on them, in-process or through the real program.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Results.hpp"  // runs are read back with these
#include "model/Model.hpp"

namespace quarno::test {

struct Row {
  double T, h, Q, C;
};

// One row of a table along the reach: position and one or two values.
struct TableRow {
  double X, a, b;
};

struct Reach {
  int NTr = 0;
  int Nfdn = 11;
  double L = 1000.0;
  double width0 = 10.0, width1 = 10.0;  // at X = 0 and X = L, linear between
  double slope = 0.0;
  double rough = 0.03;
  double gw = 0.0, cgw = 0.0;           // groundwater upwelling (m2/s) and its concentration
  double h0 = 1.0, h1 = 1.0;            // initial depth at X = 0 and X = L
  double Q = 0.0;                       // initial discharge
  int NB0 = 0, NBL = 0;
  std::vector<Row> schedule = {{3600.0, 1.0, 0.0, 0.0}};
  std::vector<double> tout = {3600.0};
  std::vector<double> xobs;
  // Transport: one row of parameters for the whole reach, uniform initial C and Cb.
  double aL = 0.0, Re = 0.0, TauCR = 1.0, f = 0.1, Vs = 0.0, Alfa = 0.0, Kdw = 0.0, Kds = 0.0;
  double Hb = 0.1, Rb = 1500.0;
  double C = 0.0, Cb = 0.0;
  // Tables of several rows along the reach; when one is given it replaces the
  // two-row table built from the single values above. Slope and roughness
  // rows use `a`; initial flow rows are (X, h, Q), initial transport rows
  // (X, C, Cb).
  std::vector<TableRow> slope_rows, rough_rows, flow_rows, conc_rows;
};

// 10 m3/s entering a straight channel 10 m wide (slope 0.001, Manning n 0.03)
// through a flux inlet and leaving freely, starting at depth h everywhere;
// one hour of constant inflow.
Reach flowing_channel(int Nfdn, double L, double h);

// The flowing channel on 11 nodes over 1 km for 10 minutes, with output
// times 300 and 600 s and one observation position at 500 m: a whole run in
// a fraction of a second.
Reach small_reach();

std::string param_text(const Reach& r);
std::string bicond_text(const Reach& r);

struct InProcessRun {
  std::unique_ptr<Model> model;
  std::string results, obs, console;
  std::string warnings;  // standard error's warnings and notes
  int status = 0;      // 0, 1 (bad input) or 2 (numerical failure)
  std::string error;   // the message of a failed run
};

// Runs the model on the deck without the closing pause.
InProcessRun run_in_process(const Reach& r);
InProcessRun run_in_process(const std::string& param, const std::string& bicond);

}  // namespace quarno::test
