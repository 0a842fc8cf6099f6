#include "run/Contract.hpp"

#include "model/Columns.hpp"
#include "model/FileNames.hpp"
#include "model/Units.hpp"
#include "output/Json.hpp"
#include "run/Quarno.hpp"

namespace quarno {

namespace {

const char* rule_name(columns::Rule rule) {
  switch (rule) {
    case columns::Rule::Linear: return "linear";
    case columns::Rule::Step: return "step";
    case columns::Rule::None: break;
  }
  return "none";
}

void write_files(JsonWriter& j) {
  struct Entry {
    const char* name;
    const char* role;
    const char* when;
  };
  const Entry entries[] = {
      {files::kParam, "input", "always"},
      {files::kBicond, "input", "always"},
      {files::kForcing, "input", "when present"},
      {files::kOutput, "result", "always"},
      {files::kObsNode, "result", "always"},
      {files::kObsNodeCsv, "result", "--csv"},
      {files::kProfilesCsv, "result", "--csv"},
      {files::kBalanceCsv, "result", "--csv"},
      {files::kSteadyFlow, "state", "--steady-flow"},
      {files::kManifest, "manifest", "always"},
  };
  j.key("files").begin_array();
  for (const Entry& e : entries) {
    j.begin_object(true);
    j.key("name").string(e.name).key("role").string(e.role).key("when").string(e.when);
    j.end_object();
  }
  j.end_array();
}

void write_tables(JsonWriter& j) {
  using namespace columns;
  j.key("tables").begin_array();
  for (int t = 0; t < kTableCount; ++t) {
    const Table& table = kTables[t];
    j.begin_object();
    j.key("count").string(table.count);
    j.key("file").string(table.file);
    j.key("position").string(table.position);
    j.key("position_unit").string("m");
    j.key("transport_only").boolean(table.transport);
    j.key("columns").begin_array();
    for (const Column& c : kColumns) {
      if (c.table != t) continue;
      j.begin_object(true);
      j.key("name").string(c.name).key("array").string(c.array).key("unit").string(c.unit);
      j.key("node").string(c.node_name).key("rule").string(rule_name(c.rule));
      j.key("positive").boolean(c.positive).key("flow").boolean(c.flow);
      j.end_object();
    }
    j.end_array();
    j.end_object();
  }
  j.end_array();
  j.key("rules").begin_object();
  j.key("linear").string("the line through the values at the segment's ends");
  j.key("step").string("the value of the row that starts the node's segment, held over it");
  j.key("none").string("read and echoed, not mapped onto the grid");
  j.end_object();
}

template <std::size_t N>
std::vector<std::string> names_of(const char* const (&names)[N]) {
  return std::vector<std::string>(names, names + N);
}

void write_csv(JsonWriter& j) {
  using namespace columns;
  struct Head {
    const char* file;
    std::vector<std::string> columns, sources, weather, node;
  };
  const Head heads[] = {
      {files::kObsNodeCsv, names_of(kObsCsvColumns), names_of(kObsSourceCsvColumns),
       names_of(kObsWeatherCsvColumns), {}},
      {files::kProfilesCsv, names_of(kProfileCsvColumns), names_of(kProfileSourceCsvColumns), {},
       names_of(kProfileNodeCsvColumns)},
      {files::kBalanceCsv, names_of(kBalanceCsvColumns), {}, {}, {}},
  };
  j.key("csv").begin_object();
  j.key("date_column").string(kDateCsvColumn);
  j.key("date_column_after").string(kObsCsvColumns[0]);
  j.key("files").begin_array();
  for (const Head& h : heads) {
    j.begin_object();
    j.key("file").string(h.file);
    j.key("columns").strings(h.columns);
    j.key("source_columns").strings(h.sources);
    j.key("weather_columns").strings(h.weather);
    if (!h.node.empty()) j.key("node_row_columns").strings(h.node);
    j.end_object();
  }
  j.end_array();
  j.end_object();
}

// The concentration units a deck may declare: per amount its kind and factor
// to the kind's base amount, per volume its size in m3.
void write_units(JsonWriter& j) {
  j.key("units").begin_object();
  j.key("amounts").begin_object(true);
  for (const UnitAmount& a : kUnitAmounts) {
    j.key(a.name).begin_array();
    j.string(a.kind).number(a.factor);
    j.end_array();
  }
  j.end_object();
  j.key("volumes").begin_object(true);
  for (const UnitVolume& v : kUnitVolumes) j.key(v.name).number(v.m3);
  j.end_object();
  j.end_object();
}

void write_options(JsonWriter& j, const std::vector<OptionFacts>& options) {
  j.key("options").begin_array();
  for (const OptionFacts& o : options) {
    j.begin_object();
    j.key("names").strings(o.names);
    j.key("argument").string(o.argument);
    j.key("positional").boolean(o.positional);
    j.key("flow").boolean(o.flow);
    j.key("help").string(o.help);
    j.end_object();
  }
  j.end_array();
}

}  // namespace

std::string contract_json(const std::string& version, const std::vector<OptionFacts>& options) {
  JsonWriter j;
  j.begin_object();
  j.key("format").string("quarno contract, version 1");
  j.key("version").string(version);
  write_files(j);
  write_tables(j);
  j.key("tolerances").begin_object();
  j.key("position_m").number(columns::kPositionTolerance);
  j.end_object();
  write_csv(j);
  write_units(j);
  write_options(j, options);
  j.key("exit_statuses").begin_array();
  for (const ExitStatus& e : kExitStatuses) {
    j.begin_object(true);
    j.key("status").integer(e.status).key("meaning").string(e.meaning);
    j.end_object();
  }
  j.end_array();
  j.end_object();
  return j.text();
}

}  // namespace quarno
