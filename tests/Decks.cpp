#include "Decks.hpp"

#include <sstream>

#include "model/Errors.hpp"
#include "input/Reader.hpp"
#include "output/OutputStreams.hpp"
#include "run/Quarno.hpp"

namespace quarno::test {

namespace {
std::string num(double v) { return show_number(v); }

// A table given row by row: its count line, heading line and rows of one or
// two values after the position.
std::string table(const char* count, const char* heading, const std::vector<TableRow>& rows,
                  int values) {
  std::ostringstream s;
  s << count << "\n" << rows.size() << "\n" << heading << "\n";
  for (const TableRow& row : rows) {
    s << num(row.X) << " " << num(row.a);
    if (values == 2) s << " " << num(row.b);
    s << "\n";
  }
  return s.str();
}
}  // namespace

Reach flowing_channel(int Nfdn, double L, double h) {
  Reach r;
  r.Nfdn = Nfdn;
  r.L = L;
  r.slope = 0.001;
  r.rough = 0.03;
  r.NB0 = 1;
  r.NBL = 1;
  r.Q = 10.0;
  r.h0 = r.h1 = h;
  r.schedule = {{3600.0, h, 10.0, 0.0}};
  r.tout = {3600.0};
  return r;
}

Reach small_reach() {
  Reach r = flowing_channel(11, 1000.0, 1.0);
  r.schedule = {{600.0, 1.0, 10.0, 0.0}};
  r.tout = {300.0, 600.0};
  r.xobs = {500.0};
  return r;
}

std::string param_text(const Reach& r) {
  std::ostringstream s;
  s << "test reach\nNTr Ninv Nfdn\n" << r.NTr << " 0 " << r.Nfdn << "\nL Btm0\n" << num(r.L)
    << " 0.\nNWidth\n2\nX Width\n0. " << num(r.width0) << "\n" << num(r.L) << " " << num(r.width1)
    << "\n";
  if (r.slope_rows.empty())
    s << "NSlope\n2\nX S\n0. " << num(r.slope) << "\n" << num(r.L) << " " << num(r.slope) << "\n";
  else
    s << table("NSlope", "X S", r.slope_rows, 1);
  if (r.rough_rows.empty())
    s << "NRough\n2\nX n\n0. " << num(r.rough) << "\n" << num(r.L) << " " << num(r.rough) << "\n";
  else
    s << table("NRough", "X n", r.rough_rows, 1);
  s << "NGW\n2\nX GW CGW\n0. " << num(r.gw) << " " << num(r.cgw) << "\n" << num(r.L) << " "
    << num(r.gw) << " " << num(r.cgw) << "\n";
  if (r.NTr > 0) {
    std::ostringstream row;
    row << num(r.aL) << " " << num(r.Re) << " " << num(r.TauCR) << " " << num(r.f) << " "
        << num(r.Vs) << " " << num(r.Alfa) << " " << num(r.Kdw) << " " << num(r.Kds) << " 0. "
        << num(r.Hb) << " " << num(r.Rb);
    s << "NTrPar\n2\nX ...\n0. " << row.str() << "\n" << num(r.L) << " " << row.str() << "\n";
  }
  return s.str();
}

std::string bicond_text(const Reach& r) {
  std::ostringstream s;
  if (r.flow_rows.empty())
    s << "NInCW\n2\nX h Q\n0. " << num(r.h0) << " " << num(r.Q) << "\n" << num(r.L) << " "
      << num(r.h1) << " " << num(r.Q) << "\n";
  else
    s << table("NInCW", "X h Q", r.flow_rows, 2);
  if (r.NTr > 0) {
    if (r.conc_rows.empty())
      s << "NInCT\n2\nX C Cb\n0. " << num(r.C) << " " << num(r.Cb) << "\n" << num(r.L) << " "
        << num(r.C) << " " << num(r.Cb) << "\n";
    else
      s << table("NInCT", "X C Cb", r.conc_rows, 2);
  }
  s << "NTInt NB0 NBL\n" << r.schedule.size() << " " << r.NB0 << " " << r.NBL << "\nT h Q C\n";
  for (const Row& row : r.schedule)
    s << num(row.T) << " " << num(row.h) << " " << num(row.Q) << " " << num(row.C) << "\n";
  s << "NTout\n" << r.tout.size() << "\ntimes\n";
  for (double t : r.tout) s << num(t) << " ";
  s << "\nNobs\n" << r.xobs.size() << "\n";
  if (!r.xobs.empty()) {
    s << "X\n";
    for (double x : r.xobs) s << num(x) << " ";
    s << "\n";
  }
  return s.str();
}

InProcessRun run_in_process(const std::string& param, const std::string& bicond) {
  InProcessRun run;
  run.model = std::make_unique<Model>();
  Reader p = Reader::from_text("crparam.txt", param);
  Reader b = Reader::from_text("crbicond.txt", bicond);
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  out.results.capture_to(&run.results);
  out.obs.capture_to(&run.obs);
  out.console.capture_to(&run.console);
  out.warnings.capture_to(&run.warnings);
  try {
    SavedInputs none;
    run_model(*run.model, p, b, out, RunPlan{}, none);
  } catch (const InputError& e) {
    run.status = 1;
    run.error = e.what();
  } catch (const NumericalFailure& e) {
    run.status = 2;
    run.error = e.what();
  }
  return run;
}

InProcessRun run_in_process(const Reach& r) {
  return run_in_process(param_text(r), bicond_text(r));
}

}  // namespace quarno::test
