#include "input/RunStateFile.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "input/StateText.hpp"
#include "model/Errors.hpp"
#include "model/Schedule.hpp"
#include "model/Sizing.hpp"
#include "output/ResultFiles.hpp"
#include "output/TextLayout.hpp"

namespace quarno {

namespace {

// Far more than the state of the largest grid a deck may have: a cell row and
// a node row together are under 500 bytes (an index and at most nine numbers
// of at most 24 characters each), the lines before the rows well under 8 kB.
// How far the clock of the observation records may pass the model time,
// relative: both are sums of the same steps, rounded apart.
constexpr double kClockRounding = 1e-9;

constexpr std::size_t kMaxRunStateBytes = 8192 + 500 * static_cast<std::size_t>(kNodeLimit);

// The least value a saved number may have: any finite one, zero (depths,
// areas, times, clocks) or a value above zero (a step, a storage).
enum class Least { any, zero, above_zero };

// Every scalar that persists from one outer step to the next. The writer
// only reads through these references.
struct Scalar {
  const char* name;
  double& (*at)(Model&);
  Least least = Least::any;
};
struct Count {
  const char* name;
  int& (*at)(Model&);
};
// A value per cell or per node.
struct Column {
  const char* name;
  double& (*at)(Model&, int);
  Least least = Least::any;
};

#define QUARNO_SCALAR(name, field, ...) \
  Scalar{name, [](Model& m) -> double& { return m.field; }, ##__VA_ARGS__}
const Scalar kScalars[] = {
    QUARNO_SCALAR("t_s", clock.t, Least::zero),
    QUARNO_SCALAR("dt_s", clock.dt, Least::above_zero),
    QUARNO_SCALAR("record_clock_s", clock.record_clock, Least::zero),
    QUARNO_SCALAR("h0", bnd.h0, Least::zero), QUARNO_SCALAR("q0", bnd.q0),
    QUARNO_SCALAR("hU", bnd.hU, Least::zero), QUARNO_SCALAR("u0", bnd.u0),
    QUARNO_SCALAR("Fr0", bnd.Fr0, Least::zero), QUARNO_SCALAR("qX0", bnd.qX0),
    QUARNO_SCALAR("qXL", bnd.qXL),           QUARNO_SCALAR("Wini", bal.Wini, Least::above_zero),
    QUARNO_SCALAR("Wfin", bal.Wfin),         QUARNO_SCALAR("QX0", bal.QX0),
    QUARNO_SCALAR("QXL", bal.QXL),           QUARNO_SCALAR("QGwU", bal.QGwU),
    QUARNO_SCALAR("Cwini", bal.Cwini),       QUARNO_SCALAR("Cwfin", bal.Cwfin),
    QUARNO_SCALAR("Cstin", bal.Cstin),       QUARNO_SCALAR("Cstfin", bal.Cstfin),
    QUARNO_SCALAR("Ctoti", bal.Ctoti),       QUARNO_SCALAR("Ctotf", bal.Ctotf),
    QUARNO_SCALAR("Csini", bal.Csini),       QUARNO_SCALAR("Csfin", bal.Csfin),
    QUARNO_SCALAR("QCX0", bal.QCX0),         QUARNO_SCALAR("QCXL", bal.QCXL),
    QUARNO_SCALAR("QCGWU", bal.QCGWU),       QUARNO_SCALAR("Cwdoff", bal.Cwdoff),
    QUARNO_SCALAR("Csdoff", bal.Csdoff),     QUARNO_SCALAR("CResus", bal.CResus),
    QUARNO_SCALAR("CDepos", bal.CDepos),     QUARNO_SCALAR("Dyeoff", bal.Dyeoff),
};
// The balance sums of sources along the reach, written only for a run that
// has them, so that the states of runs without sources stay as they were.
const Scalar kSourceScalars[] = {
    QUARNO_SCALAR("QSrc", bal.QSrc),
    QUARNO_SCALAR("QCSrcIn", bal.QCSrcIn),
    QUARNO_SCALAR("QCSrcOut", bal.QCSrcOut),
};
#undef QUARNO_SCALAR
const Count kCounts[] = {
    {"interval", [](Model& m) -> int& { return m.clock.interval; }},
    {"record_flag", [](Model& m) -> int& { return m.clock.record_flag; }},
    {"output_index", [](Model& m) -> int& { return m.clock.output_index; }},
};

#define QUARNO_COLUMN(name, field, ...) \
  Column{name, [](Model& m, int i) -> double& { return m.field(i); }, ##__VA_ARGS__}
const Column kCellColumns[] = {
    Column{"h_m", [](Model& m, int i) -> double& { return m.flow.y(i); }, Least::zero},
    Column{"q_m2_per_s", [](Model& m, int i) -> double& { return m.flow.y(m.grid.M + i); }},
    QUARNO_COLUMN("u_m_per_s", flow.u), QUARNO_COLUMN("Q_m3_per_s", flow.Q),
    QUARNO_COLUMN("A_m2", flow.A, Least::zero), QUARNO_COLUMN("C_mean", means.C),
    QUARNO_COLUMN("Cb_mean", means.Cb), QUARNO_COLUMN("Cs_mean", means.Cs),
};
const Column kNodeColumns[] = {
    QUARNO_COLUMN("C", nodes.CN),       QUARNO_COLUMN("Cs", tr.CsN),
    QUARNO_COLUMN("Cb", nodes.CbN),     QUARNO_COLUMN("TResC", tr.TResC),
    QUARNO_COLUMN("TDepC", tr.TDepC),   QUARNO_COLUMN("hn_m", tr.hn, Least::zero),
    QUARNO_COLUMN("un_m_per_s", tr.un), QUARNO_COLUMN("An_m2", tr.An, Least::zero),
    QUARNO_COLUMN("An_old_m2", tr.An_old, Least::zero),
};
#undef QUARNO_COLUMN

// A number of the state that must be at least its least value.
double bounded_number(StateText& r, std::string_view text, const char* name, Least least) {
  const double v = r.number(text, name);
  if (least == Least::zero && !(v >= 0.0))
    r.fail_line(std::string(name) + " must be at least 0, found " + quote_state(text));
  if (least == Least::above_zero && !(v > 0.0))
    r.fail_line(std::string(name) + " must be above 0, found " + quote_state(text));
  return v;
}

template <std::size_t N>
std::string heads(const char* first, const Column (&columns)[N]) {
  std::string line = first;
  for (const Column& c : columns) line += std::string(",") + c.name;
  return line;
}

void append_number(std::string& text, double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  text += buf;
}

template <std::size_t N>
void append_rows(std::string& text, Model& m, const char* what, int count,
                 const Column (&columns)[N]) {
  text += std::string(what) + "s," + std::to_string(count) + "\n" + heads(what, columns) + "\n";
  for (int i = 1; i <= count; ++i) {
    text += std::to_string(i);
    for (const Column& c : columns) {
      text += ',';
      append_number(text, c.at(m, i));
    }
    text += '\n';
  }
}

// One row "<i>,<values>" of `n` values into `out`.
template <std::size_t N>
void read_row(StateText& r, std::string_view line, int i, const Column (&columns)[N],
              std::vector<double>& out) {
  const int n = static_cast<int>(N);
  std::size_t from = 0;
  for (int col = 0; col <= n; ++col) {
    if (from > line.size())
      r.fail_line("a row needs " + std::to_string(n + 1) + " values, found " + quote_state(line));
    const std::size_t comma = std::min(line.find(',', from), line.size());
    const std::string_view value = line.substr(from, comma - from);
    from = comma + 1;
    if (col == 0) {
      if (r.whole(value, "the row number") != i)
        r.fail_line("expected row " + std::to_string(i) + ", found " + quote_state(line));
    } else {
      const Column& c = columns[col - 1];
      out.push_back(bounded_number(r, value, c.name, c.least));
    }
  }
  if (from <= line.size())
    r.fail_line("a row needs " + std::to_string(n + 1) + " values, found " + quote_state(line));
}

// The row count line and the column heads, then the rows.
template <std::size_t N>
int read_rows(StateText& r, const char* what, long most, const Column (&columns)[N],
              std::vector<double>& out) {
  const std::string count_name = std::string(what) + "s";
  const long count = r.whole(r.field(count_name.c_str()), count_name.c_str());
  if (count < 1 || count > most)
    r.fail_line(count_name + " must be from 1 to " + std::to_string(most));
  const std::string expected = heads(what, columns);
  const std::string_view line = r.expect_line("the column heads");
  if (line != expected)
    r.fail_line("expected the column heads " + expected + ", found " + quote_state(line));
  for (int i = 1; i <= count; ++i)
    read_row(r, r.expect_line("the last row"), i, columns, out);
  return static_cast<int>(count);
}

// The checksum line must be the last line; the checksum covers every byte
// before it.
void check_checksum(std::string_view text, const std::string& path) {
  const auto fail = [&](const std::string& why) { throw InputError(path + ": " + why); };
  if (text.empty() || text.back() != '\n')
    fail("the file ends before its checksum line (it is cut short)");
  const std::size_t start = text.rfind('\n', text.size() - 2) + 1;  // npos + 1 == 0
  const std::string_view last = text.substr(start, text.size() - 1 - start);
  if (last.substr(0, 9) != "checksum,")
    fail("the file ends before its checksum line (it is cut short)");
  KeyHash hash;
  hash.add(text.data(), start);
  if (last.substr(9) != hash.hex())
    fail("the checksum does not match the content: the file was changed or damaged");
}

}  // namespace

std::string run_state_key(const Model& m) {
  static constexpr char kFormat[] = "quarno run state key 1";
  KeyHash h;
  h.add(kFormat, sizeof kFormat);
  const int N = m.run.Nfdn;
  h.add(N);
  h.add(m.run.L);
  h.add(m.grid.dx);
  h.add(m.nodes.WidthN, 1, N);
  h.add(m.nodes.SlopeN, 1, N);
  h.add(m.nodes.RoughN, 1, N);
  h.add(m.bic.NB0);
  h.add(m.bic.NBL);
  h.add(m.run.NTr > 0 ? 1 : 0);
  return h.hex();
}

std::string run_state_text(const Model& model) {
  Model& m = const_cast<Model&>(model);  // read only: the tables hold writable references
  std::string text = std::string(kRunStateFirstLine) + "\n";
  text += "# The state of a quarno run at time t_s: quarno --initial-state FILE goes on from it.\n";
  text += "# The key covers the grid, channel, boundary types and transport switch of the deck.\n";
  text += "key," + run_state_key(m) + "\n";
  for (const Scalar& s : kScalars) {
    text += std::string(s.name) + ",";
    append_number(text, s.at(m));
    text += '\n';
  }
  for (const Count& c : kCounts) text += std::string(c.name) + "," + std::to_string(c.at(m)) + "\n";
  if (m.bal.sources) {
    for (const Scalar& s : kSourceScalars) {
      text += std::string(s.name) + ",";
      append_number(text, s.at(m));
      text += '\n';
    }
  }
  append_rows(text, m, "cell", m.grid.M, kCellColumns);
  append_rows(text, m, "node", m.run.Nfdn, kNodeColumns);
  KeyHash hash;
  hash.add(text.data(), text.size());
  return text + "checksum," + hash.hex() + "\n";
}

void save_run_state(const Model& m, const std::string& path) {
  const std::string text = run_state_text(m);
  FileReplacement file(path.c_str());
  TextOut out(file.open(), path.c_str());
  // Line by line: every line of the text ends with its line end.
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t end = text.find('\n', from);
    out.write_line(std::string_view(text).substr(from, end - from));
    from = end + 1;
  }
  out.flush();
  file.commit();
}

SavedRunState parse_run_state(std::string_view text, const std::string& path) {
  StateText r(text, path);
  const std::string_view first = r.expect_line("its first line");
  if (first != kRunStateFirstLine) {
    const std::string_view prefix = "quarno saved run state, version ";
    if (first.substr(0, prefix.size()) == prefix)
      r.fail_line("a state of version " + quote_state(first.substr(prefix.size())) +
                  "; this program reads version 1");
    r.fail_line("not a saved run state of quarno: the first line is " + quote_state(first));
  }
  check_checksum(text, path);
  SavedRunState s;
  const std::string_view key = r.field("key");
  if (!is_key(key)) r.fail_line("the key must be 16 hexadecimal digits, found " + quote_state(key));
  s.key = std::string(key);
  for (const Scalar& v : kScalars) {
    s.scalars.push_back(bounded_number(r, r.field(v.name), v.name, v.least));
    // The time since the last observation record is a part of the run's
    // time (up to the rounding of the two sums).
    if (std::string_view(v.name) == "record_clock_s" &&
        s.scalars.back() > s.scalars.front() * (1.0 + kClockRounding))
      r.fail_line("record_clock_s must not exceed t_s (" + show_number(s.scalars.front()) +
                  " s), found " + show_number(s.scalars.back()) + " s");
  }
  for (const Count& c : kCounts) {
    const long v = r.whole(r.field(c.name), c.name);
    if (v < 0 || v > INT_MAX) r.fail_line(std::string(c.name) + " is out of range");
    if (std::string_view(c.name) == "record_flag" && v > 1)
      r.fail_line("record_flag must be 0 or 1, found " + std::to_string(v));
    s.scalars.push_back(static_cast<double>(v));
  }
  s.t = s.scalars[0];
  if (r.next_is(kSourceScalars[0].name)) {
    s.sources = true;
    s.QSrc = r.number(r.field("QSrc"), "QSrc");
    s.QCSrcIn = r.number(r.field("QCSrcIn"), "QCSrcIn");
    s.QCSrcOut = r.number(r.field("QCSrcOut"), "QCSrcOut");
  }
  s.cells = read_rows(r, "cell", kNodeLimit - 1, kCellColumns, s.cell_values);
  s.nodes = read_rows(r, "node", kNodeLimit, kNodeColumns, s.node_values);
  if (s.nodes != s.cells + 1) r.fail_line("nodes must be cells + 1");
  r.field("checksum");
  return s;
}

SavedRunState read_run_state_file(const std::string& path, int nodes) {
  if (nodes <= 0 || nodes > kNodeLimit)
    return parse_run_state(read_state_file(path, kMaxRunStateBytes, "run state"), path);
  // The state of a deck of `nodes` nodes: its cell and node rows together
  // take under 500 bytes a node.
  const std::size_t bound = 8192 + 500 * static_cast<std::size_t>(nodes);
  return parse_run_state(read_state_file(path, bound, "run state",
                                         " of this deck (" + std::to_string(nodes) + " nodes)"),
                         path);
}

void check_run_state_fits(const Model& m, const SavedRunState& s, const std::string& path) {
  if (s.key != run_state_key(m))
    throw InputError(path + ": the state was saved for another deck: its grid, channel, boundary "
                            "types or transport switch differ from this one's");
  const double end = interval_end(m.bic, m.run.NTInt);
  if (s.t >= end)
    throw InputError(path + ": the state's time " + show_number(s.t) +
                     " s is at or past the end of this deck's schedule (" + show_number(end) +
                     " s): nothing is left to run");
}

void restore_run_state(Model& m, const SavedRunState& s, const std::string& path) {
  check_run_state_fits(m, s, path);
  if (s.cells != m.grid.M) throw InputError(path + ": the state has another number of cells");
  int k = 0;
  for (const Scalar& v : kScalars) v.at(m) = s.scalars[static_cast<std::size_t>(k++)];
  for (const Count& c : kCounts) c.at(m) = static_cast<int>(s.scalars[static_cast<std::size_t>(k++)]);
  if (s.sources) {
    m.bal.sources = true;
    m.bal.QSrc = s.QSrc;
    m.bal.QCSrcIn = s.QCSrcIn;
    m.bal.QCSrcOut = s.QCSrcOut;
  }
  std::size_t at = 0;
  for (int i = 1; i <= s.cells; ++i)
    for (const Column& c : kCellColumns) c.at(m, i) = s.cell_values[at++];
  at = 0;
  for (int i = 1; i <= s.nodes; ++i)
    for (const Column& c : kNodeColumns) c.at(m, i) = s.node_values[at++];
  for (int i = 1; i <= m.grid.M; ++i) {
    m.flow.h(i) = m.flow.y(i);
    m.flow.q(i) = m.flow.y(m.grid.M + i);
  }
  RunState& c = m.clock;
  const BicondTables& b = m.bic;
  // The next output is the first of this deck's output times after the state's time.
  c.output_index = 1;
  while (c.output_index <= b.NTout && b.TOut(c.output_index) <= c.t) ++c.output_index;
  // A time inside the first row that runs (after that row's start) continues
  // the row: its outer step and inlet depth go on.
  int row = 1;
  while (row < m.run.NTInt && !interval_runs(c.t, interval_end(b, row))) ++row;
  c.mid_row = c.t > (row > 1 ? interval_end(b, row - 1) : 0.0);
}

}  // namespace quarno
