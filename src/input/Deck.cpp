#include "input/Deck.hpp"

#include <cmath>
#include <initializer_list>
#include <string>

#include "output/Layouts.hpp"

namespace quarno {

namespace {

using namespace layouts;

struct Column {
  const char* name;
  Array<double>* values;
};

// The slots of a table step: rows of the given columns, row by row.
std::vector<Slot> table_slots(int rows, std::initializer_list<Column> cols) {
  std::vector<Slot> slots;
  for (int j = 1; j <= rows; ++j)
    for (const Column& c : cols) slots.push_back(Slot::real((*c.values)(j), c.name, j));
  return slots;
}

// Writes the rows of a table with one value per column and row.
void echo_rows(TextOut& out, const Layout& layout, int rows, std::initializer_list<Column> cols) {
  const Column* c = cols.begin();
  const int ncols = static_cast<int>(cols.size());
  out.write(layout, Args(rows * ncols, [&](int k) -> Arg {
              return (*c[k % ncols].values)(k / ncols + 1);
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

// A count step whose value must lie in lo..hi.
void read_count(Reader& r, int& count, const char* name, int lo, int hi) {
  r.value_step({Slot::integer(count, name)});
  check_range(r, r.line_of(0), name, count, lo, hi);
}

// A count step and, after a skip line, the table step of `cols` rows; the
// count must lie in lo..hi and the first column, a position along the reach,
// must increase strictly.
void read_table(Reader& r, int& count, const char* name, int lo, int hi,
                std::initializer_list<Column> cols) {
  r.skip_step();
  read_count(r, count, name, lo, hi);
  r.skip_step();
  r.value_step(table_slots(count, cols));
  const int ncols = static_cast<int>(cols.size());
  check_increasing(r, cols.begin()->name, *cols.begin()->values, count, ncols);
}

// The echo of a table: its heading with the count, then one line per row.
void echo_table(TextOut& out, const Layout& head, const Layout& rows, int count,
                std::initializer_list<Column> cols) {
  out.write(head, {count});
  echo_rows(out, rows, count, cols);
}

void read_param(Model& m, Reader& r, Outputs& out) {
  RunScalars& run = m.run;
  ParamTables& p = m.par;

  p.Title = r.text_step("the title line");
  r.skip_step();
  r.value_step({Slot::integer(run.NTr, "NTr"), Slot::integer(run.Ninv, "Ninv"),
                Slot::integer(run.Nfdn, "Nfdn")});
  check_range(r, r.line_of(2), "Nfdn", run.Nfdn, 3, kMaxNodes);
  r.skip_step();
  r.value_step({Slot::real(run.L, "L"), Slot::real(run.Btm0, "Btm0")});
  if (!(run.L > 0.0))
    r.fail(r.line_of(0), "L must be positive (found " + show_number(run.L) + ")");
  out.results.write(kResultsHead, {p.Title, run.NTr, run.Ninv, run.Nfdn, run.L, run.Btm0});

  const std::initializer_list<Column> width = {{"XWidth", &p.XWidth}, {"Width", &p.Width}};
  read_table(r, p.NWidth, "NWidth", 2, kMaxSegmentRows, width);
  check_positive(r, "Width", p.Width, p.NWidth, 2, 1);
  echo_table(out.results, kWidthHead, kWidthRows, p.NWidth, width);

  const std::initializer_list<Column> slope = {{"XSlope", &p.XSlope}, {"Slope", &p.Slope}};
  read_table(r, p.NSlope, "NSlope", 2, kMaxSegmentRows, slope);
  echo_table(out.results, kSlopeHead, kSlopeRows, p.NSlope, slope);

  const std::initializer_list<Column> rough = {{"XRough", &p.XRough}, {"Rough", &p.Rough}};
  read_table(r, p.NRough, "NRough", 2, kMaxSegmentRows, rough);
  echo_table(out.results, kRoughHead, kRoughRows, p.NRough, rough);

  const std::initializer_list<Column> gw = {{"XGW", &p.XGW}, {"GWUpw", &p.GWUpw}, {"CGW", &p.CGW}};
  read_table(r, p.NGW, "NGW", 2, kMaxSegmentRows, gw);
  echo_table(out.results, kGWHead, kGWRows, p.NGW, gw);

  if (run.NTr <= 0) return;
  const std::initializer_list<Column> tr = {
      {"XTrPar", &p.XTrPar}, {"aL", &p.aL},     {"Re", &p.Re},   {"TauCR", &p.TauCR},
      {"f", &p.f},           {"Vs", &p.Vs},     {"Alfa", &p.Alfa}, {"Kdw", &p.Kdw},
      {"Kds", &p.Kds},       {"TSS", &p.TSS},   {"Hb", &p.Hb},   {"Rb", &p.Rb}};
  read_table(r, p.NTrPar, "NTrPar", 2, kMaxSegmentRows, tr);
  check_positive(r, "TauCR", p.TauCR, p.NTrPar, 12, 3);
  check_positive(r, "f", p.f, p.NTrPar, 12, 4);
  check_positive(r, "Hb", p.Hb, p.NTrPar, 12, 10);
  check_positive(r, "Rb", p.Rb, p.NTrPar, 12, 11);
  echo_table(out.results, kTrParHead, kTrParRows, p.NTrPar, tr);
}

void read_bicond(Model& m, Reader& r, Outputs& out) {
  RunScalars& run = m.run;
  BicondTables& b = m.bic;

  // The file has no title: its first line is the skip line before NInCW.
  const std::initializer_list<Column> flow = {
      {"XInCW", &b.XInCW}, {"hInCW", &b.hInCW}, {"QInCW", &b.QInCW}};
  read_table(r, b.NInCW, "NInCW", 2, kMaxInitialRows, flow);
  echo_table(out.results, kInitFlowHead, kInitRows, b.NInCW, flow);

  if (run.NTr > 0) {
    const std::initializer_list<Column> transp = {
        {"XInCT", &b.XInCT}, {"CInCT", &b.CInCT}, {"CbInCT", &b.CbInCT}};
    read_table(r, b.NInCT, "NInCT", 2, kMaxInitialRows, transp);
    echo_table(out.results, kInitTranspHead, kInitRows, b.NInCT, transp);
  }

  r.skip_step();
  r.value_step({Slot::integer(run.NTInt, "NTInt"), Slot::integer(b.NB0, "NB0"),
                Slot::integer(b.NBL, "NBL")});
  check_range(r, r.line_of(0), "NTInt", run.NTInt, 1, kMaxScheduleRows);
  check_range(r, r.line_of(1), "NB0", b.NB0, 0, 1);
  check_range(r, r.line_of(2), "NBL", b.NBL, 0, 1);
  r.skip_step();
  const std::initializer_list<Column> sched = {
      {"TBC", &b.TBC}, {"hBC", &b.hBC}, {"QBC", &b.QBC}, {"CBC", &b.CBC}};
  r.value_step(table_slots(run.NTInt, sched));
  check_single_precision_times(r, "TBC", b.TBC, run.NTInt, 4);
  out.results.write(kScheduleHead, {run.NTInt, b.NB0, b.NBL});
  echo_rows(out.results, kScheduleRows, run.NTInt, sched);

  r.skip_step();
  read_count(r, b.NTout, "NTout", 1, kMaxOutputTimes);
  r.skip_step();
  std::vector<Slot> times;
  for (int j = 1; j <= b.NTout; ++j) times.push_back(Slot::real(b.TOut(j), "TOut", j));
  r.value_step(times);
  check_single_precision_times(r, "TOut", b.TOut, b.NTout, 1);
  // The last output time is tied to the end of the schedule: appended when it
  // lies beyond the listed times, otherwise it replaces the last listed time.
  const double end_time = b.TBC(run.NTInt);
  if (end_time > b.TOut(b.NTout)) {
    if (b.NTout == kMaxOutputTimes)
      r.fail(r.line_of(b.NTout - 1),
             "NTout must be at most " + std::to_string(kMaxOutputTimes - 1) +
                 " when the end of the schedule (" + show_number(end_time) +
                 " s) lies beyond the last output time, since it is appended to the list (found " +
                 std::to_string(b.NTout) + ")");
    b.NTout += 1;
  }
  b.TOut(b.NTout) = end_time;
  out.results.write(kOutTimesHead, {b.NTout});
  echo_rows(out.results, kOutTimesRows, b.NTout, {{"TOut", &b.TOut}});

  r.skip_step();
  read_count(r, b.Nobs, "Nobs", 0, kMaxObservations);
  if (b.Nobs > 0) {
    r.skip_step();
    std::vector<Slot> pos;
    for (int j = 1; j <= b.Nobs; ++j) pos.push_back(Slot::real(b.XObs(j), "XObs", j));
    r.value_step(pos);
    for (int j = 1; j <= b.Nobs; ++j) {
      if (!(b.XObs(j) >= 0.0 && b.XObs(j) <= run.L))
        r.fail(r.line_of(j - 1), "XObs(" + std::to_string(j) + ") must lie between 0 and L = " +
                                     show_number(run.L) + " (found " + show_number(b.XObs(j)) +
                                     ")");
    }
    out.results.write(kObsHead, {b.Nobs});
    echo_rows(out.results, kObsRows, b.Nobs, {{"XObs", &b.XObs}});
  }

  out.results.write(kResultsBanner);
  out.obs.write(kObsFileHead, {m.par.Title});
}

}  // namespace

void read_deck(Model& m, Reader& param, Reader& bicond, Outputs& out) {
  read_param(m, param, out);
  read_bicond(m, bicond, out);
}

}  // namespace quarno
