#include "output/Records.hpp"

#include <string>

#include "output/Csv.hpp"
#include "output/FileLayouts.hpp"

namespace quarno {

namespace {

// The same record in full precision: one row per position; the fluxes are
// empty without transport.
void write_site_record_csv(Outputs& out, double t, const SiteRecord& r, const double* values) {
  CsvRow row;
  for (int j = 1; j <= r.Nobs; ++j) {
    const double* v = values + kObservedValues * (j - 1);
    row.time(t, out.start_date) << j << r.XObs(j);
    for (int c = 0; c < 6; ++c) row << v[c];
    for (int c = 6; c < kObservedValues; ++c) {
      if (r.transport)
        row << v[c];
      else
        row << "";
    }
    if (r.sources != nullptr) row << (*r.sources)(2 * j - 1) << (*r.sources)(2 * j);
    if (r.weather != nullptr) {
      const Array<double>& w = *r.weather;
      row << w(4 * j - 3) << w(4 * j - 2);
      if (r.transport)
        row << w(4 * j - 1) << w(4 * j);
      else
        row << "" << "";
    }
    row.write_to(out.obs_csv);
  }
  out.obs_csv.flush();
}

}  // namespace

void write_site_record(Outputs& out, double t, const SiteRecord& r) {
  const double* values = &r.values(1);
  if (!out.quiet) {
    out.progress.clear_line();
    out.console.write(layouts::kProgressLine, {t});
  }
  out.obs.write(layouts::kObsRecord, Args(1 + 5 * r.Nobs, [&](int k) -> Arg {
                  return k == 0 ? t : values[kObservedValues * ((k - 1) / 5) + (k - 1) % 5];
                }));
  out.obs.name_nonfinite([](int k) {
    static const char* const kNames[5] = {"h", "u", "Q", "C", "Cs"};
    if (k == 0) return std::string("the time");
    return std::string(kNames[(k - 1) % 5]) + " at observation position " +
           std::to_string((k - 1) / 5 + 1);
  });
  if (out.csv) write_site_record_csv(out, t, r, values);
  out.console.flush();
  out.obs.flush();
  out.end_if_nonfinite(t);
}

}  // namespace quarno
