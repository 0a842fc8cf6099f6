#include "output/Balance.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include "output/Csv.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

using namespace layouts;

constexpr double kTinyDenominator = 1.0000000031710769e-30;  // 1e-30 in single precision

// Storage integrals over the cells; the transport parameters are taken at the
// downstream node of each cell.
double water_storage(const Model& m) {
  const Grid& gr = m.grid;
  double sum = 0.0;
  for (int i = 1; i <= gr.M; ++i) sum += m.flow.h(i) * gr.dx * gr.B(i);
  return sum;
}

double stream_storage(const Model& m) {
  const Grid& gr = m.grid;
  const Array<double>& CN = m.nodes.CN;
  double sum = 0.0;
  for (int i = 1; i <= gr.M; ++i)
    sum += (CN(i) + CN(i + 1)) * (gr.dx * 0.5) * gr.B(i) * m.flow.h(i);
  return sum;
}

double transient_storage(const Model& m) {
  const Grid& gr = m.grid;
  const Array<double>& CsN = m.tr.CsN;
  double sum = 0.0;
  for (int i = 1; i <= gr.M; ++i)
    sum += (CsN(i) + CsN(i + 1)) * (gr.dx * 0.5) * gr.B(i) * m.flow.h(i) * m.nodes.fN(i + 1);
  return sum;
}

double bed_storage(const Model& m) {
  const Grid& gr = m.grid;
  const Array<double>& CbN = m.nodes.CbN;
  double sum = 0.0;
  for (int i = 1; i <= gr.M; ++i)
    sum += (CbN(i) + CbN(i + 1)) * (gr.dx * 0.5) * gr.B(i) * m.nodes.HbN(i + 1) *
           m.nodes.RbN(i + 1);
  return sum;
}

// The quantity's name that ends a balance label: "Flow at X=0(m3).......... QX0="
std::string_view term_of(std::string_view label) {
  while (!label.empty() && (label.back() == ' ' || label.back() == '=')) label.remove_suffix(1);
  return label.substr(label.find_last_of(". ") + 1);
}

// One labelled value of a balance; `balance` names the balance in messages
// and in the CSV results.
void value_line(Model& m, Outputs& out, const Layout& layout, const char* label, double v,
                const char* balance) {
  out.results.write(layout, {label, v});
  out.results.name_nonfinite([&](int) {
    return std::string(term_of(label)) + " of the " + balance + " balance";
  });
  if (out.csv) {
    CsvRow row;
    row.time(m.clock.t, out.start_date) << balance << term_of(label) << v;
    row.write_to(out.balance_csv);
  }
}

}  // namespace

void record_initial_storages(Model& m) {
  BalanceSums& s = m.bal;
  s.Wini = water_storage(m);
  if (m.run.NTr > 0) {
    s.Cwini = stream_storage(m);
    s.Csini = bed_storage(m);
    s.Cstin = transient_storage(m);
    s.Ctoti = s.Cwini + s.Cstin;
    s.QCX0 = s.QCXL = s.Cwdoff = s.Csdoff = s.Dyeoff = 0.0;
  }
}

void write_balance_report(Model& m, Outputs& out) {
  BalanceSums& s = m.bal;
  const bool transport = m.run.NTr > 0;
  auto water = [&](const char* label, double v) {
    value_line(m, out, kWaterLine, label, v, "water");
  };
  auto stream = [&](const char* label, double v) {
    value_line(m, out, kSoluteLine, label, v, "stream-water solute");
  };
  auto bed = [&](const char* label, double v) {
    value_line(m, out, kSoluteLine, label, v, "bed-sediment solute");
  };

  const double Fr = std::fabs(m.flow.u(1)) / std::sqrt(m.flow.h(1) * g);
  out.results.write(kFroude, {Fr});
  out.results.name_nonfinite([](int) { return std::string("the Froude number at X=0"); });
  if (out.csv) {
    CsvRow row;
    row.time(m.clock.t, out.start_date) << "inlet" << "Fr" << Fr;
    row.write_to(out.balance_csv);
  }

  s.Wfin = water_storage(m);
  double ER_A = s.Wfin - s.QX0 + s.QXL - s.QGwU - s.Wini;
  double D = std::max(std::max(s.Wini, s.Wfin), std::max(std::fabs(s.QX0), std::fabs(s.QXL)));
  double ER_R = D == 0.0 ? 0.0 : std::fabs(ER_A) * 100 / D;
  out.results.write(kWaterHead);
  water("Initial storage (m3).....Wini=", s.Wini);
  water("Final storage (m3).......Wfin=", s.Wfin);
  water("Flow at X=0(m3).......... QX0=", s.QX0);
  water("Flow at X=L(m3).......... QXL=", s.QXL);
  water("GW upwelling(m3)........ QGwU=", s.QGwU);
  water("Absolute error(m3).......ER_A=", ER_A);
  water("Relative error(%)........ER_R=", ER_R);
  out.results.write(kBlankLine);
  if (!transport) return;

  s.Cwfin = stream_storage(m);
  s.Cstfin = transient_storage(m);
  s.Csfin = bed_storage(m);
  s.Ctotf = s.Cwfin + s.Cstfin;

  ER_A = s.Ctotf - s.Ctoti - s.QCX0 + s.QCXL - s.QCGWU + s.Cwdoff - s.CResus + s.CDepos;
  D = std::max({s.Ctotf, s.Ctoti, std::fabs(s.QCX0), std::fabs(s.QCXL), std::fabs(s.QCGWU)});
  ER_R = D <= kTinyDenominator ? 0.0 : std::fabs(ER_A) * 100 / D;
  out.results.write(kStreamSoluteHead);
  stream("Initial storage (Stream).......Cwini= ", s.Cwini);
  stream("Initial storage (STS)........  Cstin= ", s.Cstin);
  stream("Total storage .................Ctoti= ", s.Ctoti);
  stream("Final storage (Stream).........Cwfin= ", s.Cwfin);
  stream("Final storage (STS)............Cstfin=", s.Cstfin);
  stream("Total storage .................Ctotf= ", s.Ctotf);
  stream("Flux at X=0................... QCX0=  ", s.QCX0);
  stream("Flux at X=L................... QCXL=  ", s.QCXL);
  stream("GW upwelling.................. QCGWU= ", s.QCGWU);
  stream("Dye-off .......................Cwdoff=", s.Cwdoff);
  stream("Resuspension ................. CResus=", s.CResus);
  stream("Deposition   ................. CDepos=", s.CDepos);
  stream("Absolute error...................ER_A=", ER_A);
  stream("Relative error(%)................ER_R=", ER_R);
  out.results.write(kBlankLine);

  ER_A = s.Csfin + s.CResus - s.CDepos + s.Csdoff - s.Csini;
  D = std::max(s.Csfin, s.Csini);
  ER_R = D > kTinyDenominator ? std::fabs(ER_A) * 100 / D : 0.0;
  out.results.write(kBedSoluteHead);
  bed("Initial storage ...............Csini= ", s.Csini);
  bed("Final storage .................Csfin= ", s.Csfin);
  bed("Dye-off .......................Csdoff=", s.Csdoff);
  bed("Resuspension ................. CResus=", s.CResus);
  bed("Deposition   ................. CDepos=", s.CDepos);
  bed("Absolute error...................ER_A=", ER_A);
  bed("Relative error(%)................ER_R=", ER_R);
  out.results.write(kBlankLine);
}

void accumulate_balance(Model& m) {
  BalanceSums& s = m.bal;
  const Grid& gr = m.grid;
  const NodeFields& nf = m.nodes;
  const Boundary& bc = m.bnd;
  const int M = gr.M;
  const int Nfdn = m.run.Nfdn;
  const double dx = gr.dx;
  const double dt = m.clock.dt;

  s.QX0 += (nf.WidthN(1) * dt) * bc.qX0;
  s.QXL += (dt * bc.qXL) * nf.WidthN(Nfdn);
  double sum = 0.0;
  for (int i = 1; i <= M; ++i) sum += nf.GWUpwN(i) * (dt * dx);
  s.QGwU += sum;
  if (m.run.NTr <= 0) return;

  const Array<double>& CN = nf.CN;
  const Array<double>& CbN = nf.CbN;
  const Array<double>& CsN = m.tr.CsN;
  const Array<double>& B = gr.B;
  s.QCX0 += CN(1) * dt * m.bic.QBC(m.clock.interval);
  s.QCXL += CN(Nfdn) * dt * nf.WidthN(Nfdn) * bc.qXL;

  double res = 0.0, dep = 0.0;
  for (int i = 1; i <= M; ++i) {
    res += (m.tr.TResC(i) + m.tr.TResC(i + 1)) * 0.5 * dx * B(i);
    dep += (m.tr.TDepC(i) + m.tr.TDepC(i + 1)) * 0.5 * dx * B(i);
  }
  s.CResus = res;
  s.CDepos = dep;

  // Groundwater: upwelling cells bring groundwater at its mean concentration,
  // losing cells take stream water at the mean stream concentration. The
  // upwelling is a rate per unit channel length, so no width factor enters.
  sum = 0.0;
  for (int i = 1; i <= M; ++i) {
    const double w = nf.GWUpwN(i);
    sum += ((w + std::fabs(w)) * (nf.CGWN(i) + nf.CGWN(i + 1)) +
            (w - std::fabs(w)) * (CN(i) + CN(i + 1))) *
           (dt * 0.25 * dx);
  }
  s.QCGWU += sum;

  sum = 0.0;
  for (int i = 1; i <= M; ++i)
    sum += (nf.KdsN(i) * CbN(i) + nf.KdsN(i + 1) * CbN(i + 1)) * (dt * 0.5 * dx) * nf.HbN(i) *
           nf.RbN(i) * B(i);
  s.Csdoff += sum;

  sum = 0.0;
  for (int i = 1; i <= M; ++i)
    sum += ((CsN(i) * nf.fN(i) + CN(i)) * nf.KdwN(i) +
            (CsN(i + 1) * nf.fN(i) + CN(i + 1)) * nf.KdwN(i + 1)) *
           (dx * dt * 0.5) * m.flow.A(i);
  s.Cwdoff += sum;
  s.Dyeoff = s.Cwdoff + s.Csdoff;
}

}  // namespace quarno
