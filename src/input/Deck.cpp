#include "input/Deck.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "input/ForcingFile.hpp"
#include "model/Columns.hpp"
#include "model/Sizing.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

using namespace layouts;

// One array of a table's row, under the name that messages give it.
struct Field {
  const char* name;
  Array<double>* values;
};

// The arrays of a registered table's row: the position, then the value columns.
std::vector<Field> row_fields(Model& m, columns::TableId id) {
  const columns::Table& t = columns::kTables[id];
  std::vector<Field> row{{t.position, &columns::positions(m, t)}};
  for (const columns::Column& c : columns::kColumns)
    if (c.table == id) row.push_back({c.array, &columns::values(m, c)});
  return row;
}

// The slots of a table step: rows of the given fields, row by row.
std::vector<Slot> table_slots(int rows, const std::vector<Field>& fields) {
  std::vector<Slot> slots;
  for (int j = 1; j <= rows; ++j)
    for (const Field& f : fields) slots.push_back(Slot::real((*f.values)(j), f.name, j));
  return slots;
}

// Writes the rows of a table with one value per field and row.
void echo_rows(TextOut& out, const Layout& layout, int rows, const std::vector<Field>& fields) {
  const int nfields = static_cast<int>(fields.size());
  out.write(layout, Args(rows * nfields, [&](int k) -> Arg {
              return (*fields[k % nfields].values)(k / nfields + 1);
            }));
}

void check_range(const Reader& r, int line, const char* name, int v, int lo, int hi) {
  if (v < lo)
    r.fail(line, std::string(name) + " must be at least " + std::to_string(lo) + " (found " +
                     std::to_string(v) + ")");
  if (v > hi)
    r.fail(line, std::string(name) + " must be at most " + std::to_string(hi) + " (found " +
                     std::to_string(v) + ")");
}

// The rows a count announces, `width` values each, must fit in the rest of
// the file, where every value takes at least one character (a digit, or the
// comma of an empty value). Checked before the rows are given memory, so a
// false count cannot make the run reserve it.
void check_rows_fit(const Reader& r, int line, const char* name, int count, int width) {
  const long long fit = r.bytes_left() / width;
  if (count <= fit) return;
  const std::string each =
      width == 1 ? "each value" : "each of the " + std::to_string(width) + " values of a row";
  r.fail(line, std::string(name) + " must be at most " + std::to_string(fit) + " (found " +
                   std::to_string(count) + "): the rest of the file holds " +
                   std::to_string(r.bytes_left()) + " characters, and " + each +
                   " takes at least one");
}

// Positions of a table that is mapped onto the grid must increase strictly.
// `ncols` is the number of values per row (the position comes first).
void check_increasing(const Reader& r, const char* name, const Array<double>& x, int rows,
                      int ncols) {
  for (int j = 2; j <= rows; ++j) {
    if (!(x(j) > x(j - 1))) {
      const std::string here = std::string(name) + "(" + std::to_string(j) + ")";
      const std::string before = std::string(name) + "(" + std::to_string(j - 1) + ")";
      r.fail(r.line_of((j - 1) * ncols),
             here + " must be greater than " + before + " (found " + show_number(x(j)) +
                 " after " + show_number(x(j - 1)) + ")");
    }
  }
}

// Column `col` (0-based within a row of `ncols` values) must be positive.
void check_positive(const Reader& r, const char* name, const Array<double>& v, int rows, int ncols,
                    int col) {
  for (int j = 1; j <= rows; ++j) {
    if (!(v(j) > 0.0))
      r.fail(r.line_of((j - 1) * ncols + col), std::string(name) + "(" + std::to_string(j) +
                                                   ") must be positive (found " +
                                                   show_number(v(j)) + ")");
  }
}

// Times (column 0 of rows of `ncols` values) are kept in single precision:
// each must stay finite there, or the run would never reach its end.
void check_single_precision_times(const Reader& r, const char* name, const Array<double>& t,
                                  int rows, int ncols) {
  for (int j = 1; j <= rows; ++j) {
    if (!std::isfinite(static_cast<float>(t(j))))
      r.fail(r.line_of((j - 1) * ncols),
             std::string(name) + "(" + std::to_string(j) +
                 ") must lie within +-3.4028235e+38 s, the range of times in single precision (found " +
                 show_number(t(j)) + ")");
  }
}

// ---------------------------------------------------------------------------
// Plausibility warnings: values that are legal but point to a unit mistake.
// They never change a result or the exit status.

constexpr double kSteepSlope = 0.1;                     // m/m
constexpr double kMinManning = 0.008, kMaxManning = 0.3;  // s/m^(1/3)
constexpr double kFastFlow = 10.0;                      // m/s
constexpr double kDeepFlow = 50.0;                      // m

void warn(Outputs& out, const Reader& r, int line, const std::string& what) {
  out.warnings.write_line("warning: " + r.name() + ", line " + std::to_string(line) + ": " + what);
}

// The channel width at position x, on the line through the width table's
// segment that holds x (the first or last segment beyond the table's ends).
double width_at(const ParamTables& p, double x) {
  int k = 1;
  while (k < p.NWidth - 1 && x > p.XWidth(k + 1)) ++k;
  const double x1 = p.XWidth(k), x2 = p.XWidth(k + 1);
  return p.Width(k) + (p.Width(k + 1) - p.Width(k)) * (x - x1) / (x2 - x1);
}

// Mean velocity of a discharge Q (m3/s) at depth h in a channel B wide; 0
// where it is not defined.
double velocity(double Q, double B, double h) { return B > 0.0 && h > 0.0 ? Q / (B * h) : 0.0; }

void warn_flow(Outputs& out, const Reader& r, int line, const std::string& what, double u,
               double h) {
  if (std::fabs(u) > kFastFlow)
    warn(out, r, line,
         what + " gives a mean velocity of " + show_number(u) +
             " m/s, over 10 m/s (discharge in L/s instead of m3/s?)");
  if (h > kDeepFlow)
    warn(out, r, line, what + " has a depth of " + show_number(h) + " m, over 50 m (units?)");
}

// A count past a standard capacity `hi`: the message names the option that
// lifts it.
void check_capacity(const Reader& r, int line, const char* name, int count, int hi,
                    const Capacities& cap) {
  if (cap.lifted || count <= hi) return;
  r.fail(line, std::string(name) + " must be at most " + std::to_string(hi) + " (found " +
                   std::to_string(count) + "), the standard capacity; --lift-capacities accepts more");
}

// A count of rows of `width` values each, from lo up to hi; with the
// capacities lifted, the rows must also fit in the rest of the file.
void check_count(const Reader& r, int line, const char* name, int count, int lo, int hi,
                 int width, const Capacities& cap) {
  check_capacity(r, line, name, count, hi, cap);
  check_range(r, line, name, count, lo, hi);
  if (cap.lifted) check_rows_fit(r, line, name, count, width);
}

// A count step, checked as check_count does.
void read_count(Reader& r, int& count, const char* name, int lo, int hi, int width,
                const Capacities& cap) {
  r.value_step({Slot::integer(count, name)});
  check_count(r, r.line_of(0), name, count, lo, hi, width, cap);
  r.note_count(name, count, r.line_of(0));
}

// A registered table: a count step (at least 2 rows) and, after a skip
// line, the table step of its rows. The positions must increase
// strictly, and the columns registered as positive must be positive.
void read_table(Reader& r, Model& m, columns::TableId id) {
  const columns::Table& t = columns::kTables[id];
  const std::vector<Field> row = row_fields(m, id);
  const int ncols = static_cast<int>(row.size());
  int& count = columns::rows(m, t);
  r.skip_step();
  const Capacities& cap = capacities(m.settings);
  read_count(r, count, t.count, 2, t.param_count ? cap.segment_rows : cap.initial_rows, ncols,
             cap);
  columns::size_table(m, id, count);
  r.skip_step();
  r.value_step(table_slots(count, row));
  check_increasing(r, t.position, columns::positions(m, t), count, ncols);
  for (int k = 1; k < ncols; ++k) {
    const columns::Column& c = columns::kColumns[columns::first_column(id) + k - 1];
    if (c.positive) check_positive(r, c.array, *row[k].values, count, ncols, k);
  }
}

// The echo of a registered table: its heading with the count, then one line
// per row.
void echo_table(TextOut& out, const Layout& head, const Layout& rows, Model& m,
                columns::TableId id) {
  const int count = columns::rows(m, columns::kTables[id]);
  out.write(head, {count});
  echo_rows(out, rows, count, row_fields(m, id));
}

void read_param(Model& m, Reader& r, Outputs& out) {
  RunScalars& run = m.run;
  ParamTables& p = m.par;

  p.Title = r.text_step("the title line");
  r.skip_step();
  r.value_step({Slot::integer(run.NTr, "NTr"), Slot::integer(run.Ninv, "Ninv"),
                Slot::integer(run.Nfdn, "Nfdn")});
  const Capacities& cap = capacities(m.settings);
  if (cap.lifted && run.Nfdn > cap.nodes)
    r.fail(r.line_of(2), "Nfdn must be at most " + std::to_string(cap.nodes) + " (found " +
                             std::to_string(run.Nfdn) +
                             "): a million cells, which take about 1 GB of memory");
  check_capacity(r, r.line_of(2), "Nfdn", run.Nfdn, cap.nodes, cap);
  check_range(r, r.line_of(2), "Nfdn", run.Nfdn, 3, cap.nodes);
  r.skip_step();
  r.value_step({Slot::real(run.L, "L"), Slot::real(run.Btm0, "Btm0")});
  if (!(run.L > 0.0))
    r.fail(r.line_of(0), "L must be positive (found " + show_number(run.L) + ")");
  out.results.write(kResultsHead, {p.Title, run.NTr, run.Ninv, run.Nfdn, run.L, run.Btm0});

  read_table(r, m, columns::kWidthTable);
  echo_table(out.results, kWidthHead, kWidthRows, m, columns::kWidthTable);

  read_table(r, m, columns::kSlopeTable);
  for (int j = 1; j <= p.NSlope; ++j)
    if (std::fabs(p.Slope(j)) > kSteepSlope)
      warn(out, r, r.line_of(2 * j - 1),
           "Slope(" + std::to_string(j) + ") = " + show_number(p.Slope(j)) +
               " is steeper than 0.1 m/m (a slope in percent? 0.2% is 0.002)");
  echo_table(out.results, kSlopeHead, kSlopeRows, m, columns::kSlopeTable);

  read_table(r, m, columns::kRoughTable);
  for (int j = 1; j <= p.NRough; ++j)
    if (p.Rough(j) < kMinManning || p.Rough(j) > kMaxManning)
      warn(out, r, r.line_of(2 * j - 1),
           "Rough(" + std::to_string(j) + ") = " + show_number(p.Rough(j)) +
               " lies outside the usual Manning n of 0.008 to 0.3");
  echo_table(out.results, kRoughHead, kRoughRows, m, columns::kRoughTable);

  read_table(r, m, columns::kGWTable);
  echo_table(out.results, kGWHead, kGWRows, m, columns::kGWTable);

  if (run.NTr <= 0) return;
  read_table(r, m, columns::kTrParTable);
  echo_table(out.results, kTrParHead, kTrParRows, m, columns::kTrParTable);
}

// crbicond.txt has no title: its first line is the skip line before NInCW.
void read_initial_flow(Model& m, Reader& r, Outputs& out) {
  const BicondTables& b = m.bic;
  read_table(r, m, columns::kInitFlowTable);
  for (int j = 1; j <= b.NInCW; ++j)
    warn_flow(out, r, r.line_of(3 * j - 1), "the initial flow row " + std::to_string(j),
              velocity(b.QInCW(j), width_at(m.par, b.XInCW(j)), b.hInCW(j)), b.hInCW(j));
  echo_table(out.results, kInitFlowHead, kInitRows, m, columns::kInitFlowTable);
}

void read_initial_transport(Model& m, Reader& r, Outputs& out) {
  read_table(r, m, columns::kInitTranspTable);
  echo_table(out.results, kInitTranspHead, kInitRows, m, columns::kInitTranspTable);
}

// The boundary types and the schedule of boundary values.
void read_schedule(Model& m, Reader& r, Outputs& out) {
  RunScalars& run = m.run;
  BicondTables& b = m.bic;
  r.skip_step();
  r.value_step({Slot::integer(run.NTInt, "NTInt"), Slot::integer(b.NB0, "NB0"),
                Slot::integer(b.NBL, "NBL")});
  check_count(r, r.line_of(0), "NTInt", run.NTInt, 1, capacities(m.settings).schedule_rows, 4,
              capacities(m.settings));
  check_range(r, r.line_of(1), "NB0", b.NB0, 0, 1);
  check_range(r, r.line_of(2), "NBL", b.NBL, 0, 1);
  r.note_count("NTInt", run.NTInt, r.line_of(0));
  r.skip_step();
  const std::vector<Field> sched = {
      {"TBC", &b.TBC}, {"hBC", &b.hBC}, {"QBC", &b.QBC}, {"CBC", &b.CBC}};
  for (const Field& f : sched) f.values->resize(1, run.NTInt);
  r.value_step(table_slots(run.NTInt, sched));
  check_single_precision_times(r, "TBC", b.TBC, run.NTInt, 4);
  for (int k = 1; k <= run.NTInt; ++k) {
    const int line = r.line_of(4 * k - 4);
    const double start = k == 1 ? 0.0 : b.TBC(k - 1);
    if (b.TBC(k) - start < kIntervalGuard)
      warn(out, r, line,
           "the interval ending at TBC(" + std::to_string(k) + ") = " + show_number(b.TBC(k)) +
               " s is shorter than 0.01 s and is skipped (times not increasing?)");
    // The scheduled depth is used only for supercritical inflow, so the
    // velocity is taken at the larger of it and the initial depth at X = 0.
    if (b.NB0 == 1)
      warn_flow(out, r, line, "the inflow of schedule row " + std::to_string(k),
                velocity(b.QBC(k), width_at(m.par, 0.0), std::max(b.hBC(k), b.hInCW(1))),
                b.hBC(k));
  }
  out.results.write(kScheduleHead, {run.NTInt, b.NB0, b.NBL});
  echo_rows(out.results, kScheduleRows, run.NTInt, sched);
}

// The output times, checked against the schedule; the end of the schedule
// becomes the last output time.
void read_output_times(Model& m, Reader& r, Outputs& out) {
  BicondTables& b = m.bic;
  r.skip_step();
  const Capacities& cap = capacities(m.settings);
  read_count(r, b.NTout, "NTout", 1, cap.output_times, 1, cap);
  b.TOut.resize(1, b.NTout + 1);  // room for the end time, appended below
  r.skip_step();
  std::vector<Slot> times;
  for (int j = 1; j <= b.NTout; ++j) times.push_back(Slot::real(b.TOut(j), "TOut", j));
  r.value_step(times);
  check_single_precision_times(r, "TOut", b.TOut, b.NTout, 1);
  const double schedule_end = b.TBC(m.run.NTInt);
  for (int j = 1; j <= b.NTout; ++j) {
    if (b.TOut(j) > schedule_end)
      warn(out, r, r.line_of(j - 1),
           "TOut(" + std::to_string(j) + ") = " + show_number(b.TOut(j)) +
               " s lies after the end of the schedule (" + show_number(schedule_end) +
               " s), so neither its profile nor any later one, the final one included, is "
               "written (schedule in minutes?)");
    else if (j > 1 && !(b.TOut(j) > b.TOut(j - 1)))
      warn(out, r, r.line_of(j - 1),
           "TOut(" + std::to_string(j) + ") = " + show_number(b.TOut(j)) +
               " s does not come after TOut(" + std::to_string(j - 1) +
               "); the output times are written in their order, so later ones may be missed");
  }
  // The last output time is tied to the end of the schedule: appended when it
  // lies beyond the listed times, otherwise it replaces the last listed time.
  if (schedule_end > b.TOut(b.NTout)) {
    if (b.NTout == cap.output_times)
      r.fail(r.line_of(b.NTout - 1),
             "NTout must be at most " + std::to_string(cap.output_times - 1) +
                 " when the end of the schedule (" + show_number(schedule_end) +
                 " s) lies beyond the last output time, since it is appended to the list (found " +
                 std::to_string(b.NTout) + ")" +
                 (cap.lifted ? "" : "; --lift-capacities accepts more"));
    b.NTout += 1;
  }
  b.TOut(b.NTout) = schedule_end;
  out.results.write(kOutTimesHead, {b.NTout});
  echo_rows(out.results, kOutTimesRows, b.NTout, {{"TOut", &b.TOut}});
}

// The observation positions, each within the reach.
void read_observations(Model& m, Reader& r, Outputs& out) {
  BicondTables& b = m.bic;
  r.skip_step();
  read_count(r, b.Nobs, "Nobs", 0, capacities(m.settings).observations, 1,
             capacities(m.settings));
  b.XObs.resize(1, b.Nobs);
  if (b.Nobs <= 0) return;
  r.skip_step();
  std::vector<Slot> pos;
  for (int j = 1; j <= b.Nobs; ++j) pos.push_back(Slot::real(b.XObs(j), "XObs", j));
  r.value_step(pos);
  for (int j = 1; j <= b.Nobs; ++j) {
    if (!(b.XObs(j) >= 0.0 && b.XObs(j) <= m.run.L))
      r.fail(r.line_of(j - 1), "XObs(" + std::to_string(j) + ") must lie between 0 and L = " +
                                   show_number(m.run.L) + " (found " + show_number(b.XObs(j)) +
                                   ")");
  }
  out.results.write(kObsHead, {b.Nobs});
  echo_rows(out.results, kObsRows, b.Nobs, {{"XObs", &b.XObs}});
}

void read_bicond(Model& m, Reader& r, Outputs& out) {
  read_initial_flow(m, r, out);
  if (m.run.NTr > 0) read_initial_transport(m, r, out);
  read_schedule(m, r, out);
  read_output_times(m, r, out);
  read_observations(m, r, out);
  if (!m.forcing.path.empty()) echo_forcing(out.results, m.forcing);
  out.results.write(kResultsBanner);
  out.obs.write(kObsFileHead, {m.par.Title});
}

// Values are separated by commas; "0,002" is read as 0 and 2.
void warn_decimal_comma(Outputs& out, const Reader& r) {
  if (r.decimal_comma_line() > 0)
    warn(out, r, r.decimal_comma_line(),
         "a comma between two digits separates two values; the decimal sign is a point "
         "(0.002, not 0,002)");
}

}  // namespace

void read_deck(Model& m, Reader& param, Reader& bicond, Outputs& out) {
  read_param(m, param, out);
  warn_decimal_comma(out, param);
  read_bicond(m, bicond, out);
  warn_decimal_comma(out, bicond);
}

}  // namespace quarno
