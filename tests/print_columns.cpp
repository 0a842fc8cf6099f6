// Prints the column registry, one line per table and per column, for the
// test that holds the Python tools' list of tables equal to it:
//   table COUNT POSITION FILE TRANSPORT
//   column COUNT NAME ARRAY NODE RULE POSITIVE
//   csv FILE NAME...
#include <cstdio>

#include "model/Columns.hpp"

int main() {
  using namespace quarno::columns;
  for (const Table& t : kTables)
    std::printf("table %s %s %s %d\n", t.count, t.position, t.file, t.transport ? 1 : 0);
  for (const Column& c : kColumns) {
    const char* rule = c.rule == Rule::Linear ? "linear" : c.rule == Rule::Step ? "step" : "none";
    std::printf("column %s %s %s %s %s %d\n", kTables[c.table].count, c.name, c.array,
                c.node ? c.node_name : "-", rule, c.positive ? 1 : 0);
  }
  const auto csv = [](const char* file, const auto& names) {
    std::printf("csv %s", file);
    for (const char* name : names) std::printf(" %s", name);
    std::printf("\n");
  };
  csv("crObsNode.csv", kObsCsvColumns);
  csv("crProfiles.csv", kProfileCsvColumns);
  csv("crBalance.csv", kBalanceCsvColumns);
  return 0;
}
