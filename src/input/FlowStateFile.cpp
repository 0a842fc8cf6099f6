#include "input/FlowStateFile.hpp"

#include <algorithm>

#include "input/StateText.hpp"
#include "model/Columns.hpp"
#include "output/Csv.hpp"
#include "output/TextLayout.hpp"
#include "output/ResultFiles.hpp"

namespace quarno {

namespace {

// One row "cell,x_m,h_m,q_m2_per_s" of cell i into s.
void read_row(StateText& r, std::string_view line, long i, SavedFlowState& s) {
  std::string_view cols[4];
  std::size_t from = 0;
  int n = 0;
  for (; n < 4 && from <= line.size(); ++n) {
    const std::size_t comma = std::min(line.find(',', from), line.size());
    cols[n] = line.substr(from, comma - from);
    from = comma + 1;
  }
  if (n != 4 || from <= line.size())
    r.fail_line("a row needs 4 values: cell, x_m, h_m, q_m2_per_s; found " + quote_state(line));
  if (r.whole(cols[0], "cell") != i) r.fail_line("expected the row of cell " + std::to_string(i));
  r.number(cols[1], "x_m");
  const double h = r.number(cols[2], "h_m");
  const double q = r.number(cols[3], "q_m2_per_s");
  if (!(h > 0.0)) r.fail_line("the depth must be positive, found " + quote_state(cols[2]));
  s.h.push_back(h);
  s.q.push_back(q);
}

}  // namespace

SavedFlowState parse_flow_state(std::string_view text, const std::string& path) {
  StateText r(text, path);
  SavedFlowState s;
  const std::string_view key = r.field("key");
  if (!is_key(key))
    r.fail_line("the key must be 16 hexadecimal digits, found " + quote_state(key));
  s.key = std::string(key);
  s.cells = r.whole(r.field("cells"), "cells");
  if (s.cells < 1) r.fail_line("the number of cells must be at least 1");
  s.pseudo_time = r.number(r.field("pseudo_time_s"), "pseudo_time_s");
  s.steps = r.whole(r.field("steps"), "steps");
  s.change = r.number(r.field("largest_relative_change"), "largest_relative_change");
  const std::string_view heads = r.expect_line("the column heads");
  if (heads != kFlowStateHeader)
    r.fail_line(std::string("expected the column heads ") + kFlowStateHeader + ", found " +
                quote_state(heads));
  // The rows are counted against the file's size, not its stated count, so
  // that a false count cannot make the reader reserve memory.
  for (long i = 1; i <= s.cells; ++i) read_row(r, r.expect_line("the last cell"), i, s);
  std::string_view extra;
  if (r.next_line(extra)) r.fail_line("unexpected text after the last cell: " + quote_state(extra));
  return s;
}

SavedFlowState read_flow_state_file(const std::string& path) {
  return parse_flow_state(read_state_file(path, kMaxFlowStateBytes, "flow state"), path);
}

std::string steady_flow_key(const Model& m) {
  static constexpr char kFormat[] = "quarno steady flow 1";
  KeyHash h;
  h.add(kFormat, sizeof kFormat);
  const int N = m.run.Nfdn;
  const NodeFields& nf = m.nodes;
  h.add(N);
  h.add(m.run.L);
  h.add(m.grid.dx);
  // The mapped columns of crparam.txt that the flow reads, in file order.
  for (const columns::Column& c : columns::kColumns)
    if (c.flow && c.param_values != nullptr) h.add(nf.*c.node, 1, N);
  h.add(m.flow.y, 1, m.grid.n);
  h.add(m.bic.NB0);
  h.add(m.bic.NBL);
  h.add(m.bic.hBC(m.steady.row));
  h.add(m.bic.QBC(m.steady.row));
  // The sources' places and (constant) discharges, only when there are any:
  // the keys of runs without sources stay as they were.
  const SourceFields& src = m.src;
  if (src.on) {
    h.add(src.count);
    for (int j = 1; j <= src.count; ++j) {
      h.add(src.first(j + 1) - src.first(j));
      for (int e = src.first(j); e < src.first(j + 1); ++e) {
        h.add(src.cell(e));
        h.add(src.share(e));
      }
      h.add(m.forcing.sources[static_cast<std::size_t>(j - 1)].Q.front());
    }
  }
  return h.hex();
}

void save_flow_state(const Model& m, const std::string& key) {
  FileReplacement file(kSteadyFlowFile);
  TextOut out(file.open(), kSteadyFlowFile);
  const SteadyFlow& s = m.steady;
  const int M = m.grid.M;
  out.write_line("# Steady flow state of a quarno run: depth and discharge per unit width of every");
  out.write_line("# cell. quarno --flow-state reuses it when the key matches its grid, channel,");
  out.write_line("# initial flow, boundary types and inlet values.");
  out.write_line("key," + key);
  CsvRow row;
  (row << "cells" << M).write_to(out);
  (row << "pseudo_time_s" << s.pseudo_time).write_to(out);
  (row << "steps" << static_cast<int>(s.steps)).write_to(out);
  (row << "largest_relative_change" << s.change).write_to(out);
  out.write_line(kFlowStateHeader);
  for (int i = 1; i <= M; ++i)
    (row << i << m.grid.Xc(i) << m.flow.y(i) << m.flow.y(M + i)).write_to(out);
  out.flush();
  file.commit();
}

}  // namespace quarno
