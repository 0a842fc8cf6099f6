// The observation records around their options, run as a user runs them:
// the record interval, the start date of the CSV results and the fluxes at
// the sites, which must add up to what the balance report counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "model/ShowNumber.hpp"
#include "output/DateTime.hpp"

namespace quarno::test {
namespace {

// A CSV file as rows of named fields (the header names them).
struct Csv {
  std::vector<std::string> head;
  std::vector<std::vector<std::string>> rows;
  int column(const std::string& name) const {
    for (std::size_t c = 0; c < head.size(); ++c)
      if (head[c] == name) return static_cast<int>(c);
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
};

Csv read_csv(const std::string& text) {
  Csv csv;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields(1);
    for (char ch : line) {
      if (ch == ',')
        fields.emplace_back();
      else
        fields.back().push_back(ch);
    }
    if (csv.head.empty())
      csv.head = fields;
    else
      csv.rows.push_back(fields);
  }
  return csv;
}

// The distinct record times of crObsNode.csv, in order.
std::vector<double> record_times(const Csv& obs) {
  std::vector<double> t;
  for (const auto& row : obs.rows)
    if (t.empty() || std::stod(row[0]) != t.back()) t.push_back(std::stod(row[0]));
  return t;
}

// A reach with a loaded bed and a storage zone, a site at every node, an
// hour: a high flow that scours the bed, then a lower one that lets it
// settle.
Reach loaded_reach() {
  Reach r = flowing_channel(10, 900.0, 0.97);
  r.NTr = 1;
  r.schedule = {{1800.0, 0.97, 10.0, 50.0}, {3600.0, 0.56, 4.0, 50.0}};
  r.tout = {1800.0, 3600.0};
  for (int k = 0; k < 10; ++k) r.xobs.push_back(100.0 * k);
  r.aL = 5.0;
  r.Re = 1e-3;
  r.TauCR = 2.5;
  r.Vs = 1e-4;
  r.f = 0.2;
  r.Alfa = 1e-3;
  r.C = 50.0;
  r.Cb = 100.0;
  return r;
}

TEST(SiteFluxes, AddUpToTheBalanceTotals) {
  // With a site at every node and a record at every outer step, the site
  // fluxes integrated over the steps and along the reach (trapezoids of
  // dx B, as the balance integrates) give back the resuspended and
  // deposited totals and the storage zone's gain of the balance report.
  const Reach r = loaded_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh("\"$Q\" --csv --no-pause --quiet --record-interval 1e-9 </dev/null 2>errors.txt"),
            0) << f.get("errors.txt");
  const Csv obs = read_csv(f.get("crObsNode.csv"));
  const int site = obs.column("site");
  const int cols[3] = {obs.column("resuspension_per_m2_per_s"),
                       obs.column("settling_per_m2_per_s"),
                       obs.column("storage_exchange_per_m_per_s")};
  const double dx = 100.0, B = 10.0;
  double total[3] = {0, 0, 0};
  double t_prev = 0.0;
  for (std::size_t k = 0; k < obs.rows.size(); k += 10) {
    const double t = std::stod(obs.rows[k][0]);
    ASSERT_EQ(std::stoi(obs.rows[k + 9][site]), 10);
    for (int q = 0; q < 3; ++q) {
      const double w = q < 2 ? dx * B : dx;  // the exchange is per unit length
      double along = 0.0;
      for (int i = 0; i < 9; ++i)
        along += (std::stod(obs.rows[k + i][cols[q]]) + std::stod(obs.rows[k + i + 1][cols[q]])) *
                 0.5 * w;
      total[q] += along * (t - t_prev);
    }
    t_prev = t;
  }
  ASSERT_DOUBLE_EQ(t_prev, 3600.0);

  std::map<std::string, double> last;  // the final report's stream-water terms
  const Csv bal = read_csv(f.get("crBalance.csv"));
  for (const auto& row : bal.rows)
    if (row[1] == "stream-water solute") last[row[2]] = std::stod(row[3]);
  const double gain = last["Cstfin"] - last["Cstin"];
  const double residual = std::fabs(last["ER_A"]);
  ASSERT_GT(last["CResus"], 0.0);
  ASSERT_GT(last["CDepos"], 0.0);
  ASSERT_GT(std::fabs(gain), 0.0);
  const double off[3] = {total[0] - last["CResus"], total[1] - last["CDepos"], total[2] - gain};
  std::printf("site fluxes vs balance: resuspension %.3g of %.6g, deposition %.3g of %.6g, "
              "storage gain %.3g of %.6g; stream-water residual %.3g\n",
              off[0], last["CResus"], off[1], last["CDepos"], off[2], gain, residual);
  // Resuspension and deposition are the balance's own amounts: rounding only.
  EXPECT_LE(std::fabs(off[0]), 1e-12 * last["CResus"]);
  EXPECT_LE(std::fabs(off[1]), 1e-12 * last["CDepos"]);
  // The exchange is taken with the node areas, the storage with the cell
  // areas: they agree to a small share of the gain and of the balance's own
  // residual (0.4% and 0.07% here).
  EXPECT_LE(std::fabs(off[2]), 0.01 * std::fabs(gain));
  EXPECT_LE(std::fabs(off[2]), 0.01 * residual);
}

TEST(RecordOptions, IntervalDateAndFluxColumns) {
  const Reach r = loaded_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  const std::string run = "\"$Q\" --csv --no-pause --quiet ";
  ASSERT_EQ(f.sh(run + "--record-interval 1e-9 </dev/null"), 0);
  const std::vector<double> steps = record_times(read_csv(f.get("crObsNode.csv")));
  ASSERT_GT(steps.size(), 100u);

  // Records at the end of the first outer step whose steps since the last
  // record reach the interval, then the clock starts again.
  ASSERT_EQ(f.sh("\"$Q\" --no-pause </dev/null >console60.txt && cp crObsNode.txt obs60.txt"), 0);
  for (double S : {60.0, 25.0, 7.5, 1e6}) {
    SCOPED_TRACE(S);
    ASSERT_EQ(f.sh("\"$Q\" --csv --no-pause --record-interval " + show_number(S) +
                   " </dev/null >console.txt"), 0);
    std::vector<double> expected;
    double clock = 0.0, t_prev = 0.0;
    for (double t : steps) {
      clock += t - t_prev;
      t_prev = t;
      if (clock >= S) {
        expected.push_back(t);
        clock = 0.0;
      }
    }
    EXPECT_EQ(record_times(read_csv(f.get("crObsNode.csv"))), expected);
    if (S == 60.0) {  // the default, written out: the same bytes
      EXPECT_TRUE(f.get("crObsNode.txt") == f.get("obs60.txt"));
      EXPECT_TRUE(f.get("console.txt") == f.get("console60.txt"));
    }
  }

  // Every accepted form of one instant gives the same datetime column.
  std::string first;
  for (const char* date : {"2024-06-01", "2024-06-01T00:00", "2024-06-01T00:00:00Z",
                           "2024-06-01T02:00+02:00", "2024-05-31T19:30:00.000-04:30"}) {
    SCOPED_TRACE(date);
    ASSERT_EQ(f.sh(run + "--start-date " + date + " </dev/null"), 0);
    const Csv obs = read_csv(f.get("crObsNode.csv"));
    ASSERT_EQ(obs.head[1], "datetime");
    std::string column;
    for (const auto& row : obs.rows) column += row[1] + "\n";
    if (first.empty()) first = column;
    EXPECT_EQ(column, first);
    EXPECT_EQ(read_csv(f.get("crProfiles.csv")).head[1], "datetime");
    EXPECT_EQ(read_csv(f.get("crBalance.csv")).rows.back()[1], "2024-06-01T01:00:00.000Z");
  }
  // Refused forms: exit 1, one line quoting the text, no file touched.
  for (const char* date : {"2024-6-01", "2024-06-01T24:00", "'2024-06-01 00:00'", "2023-02-29",
                           "2024-06-01T00:00:60Z", "2024-06-01T00:00+0200", "2024-06-01Z",
                           "2024-06-01T00:00:00.Z", "''"}) {
    SCOPED_TRACE(date);
    EXPECT_EQ(f.sh("rm -f cr*.csv crO*; " + run + "--start-date " + date +
                   " </dev/null 2>errors.txt"), 1);
    const std::string err = f.get("errors.txt");
    EXPECT_EQ(err.rfind("quarno: --start-date \"", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(f.exists("crOutput.txt"));
  }
  for (const char* S : {"0", "-1", "nan", "inf", "1e400"}) {
    EXPECT_EQ(f.sh(run + "--record-interval " + S + " </dev/null 2>errors.txt"), 1) << S;
    EXPECT_NE(f.get("errors.txt").find("--record-interval"), std::string::npos) << S;
  }

  // The flux columns: numbers with transport, empty without.
  for (int NTr : {1, 0}) {
    Reach d = r;
    d.NTr = NTr;
    ScratchFolder g(param_text(d), bicond_text(d));
    ASSERT_EQ(g.sh(run + "</dev/null"), 0);
    const Csv obs = read_csv(g.get("crObsNode.csv"));
    ASSERT_EQ(obs.head.size(), 14u);
    for (const auto& row : obs.rows) {
      ASSERT_EQ(row.size(), 14u);
      for (int c = obs.column("bed_shear_N_per_m2"); c < 14; ++c)
        ASSERT_EQ(row[c].empty(), NTr == 0) << obs.head[c] << " in " << row[0];
    }
  }
}

TEST(RecordOptions, DatesFollowTheCalendar) {
  // Start date, model time, the date and time written.
  struct Case {
    const char* start;
    double t;
    const char* written;
  };
  const Case cases[] = {
      {"1970-01-01", 0.0, "1970-01-01T00:00:00.000Z"},
      {"2024-02-28T23:59:30Z", 60.8, "2024-02-29T00:00:30.800Z"},   // leap day
      {"2023-02-28T23:59:30Z", 60.8, "2023-03-01T00:00:30.800Z"},   // no leap day
      {"2100-02-28T12:00", 86400.0, "2100-03-01T12:00:00.000Z"},    // century: no leap day
      {"2000-02-28T12:00", 86400.0, "2000-02-29T12:00:00.000Z"},    // fourth century: one
      {"1969-12-31T23:59:59.9995Z", 0.0, "1970-01-01T00:00:00.000Z"},  // rounded
      {"2024-12-31T23:30:00-01:00", 0.0, "2025-01-01T00:30:00.000Z"},
      {"0001-01-01T00:00:00+01:00", 0.0, "0000-12-31T23:00:00.000Z"},
      {"2024-06-01T00:00:00.123456789Z", 1e9, "2056-02-08T01:46:40.123Z"},
  };
  for (const Case& c : cases) {
    StartDate start;
    std::string reason;
    ASSERT_TRUE(parse_start_date(c.start, start, reason)) << c.start << ": " << reason;
    char text[kDateTimeCapacity];
    const int n = format_datetime(start, c.t, text);
    EXPECT_EQ(std::string(text, n), c.written) << c.start << " + " << c.t;
  }
}

}  // namespace
}  // namespace quarno::test
