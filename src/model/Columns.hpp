// The tables of the deck that are read as rows (position, values...) and
// mapped onto the grid nodes, and every value column of them: its name, its
// unit, the table array that holds it, the node field it is mapped onto and
// how, and whether it must be positive. The reading, checks, echo and
// mapping all walk these lists, in their order (file order), so that a new
// column is added here once.
#pragma once

#include "model/FileNames.hpp"
#include "model/Model.hpp"

namespace quarno::columns {

// A node up to this far beyond a segment's end (m, absolute) still belongs
// to that segment when a table is mapped onto the grid.
inline constexpr double kPositionTolerance = 0.0001;

// How a table column becomes a node field (the mode of map_table).
enum class Rule {
  None = -1,   // not mapped: read and echoed only
  Step = 0,    // each node takes the value of the row that starts its segment
  Linear = 1,  // each node takes the line through its segment's ends
};

// One table: a count step, then rows of the position and the value columns.
// Exactly one of the Param and Bicond member pointers is set: the one of
// the file the table is read from.
struct Table {
  const char* count;     // the count's name, e.g. "NWidth"
  const char* position;  // the position column's array, e.g. "XWidth"
  const char* file;      // the file it is read from
  bool transport;        // read and mapped only when NTr > 0
  int ParamTables::*param_count;
  Array<double> ParamTables::*param_x;
  int BicondTables::*bicond_count;
  Array<double> BicondTables::*bicond_x;
};

enum TableId { kWidthTable, kSlopeTable, kRoughTable, kGWTable, kTrParTable, kInitFlowTable,
               kInitTranspTable, kTableCount };

inline constexpr Table kTables[kTableCount] = {
    {"NWidth", "XWidth", files::kParam, false, &ParamTables::NWidth,
     &ParamTables::XWidth, nullptr, nullptr},
    {"NSlope", "XSlope", files::kParam, false, &ParamTables::NSlope,
     &ParamTables::XSlope, nullptr, nullptr},
    {"NRough", "XRough", files::kParam, false, &ParamTables::NRough,
     &ParamTables::XRough, nullptr, nullptr},
    {"NGW", "XGW", files::kParam, false, &ParamTables::NGW, &ParamTables::XGW,
     nullptr, nullptr},
    {"NTrPar", "XTrPar", files::kParam, true, &ParamTables::NTrPar,
     &ParamTables::XTrPar, nullptr, nullptr},
    {"NInCW", "XInCW", files::kBicond, false, nullptr, nullptr,
     &BicondTables::NInCW, &BicondTables::XInCW},
    {"NInCT", "XInCT", files::kBicond, true, nullptr, nullptr,
     &BicondTables::NInCT, &BicondTables::XInCT},
};

// One value column of a table.
struct Column {
  const char* name;   // as the deck and the tools label it, e.g. "h"
  const char* array;  // the table array, named in messages, e.g. "hInCW"
  const char* unit;   // "" where the user chooses it (concentrations)
  TableId table;
  Array<double> ParamTables::*param_values;
  Array<double> BicondTables::*bicond_values;
  const char* node_name;                // the node field, e.g. "hN"; "" when not mapped
  Array<double> NodeFields::*node;      // nullptr when not mapped
  Rule rule;
  bool positive;  // must be positive in the table and on the grid
  bool flow;      // the flow reads it (the rest enters only the transport)
};

// Shorthands for the entries below.
namespace detail {
constexpr Column param(const char* name, const char* unit, TableId t,
                       Array<double> ParamTables::*v, const char* node_name,
                       Array<double> NodeFields::*node, Rule rule, bool positive,
                       bool flow = false) {
  return {name, name, unit, t, v, nullptr, node_name, node, rule, positive, flow};
}
constexpr Column bicond(const char* name, const char* array, const char* unit, TableId t,
                        Array<double> BicondTables::*v, const char* node_name,
                        Array<double> NodeFields::*node, bool flow) {
  return {name, array, unit, t, nullptr, v, node_name, node, Rule::Linear, false, flow};
}
}  // namespace detail

constexpr bool kPositive = true;
constexpr bool kFlow = true;

inline constexpr Column kColumns[] = {
    detail::param("Width", "m", kWidthTable, &ParamTables::Width, "WidthN", &NodeFields::WidthN,
                  Rule::Linear, kPositive, kFlow),
    detail::param("Slope", "m/m", kSlopeTable, &ParamTables::Slope, "SlopeN", &NodeFields::SlopeN,
                  Rule::Step, false, kFlow),
    detail::param("Rough", "s/m^(1/3)", kRoughTable, &ParamTables::Rough, "RoughN",
                  &NodeFields::RoughN, Rule::Step, false, kFlow),
    detail::param("GWUpw", "m2/s", kGWTable, &ParamTables::GWUpw, "GWUpwN", &NodeFields::GWUpwN,
                  Rule::Step, false, kFlow),
    detail::param("CGW", "", kGWTable, &ParamTables::CGW, "CGWN", &NodeFields::CGWN, Rule::Step,
                  false),
    detail::param("aL", "m", kTrParTable, &ParamTables::aL, "aLN", &NodeFields::aLN, Rule::Step,
                  false),
    detail::param("Re", "kg/(m2 s)", kTrParTable, &ParamTables::Re, "ReN", &NodeFields::ReN,
                  Rule::Step, false),
    detail::param("TauCR", "N/m2", kTrParTable, &ParamTables::TauCR, "TauCRN",
                  &NodeFields::TauCRN, Rule::Step, kPositive),
    detail::param("f", "-", kTrParTable, &ParamTables::f, "fN", &NodeFields::fN, Rule::Step,
                  kPositive),
    detail::param("Vs", "m/s", kTrParTable, &ParamTables::Vs, "VsN", &NodeFields::VsN, Rule::Step,
                  false),
    detail::param("Alfa", "1/s", kTrParTable, &ParamTables::Alfa, "AlfaN", &NodeFields::AlfaN,
                  Rule::Step, false),
    detail::param("Kdw", "1/s", kTrParTable, &ParamTables::Kdw, "KdwN", &NodeFields::KdwN,
                  Rule::Step, false),
    detail::param("Kds", "1/s", kTrParTable, &ParamTables::Kds, "KdsN", &NodeFields::KdsN,
                  Rule::Step, false),
    detail::param("TSS", "kg/m3", kTrParTable, &ParamTables::TSS, "", nullptr, Rule::None, false),
    detail::param("Hb", "m", kTrParTable, &ParamTables::Hb, "HbN", &NodeFields::HbN, Rule::Step,
                  kPositive),
    detail::param("Rb", "kg/m3", kTrParTable, &ParamTables::Rb, "RbN", &NodeFields::RbN,
                  Rule::Step, kPositive),
    detail::bicond("h", "hInCW", "m", kInitFlowTable, &BicondTables::hInCW, "hN", &NodeFields::hN,
                   kFlow),
    detail::bicond("Q", "QInCW", "m3/s", kInitFlowTable, &BicondTables::QInCW, "QN",
                   &NodeFields::QN, kFlow),
    detail::bicond("C", "CInCT", "", kInitTranspTable, &BicondTables::CInCT, "CN", &NodeFields::CN,
                   false),
    detail::bicond("Cb", "CbInCT", "", kInitTranspTable, &BicondTables::CbInCT, "CbN",
                   &NodeFields::CbN, false),
};

inline constexpr int kColumnCount = static_cast<int>(sizeof kColumns / sizeof kColumns[0]);

// The columns of a table follow one another in kColumns, in the order of a row.
constexpr int first_column(TableId t) {
  int c = 0;
  while (c < kColumnCount && kColumns[c].table != t) ++c;
  return c;
}
constexpr int column_count(TableId t) {
  int n = 0;
  for (const Column& c : kColumns) n += c.table == t ? 1 : 0;
  return n;
}
// Values per row of a table, the position included.
constexpr int row_width(TableId t) { return 1 + column_count(t); }

constexpr bool tables_in_order() {
  for (int c = 1; c < kColumnCount; ++c)
    if (kColumns[c].table < kColumns[c - 1].table) return false;
  for (int t = 0; t < kTableCount; ++t)
    if (column_count(static_cast<TableId>(t)) == 0) return false;
  return true;
}
static_assert(tables_in_order(), "each table's columns must follow one another, tables in order");

constexpr bool mapping_consistent() {
  for (const Column& c : kColumns) {
    if ((c.node == nullptr) != (c.rule == Rule::None)) return false;
    if ((c.param_values == nullptr) == (c.bicond_values == nullptr)) return false;
    const Table& t = kTables[c.table];
    if ((c.param_values == nullptr) != (t.param_count == nullptr)) return false;
  }
  return true;
}
static_assert(mapping_consistent(), "a column is mapped exactly when it has a rule, and lives in "
                                    "one file's tables, the file of its table");

// The arrays and counts of a Model that the entries name.
inline int& rows(Model& m, const Table& t) {
  return t.param_count ? m.par.*t.param_count : m.bic.*t.bicond_count;
}
inline int rows(const Model& m, const Table& t) {
  return t.param_count ? m.par.*t.param_count : m.bic.*t.bicond_count;
}
inline Array<double>& positions(Model& m, const Table& t) {
  return t.param_x ? m.par.*t.param_x : m.bic.*t.bicond_x;
}
inline const Array<double>& positions(const Model& m, const Table& t) {
  return t.param_x ? m.par.*t.param_x : m.bic.*t.bicond_x;
}
inline Array<double>& values(Model& m, const Column& c) {
  return c.param_values ? m.par.*c.param_values : m.bic.*c.bicond_values;
}
inline const Array<double>& values(const Model& m, const Column& c) {
  return c.param_values ? m.par.*c.param_values : m.bic.*c.bicond_values;
}

// The columns of the CSV results, in order. With a start date, `datetime`
// (ISO 8601, UTC) follows `time_s` in each of them.
inline constexpr char kDateCsvColumn[] = "datetime";
inline constexpr const char* kObsCsvColumns[] = {
    "time_s", "site", "x_m", "h_m", "u_m_per_s", "Q_m3_per_s", "C", "Cb", "Cs",
    "bed_shear_N_per_m2", "resuspension_per_m2_per_s", "settling_per_m2_per_s",
    "storage_exchange_per_m_per_s", "load_per_s"};
inline constexpr const char* kProfileCsvColumns[] = {
    "time_s", "kind", "index", "x_m", "h_m", "u_m_per_s", "q_m2_per_s", "Q_m3_per_s", "C", "Cb",
    "Cs"};
// The columns a node row of crProfiles.csv fills (a cell row fills every
// column after `index`).
inline constexpr const char* kProfileNodeCsvColumns[] = {"x_m", "C", "Cb", "Cs"};
inline constexpr const char* kBalanceCsvColumns[] = {"time_s", "balance", "term", "value"};
// Added at the end of the rows when the run has sources along the reach.
inline constexpr const char* kObsSourceCsvColumns[] = {"source_Q_m3_per_s", "source_load_per_s"};
inline constexpr const char* kProfileSourceCsvColumns[] = {"lateral_m2_per_s"};
// Added at the end of the site rows, after the sources' columns, when the
// die-off rates follow the weather.
inline constexpr const char* kObsWeatherCsvColumns[] = {"temperature_C", "irradiance_W_per_m2",
                                                        "k_water_per_s", "k_bed_per_s"};

// Sizes the position and value arrays of a table to `count` rows.
inline void size_table(Model& m, TableId id, int count) {
  const Table& t = kTables[id];
  positions(m, t).resize(1, count);
  for (const Column& c : kColumns)
    if (c.table == id) values(m, c).resize(1, count);
}

// Sizes every table to `count` rows, for a model built without a deck.
inline void size_tables(Model& m, int count) {
  for (int t = 0; t < kTableCount; ++t) size_table(m, static_cast<TableId>(t), count);
}

}  // namespace quarno::columns
