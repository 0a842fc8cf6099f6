// The observation records and their options, run as a user runs them: the
// record interval, the start date of the CSV results, and the site fluxes,
// which must add up to what the balance report counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "model/ShowNumber.hpp"
#include "output/DateTime.hpp"

namespace quarno::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;  // a CSV file, its header first

Rows read_csv(const std::string& text) {
  Rows rows;
  for (const std::string& line : lines_of(text)) {
    rows.emplace_back(1);
    for (char ch : line) {
      if (ch == ',') rows.back().emplace_back();
      else rows.back().back().push_back(ch);
    }
  }
  return rows;
}

std::vector<double> record_times(const Rows& obs) {  // distinct, in order
  std::vector<double> t;
  for (std::size_t k = 1; k < obs.size(); ++k)
    if (t.empty() || std::stod(obs[k][0]) != t.back()) t.push_back(std::stod(obs[k][0]));
  return t;
}

// A loaded bed and a storage zone, a site at every node: a high flow that
// scours the bed, then a lower one under which it settles.
Reach loaded_reach() {
  Reach r = flowing_channel(10, 900.0, 0.97);
  r.NTr = 1;
  r.schedule = {{1800.0, 0.97, 10.0, 50.0}, {3600.0, 0.56, 4.0, 50.0}};
  r.tout = {1800.0, 3600.0};
  for (int k = 0; k < 10; ++k) r.xobs.push_back(100.0 * k);
  r.aL = 5.0, r.Re = 1e-3, r.TauCR = 2.5, r.Vs = 1e-4, r.f = 0.2, r.Alfa = 1e-3;
  r.C = 50.0, r.Cb = 100.0;
  return r;
}

TEST(SiteFluxes, AddUpToTheBalanceTotals) {
  // A record at every outer step: the site fluxes times the step lengths,
  // summed along the reach with the balance's trapezoids (dx B per unit bed
  // area, dx per unit length), against the final report.
  const Reach r = loaded_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh("\"$Q\" --csv --no-pause --quiet --record-interval 1e-9 </dev/null"), 0);
  const Rows obs = read_csv(f.get("crObsNode.csv"));
  ASSERT_EQ(obs[0][10], "resuspension_per_m2_per_s");
  double total[3] = {0, 0, 0}, t_prev = 0.0;  // resuspended, deposited, into storage
  for (std::size_t k = 1; k + 9 < obs.size(); k += 10) {
    ASSERT_EQ(obs[k + 9][1], "10");
    const double t = std::stod(obs[k][0]);
    for (int q = 0; q < 3; ++q)
      for (std::size_t i = k; i < k + 9; ++i)
        total[q] += (std::stod(obs[i][10 + q]) + std::stod(obs[i + 1][10 + q])) * 0.5 *
                    (q < 2 ? 1000.0 : 100.0) * (t - t_prev);
    t_prev = t;
  }
  ASSERT_EQ(t_prev, 3600.0);
  std::map<std::string, double> b;  // the final report's stream-water terms
  for (const auto& row : read_csv(f.get("crBalance.csv")))
    if (row[1] == "stream-water solute") b[row[2]] = std::stod(row[3]);
  const double gain = b["Cstfin"] - b["Cstin"], residual = std::fabs(b["ER_A"]);
  ASSERT_TRUE(b["CResus"] > 0 && b["CDepos"] > 0 && gain != 0);
  const double off[3] = {total[0] - b["CResus"], total[1] - b["CDepos"], total[2] - gain};
  std::printf("site fluxes vs balance: resuspension %.3g of %.6g, deposition %.3g of %.6g, "
              "storage gain %.3g of %.6g; stream-water residual %.3g\n",
              off[0], b["CResus"], off[1], b["CDepos"], off[2], gain, residual);
  // Resuspension and deposition are the balance's own amounts: rounding only.
  EXPECT_LE(std::fabs(off[0]), 1e-12 * b["CResus"]);
  EXPECT_LE(std::fabs(off[1]), 1e-12 * b["CDepos"]);
  // The exchange uses node areas, the storage sum cell areas (0.4% of the
  // gain, 0.07% of the residual here).
  EXPECT_LE(std::fabs(off[2]), 0.01 * std::min(std::fabs(gain), residual));
}

TEST(RecordOptions, IntervalDateAndFluxColumns) {
  const Reach r = loaded_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  const std::string run = "\"$Q\" --csv --no-pause --quiet ";
  ASSERT_EQ(f.sh(run + "--record-interval 1e-9 </dev/null"), 0);
  const std::vector<double> steps = record_times(read_csv(f.get("crObsNode.csv")));
  ASSERT_EQ(f.sh("\"$Q\" --no-pause </dev/null >console60 && cp crObsNode.txt obs60"), 0);
  // A record ends the first outer step at which the clock reaches S; the
  // clock then restarts at 0. 60 written out is the default, byte for byte.
  for (double S : {60.0, 25.0, 7.5, 1e6}) {
    ASSERT_EQ(f.sh("\"$Q\" --csv --no-pause --record-interval " + show_number(S) +
                   " </dev/null >console"), 0);
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
    EXPECT_EQ(record_times(read_csv(f.get("crObsNode.csv"))), expected) << S;
    if (S == 60.0) {
      EXPECT_TRUE(f.get("crObsNode.txt") == f.get("obs60"));
      EXPECT_TRUE(f.get("console") == f.get("console60"));
    }
  }

  // Every form of one instant gives the same datetime column.
  std::string first;
  for (const char* date : {"2024-06-01", "2024-06-01T00:00", "2024-06-01T00:00:00Z",
                           "2024-06-01T02:00+02:00", "2024-05-31T19:30:00.000-04:30"}) {
    ASSERT_EQ(f.sh(run + "--start-date " + date + " </dev/null"), 0) << date;
    std::string column;
    for (const auto& row : read_csv(f.get("crObsNode.csv"))) column += row[1] + "\n";
    EXPECT_EQ(column, first.empty() ? (first = column) : first) << date;
    EXPECT_EQ(read_csv(f.get("crProfiles.csv"))[0][1], "datetime");
    EXPECT_EQ(read_csv(f.get("crBalance.csv")).back()[1], "2024-06-01T01:00:00.000Z");
  }
  // Refused forms and intervals: exit 1, one line naming the option, no file.
  for (const std::string bad :
       {"--start-date 2024-6-01", "--start-date 2024-06-01T24:00", "--start-date 2023-02-29",
        "--start-date '2024-06-01 00:00'", "--start-date 2024-06-01T00:00:60Z",
        "--start-date 2024-06-01T00:00+0200", "--start-date 2024-06-01Z", "--start-date ''",
        "--record-interval 0", "--record-interval -1", "--record-interval nan",
        "--record-interval inf", "--record-interval ''", "--record-interval 1e999"}) {
    EXPECT_EQ(f.sh("rm -f cr*.csv crO*; " + run + bad + " </dev/null 2>err"), 1) << bad;
    const std::string err = f.get("err");
    EXPECT_EQ(err.rfind("quarno: " + bad.substr(0, bad.find(' ')), 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(f.exists("crOutput.txt"));
  }

  // Without transport the five flux cells are empty (with it, the first test
  // reads them as numbers).
  Reach still = r;
  still.NTr = 0;
  ScratchFolder g(param_text(still), bicond_text(still));
  ASSERT_EQ(g.sh(run + "</dev/null"), 0);
  const Rows obs = read_csv(g.get("crObsNode.csv"));
  ASSERT_GT(obs.size(), 10u);
  for (std::size_t k = 1; k < obs.size(); ++k)
    EXPECT_TRUE(obs[k].size() == 14 && !obs[k][8].empty() &&
                std::all_of(obs[k].begin() + 9, obs[k].end(), [](auto& c) { return c.empty(); }))
        << k;
}

TEST(RecordOptions, AnIntervalLongerThanTheRunWarnsOnce) {
  // The record clock adds up the outer steps from where the run starts (0,
  // or where a saved state left it): an interval it cannot reach before the
  // end takes no record, which one warning says; the results are those of
  // the default interval, records aside.
  const Reach full = loaded_reach();  // 3600 s
  Reach half = full;
  half.schedule.resize(1);
  half.tout = {1800.0};
  ScratchFolder f(param_text(half), bicond_text(half));
  const std::string run = "\"$Q\" --csv --no-pause --quiet ";
  ASSERT_EQ(f.sh(run + "--save-state half.state </dev/null"), 0);
  std::string clock;  // the record clock the saved state leaves
  for (const std::string& line : lines_of(f.get("half.state")))
    if (line.rfind("record_clock_s,", 0) == 0) clock = line.substr(15);
  ASSERT_FALSE(clock.empty());
  const double left = 1800.0 + std::stod(clock);  // what the resumed run can count
  f.put("crparam.txt", param_text(full));
  f.put("crbicond.txt", bicond_text(full));
  ASSERT_EQ(f.sh(run + "</dev/null && cp crOutput.txt default.txt"), 0);
  const struct {
    std::string options;
    double counted;  // model time the clock can count; 0: a record is due
  } cases[] = {
      {"--record-interval 3601", 3600.0},
      {"--record-interval 1e308", 3600.0},
      {"--record-interval 3599", 0.0},
      {"--initial-state half.state --record-interval " + show_number(left + 1.0), left},
      {"--initial-state half.state --record-interval " + show_number(left - 1.0), 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ASSERT_EQ(f.sh(run + c.options + " </dev/null 2>err"), 0) << f.get("err");
    const std::size_t records = read_csv(f.get("crObsNode.csv")).size() - 1;
    if (c.counted > 0.0) {
      const std::string S = c.options.substr(c.options.rfind(' ') + 1);
      EXPECT_EQ(f.get("err"), "warning: --record-interval " + show_number(std::stod(S)) +
                                  " s is longer than the model time the run has left to record (" +
                                  show_number(c.counted) +
                                  " s): a record is taken at the end of the first outer step "
                                  "that reaches it, so no observation record is taken\n");
      EXPECT_EQ(records, 0u);
    } else {
      EXPECT_EQ(f.get("err"), "");
      EXPECT_GE(records, 1u);
    }
    if (c.options.find("initial-state") == std::string::npos) {
      EXPECT_TRUE(f.get("crOutput.txt") == f.get("default.txt"));
    }
  }
}

TEST(RecordOptions, DatesFollowTheCalendar) {
  const char* cases[][3] = {  // start, model time, written
      {"2024-02-28T23:59:30Z", "60.8", "2024-02-29T00:00:30.800Z"},    // leap day
      {"2023-02-28T23:59:30Z", "60.8", "2023-03-01T00:00:30.800Z"},    // none
      {"2100-02-28T12:00", "86400", "2100-03-01T12:00:00.000Z"},       // none in 2100
      {"2000-02-28T12:00", "86400", "2000-02-29T12:00:00.000Z"},       // one in 2000
      {"1969-12-31T23:59:59.9995Z", "0", "1970-01-01T00:00:00.000Z"},  // rounded
      {"2024-12-31T23:30:00-01:00", "0", "2025-01-01T00:30:00.000Z"},
      {"2024-06-01T00:00:00.123456789Z", "1e9", "2056-02-08T01:46:40.123Z"},
  };
  for (const auto& c : cases) {
    StartDate start;
    std::string reason;
    ASSERT_TRUE(parse_start_date(c[0], start, reason)) << c[0] << ": " << reason;
    char text[kDateTimeCapacity];
    EXPECT_EQ(std::string(text, format_datetime(start, std::stod(c[1]), text)), c[2]) << c[0];
  }
  // The results hold four-digit years: the bounds, as the dates are written
  // (rounded to the millisecond).
  const struct {
    const char* start;
    double t;
    bool within;
  } bounds[] = {{"0001-01-01", 0.0, true}, {"0001-01-01", -0.0006, false},
                {"0000-12-31T23:59:59.9995Z", 0.0, true}, {"9999-12-31T23:50Z", 599.9994, true},
                {"9999-12-31T23:50Z", 599.9995, false}, {"2024-06-01", -1e300, false}};
  for (const auto& b : bounds) {
    StartDate start;
    std::string reason;
    ASSERT_TRUE(parse_start_date(b.start, start, reason)) << b.start << ": " << reason;
    EXPECT_EQ(date_within_calendar(start, b.t), b.within) << b.start << " + " << b.t;
  }
}

}  // namespace
}  // namespace quarno::test
