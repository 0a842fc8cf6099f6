// The grid, the mapping of segment tables onto the nodes, the observation
// lookup and the initial flow state, built in-process from tables set in the
// model.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "input/TableMap.hpp"
#include "model/Columns.hpp"
#include "model/Model.hpp"
#include "run/Setup.hpp"

namespace quarno {
namespace {

struct Row {
  double x, v;
};

// Writes the rows into a table's position and value columns.
void set_table(Array<double>& x, Array<double>& v, int& n, std::initializer_list<Row> rows) {
  n = 0;
  for (const Row& r : rows) {
    ++n;
    x(n) = r.x;
    v(n) = r.v;
  }
}

Array<double> nodes_at(std::initializer_list<double> positions) {
  Array<double> X(1, static_cast<int>(positions.size()));
  int j = 0;
  for (double p : positions) X(++j) = p;
  return X;
}

std::vector<double> mapped(std::initializer_list<Row> rows, const Array<double>& X, int mode) {
  Array<double> x(1, 10), v(1, 10), result(1, X.hi());
  int n = 0;
  set_table(x, v, n, rows);
  map_table(v, x, result, X, n, X.hi(), mode);
  std::vector<double> out;
  for (int j = 1; j <= X.hi(); ++j) out.push_back(result(j));
  return out;
}

constexpr int kStep = 0, kLinear = 1;

// A reach of the given length and node count with uniform tables: width 10,
// slope 0.001, roughness 0.03, no groundwater, depth 1 and discharge 5.
std::unique_ptr<Model> uniform_reach(double L, int Nfdn) {
  auto m = std::make_unique<Model>();
  m->run.L = L;
  m->run.Nfdn = Nfdn;
  columns::size_tables(*m, 3);  // tests replace a table by one of up to three rows
  ParamTables& p = m->par;
  set_table(p.XWidth, p.Width, p.NWidth, {{0, 10}, {L, 10}});
  set_table(p.XSlope, p.Slope, p.NSlope, {{0, 0.001}, {L, 0.001}});
  set_table(p.XRough, p.Rough, p.NRough, {{0, 0.03}, {L, 0.03}});
  set_table(p.XGW, p.GWUpw, p.NGW, {{0, 0}, {L, 0}});
  BicondTables& b = m->bic;
  set_table(b.XInCW, b.hInCW, b.NInCW, {{0, 1}, {L, 1}});
  b.QInCW(1) = 5;
  b.QInCW(2) = 5;
  return m;
}

void set_up(Model& m) {
  build_grid(m);
  locate_observations(m);
  map_tables(m);
  initial_state(m);
}

// ---------------------------------------------------------------------------

TEST(TableMapRules, LinearRuleRunsTheLastSegmentToTheLastNode) {
  const auto X = nodes_at({0, 250, 500, 750, 1000});
  // 750 gets 25, not 26.25: the last segment ends at the last node, not at 900.
  EXPECT_EQ(mapped({{0, 10}, {500, 20}, {900, 30}}, X, kLinear),
            (std::vector<double>{10, 15, 20, 25, 30}));
}

TEST(TableMapRules, StepRuleTakesTheValueOfTheSegmentsFirstRow) {
  const auto X = nodes_at({0, 250, 500, 750, 1000});
  // The node at 500 still belongs to the first segment; 30 is never used.
  EXPECT_EQ(mapped({{0, 10}, {500, 20}, {900, 30}}, X, kStep),
            (std::vector<double>{10, 10, 10, 20, 20}));
}

TEST(TableMapRules, NodeJustBeyondASegmentEndStaysInItWithinTheTolerance) {
  const std::initializer_list<Row> rows = {{0, 10}, {500, 20}, {900, 30}};
  EXPECT_EQ(mapped(rows, nodes_at({0, 500.00005, 1000}), kStep)[1], 10.0);
  EXPECT_EQ(mapped(rows, nodes_at({0, 500.0002, 1000}), kStep)[1], 20.0);
  // The linear rule keeps extending the first segment's line inside the tolerance.
  EXPECT_NEAR(mapped(rows, nodes_at({0, 500.00005, 1000}), kLinear)[1], 20.000001, 1e-9);
  EXPECT_NEAR(mapped(rows, nodes_at({0, 500.0002, 1000}), kLinear)[1], 20.000004, 1e-9);
}

TEST(TableMapRules, TwoRowTableIsOneLineToTheLastNodeWhateverTheSecondPosition) {
  const auto X = nodes_at({0, 250, 500, 750, 1000});
  const std::vector<double> line{5, 6, 7, 8, 9};
  EXPECT_EQ(mapped({{0, 5}, {1000, 9}}, X, kLinear), line);
  EXPECT_EQ(mapped({{0, 5}, {600, 9}}, X, kLinear), line);
  EXPECT_EQ(mapped({{0, 5}, {1000, 9}}, X, kStep), (std::vector<double>(5, 5.0)));
}

TEST(TableMapRules, ANodeCanPassSeveralRowsAtOnce) {
  // The node at 500 skips segments 1 and 2 and lands in the last one,
  // which runs from 200 to the last node at 1000.
  const auto X = nodes_at({0, 500, 1000});
  const std::initializer_list<Row> rows = {{0, 1}, {100, 2}, {200, 3}, {300, 4}};
  EXPECT_EQ(mapped(rows, X, kStep), (std::vector<double>{1, 3, 3}));
  EXPECT_EQ(mapped(rows, X, kLinear), (std::vector<double>{1, 3.375, 4}));
}

// Every node field, the column it comes from and its rule, as the mapping
// must make them; TSS is read but mapped onto nothing.
struct Mapped {
  const char* column;
  Array<double> NodeFields::*field;
  bool linear;
  bool transport;
};
const Mapped kMappedFields[] = {
    {"Width", &NodeFields::WidthN, true, false}, {"Slope", &NodeFields::SlopeN, false, false},
    {"Rough", &NodeFields::RoughN, false, false}, {"GWUpw", &NodeFields::GWUpwN, false, false},
    {"CGW", &NodeFields::CGWN, false, false},     {"h", &NodeFields::hN, true, false},
    {"Q", &NodeFields::QN, true, false},          {"aL", &NodeFields::aLN, false, true},
    {"Re", &NodeFields::ReN, false, true},        {"TauCR", &NodeFields::TauCRN, false, true},
    {"f", &NodeFields::fN, false, true},          {"Vs", &NodeFields::VsN, false, true},
    {"Alfa", &NodeFields::AlfaN, false, true},    {"Kdw", &NodeFields::KdwN, false, true},
    {"Kds", &NodeFields::KdsN, false, true},      {"Hb", &NodeFields::HbN, false, true},
    {"Rb", &NodeFields::RbN, false, true},        {"C", &NodeFields::CN, true, true},
    {"Cb", &NodeFields::CbN, true, true},
};

TEST(MapTables, EachColumnReachesItsOwnNodeFieldFromItsOwnTableByItsRule) {
  // Table t has rows at 0, 200 + 100 t and L; column c holds 100 c, +1, +2.
  // Nodes every 100 m tell the tables' middle rows and the two rules apart.
  constexpr double L = 1000;
  for (int NTr : {0, 1}) {
    Model m;
    m.run.L = L;
    m.run.Nfdn = 11;
    m.run.NTr = NTr;
    columns::size_tables(m, 3);
    for (int t = 0; t < columns::kTableCount; ++t) {
      const columns::Table& table = columns::kTables[t];
      columns::rows(m, table) = 3;
      columns::positions(m, table)(1) = 0;
      columns::positions(m, table)(2) = 200 + 100 * t;
      columns::positions(m, table)(3) = L;
    }
    for (int c = 0; c < columns::kColumnCount; ++c)
      for (int k = 1; k <= 3; ++k) columns::values(m, columns::kColumns[c])(k) = 100 * c + k - 1;
    build_grid(m);
    map_tables(m);

    int checked = 0;
    for (int c = 0; c < columns::kColumnCount; ++c) {
      const columns::Column& col = columns::kColumns[c];
      const Mapped* want = nullptr;
      for (const Mapped& f : kMappedFields)
        if (std::string(f.column) == col.name) want = &f;
      if (want == nullptr) {
        EXPECT_EQ(std::string(col.name), "TSS");
        EXPECT_EQ(col.node, nullptr);
        continue;
      }
      ++checked;
      const double x2 = columns::positions(m, columns::kTables[col.table])(2);
      for (int j = 1; j <= 11; ++j) {
        SCOPED_TRACE(std::string(col.name) + ", NTr " + std::to_string(NTr) + ", node " +
                     std::to_string(j));
        const double X = m.grid.X(j), v = 100.0 * c;
        const bool first = X <= x2 + 1e-4;  // a node at a row's position ends its segment
        double expect = first ? v : v + 1;
        if (want->linear) expect = first ? v + X / x2 : v + 1 + (X - x2) / (L - x2);
        if (want->transport && NTr <= 0) expect = 0;
        EXPECT_NEAR((m.nodes.*want->field)(j), expect, 1e-9);
      }
    }
    EXPECT_EQ(checked, static_cast<int>(std::size(kMappedFields)));
  }
}

// ---------------------------------------------------------------------------

TEST(GridGeometry, ThreeNodesOverTenMetres) {
  auto m = uniform_reach(10, 3);
  build_grid(*m);
  const Grid& gr = m->grid;
  EXPECT_EQ(gr.M, 2);
  EXPECT_EQ(gr.n, 4);
  EXPECT_EQ(gr.dx, 5.0);
  EXPECT_EQ(gr.X(1), 0.0);
  EXPECT_EQ(gr.X(2), 5.0);
  EXPECT_EQ(gr.X(3), 10.0);
  EXPECT_EQ(gr.Xc(1), 2.5);
  EXPECT_EQ(gr.Xc(2), 7.5);
  EXPECT_EQ(gr.Xl(1), 0.0);
  EXPECT_EQ(gr.Xr(1), 5.0);
  EXPECT_EQ(gr.Xl(2), 5.0);
  EXPECT_EQ(gr.Xr(2), 10.0);
  EXPECT_EQ(gr.dXN(1), 0.0);
  EXPECT_EQ(gr.dXN(2), 5.0);
  EXPECT_EQ(gr.dXN(4), 0.0);
  EXPECT_EQ(gr.VN(1), 2.5);
  EXPECT_EQ(gr.VN(2), 5.0);
  EXPECT_EQ(gr.VN(3), 2.5);
}

TEST(GridGeometry, LastNodeIsTheAccumulatedSumNotL) {
  struct Case {
    double L;
    int Nfdn;
    double last;
  };
  for (const Case& c : {Case{1, 11, std::nextafter(1.0, 0.0)},       // 0.9999999999999999
                        Case{100, 7, std::nextafter(100.0, 200.0)},  // 100.00000000000001
                        Case{1000, 11, 1000.0}}) {
    auto m = uniform_reach(c.L, c.Nfdn);
    build_grid(*m);
    EXPECT_EQ(m->grid.X(c.Nfdn), c.last) << "L = " << c.L << ", Nfdn = " << c.Nfdn;
  }
}

// ---------------------------------------------------------------------------

// Observation lookup on L = 1000 with 10 cells: centres at 50, 150, ..., 950.
class GridObservations : public ::testing::Test {
 protected:
  void locate(std::initializer_list<double> positions, double L = 1000, int Nfdn = 11) {
    m = uniform_reach(L, Nfdn);
    m->bic.XObs.resize(1, static_cast<int>(positions.size()));
    int j = 0;
    for (double xo : positions) m->bic.XObs(++j) = xo;
    m->bic.Nobs = j;
    build_grid(*m);
    locate_observations(*m);
  }
  std::unique_ptr<Model> m;
};

TEST_F(GridObservations, PositionsOnACentreOrANodeTakeThePrecedingOne) {
  locate({250, 300});
  const Grid& gr = m->grid;
  // 250 is the centre of cell 3.
  EXPECT_EQ(gr.kObsC(1), 2);
  EXPECT_EQ(gr.dObsC(1), gr.Xc(3) - gr.Xc(2));
  EXPECT_EQ(gr.kObsN(1), 3);
  EXPECT_EQ(gr.dObsN(1), 50.0);
  // 300 is node 4.
  EXPECT_EQ(gr.kObsC(2), 3);
  EXPECT_EQ(gr.dObsC(2), 50.0);
  EXPECT_EQ(gr.kObsN(2), 3);
  EXPECT_EQ(gr.dObsN(2), 100.0);
}

TEST_F(GridObservations, PositionBetweenCentres) {
  locate({123});
  EXPECT_EQ(m->grid.kObsC(1), 1);
  EXPECT_EQ(m->grid.dObsC(1), 73.0);
  EXPECT_EQ(m->grid.kObsN(1), 2);
  EXPECT_EQ(m->grid.dObsN(1), 23.0);
}

TEST_F(GridObservations, PositionAtTheEndUsesTheLastCell) {
  locate({1000});
  const Grid& gr = m->grid;
  EXPECT_EQ(gr.kObsC(1), gr.M);
  EXPECT_EQ(gr.dObsC(1), 50.0);
  // X(11) is exactly 1000 here, so the node search stops on it.
  EXPECT_EQ(gr.kObsN(1), 10);
  EXPECT_EQ(gr.dObsN(1), 100.0);
}

TEST_F(GridObservations, PositionsUpToTheFirstCentreAndAtZeroAreClamped) {
  locate({0, 40, 50});
  const Grid& gr = m->grid;
  for (int j = 1; j <= 3; ++j) {
    EXPECT_EQ(gr.kObsC(j), 1) << "position " << j;
    EXPECT_EQ(gr.dObsC(j), 0.0) << "position " << j;
  }
  EXPECT_EQ(gr.kObsN(1), 1);
  EXPECT_EQ(gr.dObsN(1), 0.0);
  EXPECT_EQ(gr.kObsN(2), 1);
  EXPECT_EQ(gr.dObsN(2), 40.0);
}

TEST_F(GridObservations, PositionBeyondTheAccumulatedLastNodeUsesTheLastInterval) {
  // With L = 1 and 11 nodes X(11) = 0.9999999999999999 < 1.
  locate({1.0}, 1.0, 11);
  const Grid& gr = m->grid;
  ASSERT_LT(gr.X(11), 1.0);
  EXPECT_EQ(gr.kObsN(1), 10);
  EXPECT_EQ(gr.dObsN(1), gr.dx);
  EXPECT_EQ(gr.kObsC(1), 10);
}

// ---------------------------------------------------------------------------

TEST(GridInitialState, CellGeometryAndStateFromTheNodeFields) {
  auto m = uniform_reach(1000, 5);  // nodes at 0, 250, 500, 750, 1000
  ParamTables& p = m->par;
  BicondTables& b = m->bic;
  set_table(p.XWidth, p.Width, p.NWidth, {{0, 10}, {1000, 20}});
  set_table(p.XSlope, p.Slope, p.NSlope, {{0, 0.001}, {500, 0.002}, {1000, 0.003}});
  set_table(p.XRough, p.Rough, p.NRough, {{0, 0.03}, {250, 0.04}, {1000, 0.05}});
  set_table(b.XInCW, b.hInCW, b.NInCW, {{0, 1}, {1000, 2}});
  b.QInCW(1) = 20;
  b.QInCW(2) = 40;
  set_up(*m);
  const Grid& gr = m->grid;
  const Flow& f = m->flow;

  // Widths at the nodes 10, 12.5, 15, 17.5, 20; discharges 20, 25, ..., 40.
  const double B[] = {11.25, 13.75, 16.25, 18.75};
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(gr.B(i), B[i - 1]) << "cell " << i;
    EXPECT_DOUBLE_EQ(gr.dBdx(i), 0.01) << "cell " << i;
    EXPECT_EQ(f.q(i), 2.0) << "cell " << i;  // mean node discharge / width
    EXPECT_EQ(f.h(i), 1.0 + 0.25 * i - 0.125) << "cell " << i;
    EXPECT_EQ(f.u(i), f.q(i) / f.h(i)) << "cell " << i;
    EXPECT_EQ(f.y(i), f.h(i)) << "cell " << i;
    EXPECT_EQ(f.y(4 + i), f.q(i)) << "cell " << i;
  }
  // Slope and roughness of each cell's left node: node 3 (at 500) still
  // belongs to the first slope segment, node 2 (at 250) to the first
  // roughness segment.
  EXPECT_EQ(gr.S(3), 0.001);
  EXPECT_EQ(gr.S(4), 0.002);
  EXPECT_EQ(gr.RoughC(1), 0.03);
  EXPECT_EQ(gr.RoughC(2), 0.03);
  EXPECT_EQ(gr.RoughC(3), 0.04);
}

TEST(GridInitialState, CellsAveragingExactlyTheFloorDepthAreDry) {
  auto m = uniform_reach(1000, 5);
  ParamTables& p = m->par;
  BicondTables& b = m->bic;
  set_table(p.XSlope, p.Slope, p.NSlope, {{0, -0.0004}, {1000, -0.0004}});
  set_table(p.XRough, p.Rough, p.NRough, {{0, 0.04}, {200, 0.0}, {1000, 0.0}});
  // Node depths 1e-5 up to 500 m, then rising to 1 at the end.
  set_table(b.XInCW, b.hInCW, b.NInCW, {{0, 1e-5}, {500, 1e-5}, {1000, 1}});
  for (int k = 1; k <= 3; ++k) b.QInCW(k) = 0.1;
  set_up(*m);
  const Flow& f = m->flow;
  const Grid& gr = m->grid;

  // The dry velocity factor is 1e-5 raised to 0.667.
  constexpr double kFactor = 0.000462381044244636;
  EXPECT_NEAR(kFactor, std::pow(1e-5, 0.667), 1e-6 * kFactor);

  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(f.h(i), 1e-5) << "cell " << i;
    EXPECT_EQ(f.y(i), 1e-5) << "cell " << i;
    EXPECT_DOUBLE_EQ(f.q(i), 0.01) << "cell " << i;  // the discharge is kept
    EXPECT_EQ(f.y(4 + i), f.q(i)) << "cell " << i;
  }
  EXPECT_DOUBLE_EQ(f.u(1), kFactor * 0.02 / 0.04);  // sqrt(|S|) / n
  EXPECT_EQ(f.u(2), 0.0);                           // roughness 0: no Manning velocity
  // Cells 3 and 4 are wet: velocity q / h.
  EXPECT_GT(f.h(3), 1e-5);
  EXPECT_EQ(f.u(3), f.q(3) / f.h(3));
  EXPECT_EQ(gr.RoughC(3), 0.0);
}

TEST(GridInitialState, TransportFieldsOnlyWhenTransportIsOn) {
  for (int NTr : {0, 1}) {
    auto m = uniform_reach(1000, 5);
    m->run.NTr = NTr;
    ParamTables& p = m->par;
    BicondTables& b = m->bic;
    p.NTrPar = 2;
    for (int k = 1; k <= 2; ++k) {
      p.XTrPar(k) = (k - 1) * 1000.0;
      p.aL(k) = 5;
      p.Re(k) = 1e-5;
      p.TauCR(k) = 2;
      p.f(k) = 0.2;
      p.Vs(k) = 1e-5;
      p.Alfa(k) = 1e-4;
      p.Kdw(k) = 1e-5;
      p.Kds(k) = 1e-6;
      p.Hb(k) = 0.05;
      p.Rb(k) = 1500;
    }
    set_table(b.XInCT, b.CInCT, b.NInCT, {{0, 100}, {1000, 500}});
    b.CbInCT(1) = 7;
    b.CbInCT(2) = 7;
    build_grid(*m);
    for (int k = 1; k <= 5; ++k) {  // leftovers that the initial state must clear
      m->tr.TResC(k) = 3;
      m->tr.TDepC(k) = 3;
    }
    locate_observations(*m);
    map_tables(*m);
    initial_state(*m);
    const NodeFields& nf = m->nodes;
    for (int k = 1; k <= 5; ++k) {
      SCOPED_TRACE("NTr = " + std::to_string(NTr) + ", node " + std::to_string(k));
      if (NTr > 0) {
        EXPECT_EQ(nf.CN(k), 100.0 + 100.0 * (k - 1));
        EXPECT_EQ(nf.CbN(k), 7.0);
        EXPECT_EQ(nf.aLN(k), 5.0);
        EXPECT_EQ(nf.RbN(k), 1500.0);
        EXPECT_EQ(m->tr.CsN(k), nf.CN(k));
        EXPECT_EQ(m->tr.TResC(k), 0.0);
        EXPECT_EQ(m->tr.TDepC(k), 0.0);
      } else {
        EXPECT_EQ(nf.CN(k), 0.0);
        EXPECT_EQ(nf.aLN(k), 0.0);
        EXPECT_EQ(m->tr.CsN(k), 0.0);
      }
    }
  }
}

}  // namespace
}  // namespace quarno
