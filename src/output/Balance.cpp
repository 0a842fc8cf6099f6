#include "output/Balance.hpp"

#include <string>
#include <string_view>

#include "output/Csv.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

using namespace layouts;

// The quantity's name that ends a balance label: "Flow at X=0(m3).......... QX0="
std::string_view term_of(std::string_view label) {
  while (!label.empty() && (label.back() == ' ' || label.back() == '=')) label.remove_suffix(1);
  return label.substr(label.find_last_of(". ") + 1);
}

// One labelled value of a balance; `balance` names the balance in messages
// and in the CSV results.
void value_line(Outputs& out, double t, const Layout& layout, const char* label, double v,
                const char* balance) {
  out.results.write(layout, {label, v});
  out.results.name_nonfinite([&](int) {
    return std::string(term_of(label)) + " of the " + balance + " balance";
  });
  if (out.csv) {
    CsvRow row;
    row.time(t, out.start_date) << balance << term_of(label) << v;
    row.write_to(out.balance_csv);
  }
}

}  // namespace

void write_balance_report(Outputs& out, double t, const BalanceSums& s, const BalanceClosure& c,
                          bool transport) {
  auto water = [&](const char* label, double v) {
    value_line(out, t, kWaterLine, label, v, "water");
  };
  auto stream = [&](const char* label, double v) {
    value_line(out, t, kSoluteLine, label, v, "stream-water solute");
  };
  auto bed = [&](const char* label, double v) {
    value_line(out, t, kSoluteLine, label, v, "bed-sediment solute");
  };

  out.results.write(kFroude, {c.Fr});
  out.results.name_nonfinite([](int) { return std::string("the Froude number at X=0"); });
  if (out.csv) {
    CsvRow row;
    row.time(t, out.start_date) << "inlet" << "Fr" << c.Fr;
    row.write_to(out.balance_csv);
  }

  out.results.write(kWaterHead);
  water("Initial storage (m3).....Wini=", s.Wini);
  water("Final storage (m3).......Wfin=", s.Wfin);
  water("Flow at X=0(m3).......... QX0=", s.QX0);
  water("Flow at X=L(m3).......... QXL=", s.QXL);
  water("GW upwelling(m3)........ QGwU=", s.QGwU);
  if (s.sources) water("Sources(m3)............. QSrc=", s.QSrc);
  water("Absolute error(m3).......ER_A=", c.water.ER_A);
  water("Relative error(%)........ER_R=", c.water.ER_R);
  out.results.write(kBlankLine);
  if (!transport) return;

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
  if (s.sources) {
    stream("Sources in.................. QCSrcIn= ", s.QCSrcIn);
    stream("Sources out................ QCSrcOut= ", s.QCSrcOut);
  }
  stream("Dye-off .......................Cwdoff=", s.Cwdoff);
  stream("Resuspension ................. CResus=", s.CResus);
  stream("Deposition   ................. CDepos=", s.CDepos);
  stream("Absolute error...................ER_A=", c.stream.ER_A);
  stream("Relative error(%)................ER_R=", c.stream.ER_R);
  out.results.write(kBlankLine);

  out.results.write(kBedSoluteHead);
  bed("Initial storage ...............Csini= ", s.Csini);
  bed("Final storage .................Csfin= ", s.Csfin);
  bed("Dye-off .......................Csdoff=", s.Csdoff);
  bed("Resuspension ................. CResus=", s.CResus);
  bed("Deposition   ................. CDepos=", s.CDepos);
  bed("Absolute error...................ER_A=", c.bed.ER_A);
  bed("Relative error(%)................ER_R=", c.bed.ER_R);
  out.results.write(kBlankLine);
}

}  // namespace quarno
