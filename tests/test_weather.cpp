// Die-off that follows the weather: balances, the sites' rates, and a
// recorded flow replayed under another weather.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "Decks.hpp"
#include "Results.hpp"
#include "input/FlowRecordFile.hpp"
#include "output/Csv.hpp"
#include "run/Quarno.hpp"
#include "run/Sources.hpp"

namespace quarno::test {
namespace {

struct WeatherRun {
  std::string results, obs, csv, warnings, error;
};

// The run of the program's run_model with `forcing`, the site rows in CSV,
// the flow recorded to `save` or replayed from `replay`.
WeatherRun run_with(const Reach& r, const Forcing& forcing, const std::string& save = "",
                    const std::string& replay = "") {
  WeatherRun run;
  Model m;
  Reader param = Reader::from_text("crparam.txt", param_text(r));
  Reader bicond = Reader::from_text("crbicond.txt", bicond_text(r));
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  for (auto [file, text] : {std::pair{&out.results, &run.results}, {&out.obs, &run.obs},
                             {&out.warnings, &run.warnings}, {&out.obs_csv, &run.csv}})
    file->capture_to(text);
  out.csv = true;
  out.weather = forcing.weather();
  RunPlan plan;
  plan.save_flow = save;
  SavedInputs saved;
  saved.forcing = forcing;
  try {
    if (!replay.empty()) saved.record = std::make_unique<FlowRecordReader>(replay);
    write_csv_heads(out.obs_csv, out.profiles_csv, out.balance_csv, {}, false, out.weather);
    run_model(m, param, bicond, out, plan, saved);
  } catch (const std::exception& e) {
    run.error = e.what();
  }
  return run;
}

// Warming from 12 to 24 degrees C and cooling, the sun rising to 900 W/m2;
// rates in two segments, from 0 and 700 m.
Forcing summer() {
  Forcing f;
  f.environment = {1, "", {0.0, 1200.0, 2400.0, 3600.0}, {12.0, 18.0, 24.0, 16.0},
                   {0.0, 600.0, 900.0, 100.0}};
  f.rates = {1, {0.0, 700.0}, {1.07, 1.05}, {1.04, 1.1}, {2e-6, 5e-6}, {1.5, 3.0}};
  return f;
}

// A flood over a loaded bed (resuspension, settling, storage exchange, decay
// in the water and the bed), one site at 1000 m, a node.
Reach flood() {
  Reach r = flowing_channel(31, 1500.0, 0.97);
  r.NTr = 1;
  r.aL = 3.0, r.Re = 1e-4, r.TauCR = 4.0, r.Vs = 1e-4, r.f = 0.2, r.Alfa = 1e-4;
  r.Kdw = 1e-4, r.Kds = 1e-5;
  r.C = 50.0, r.Cb = 1e3;
  r.schedule = {{900.0, 0.97, 10.0, 50.0}, {2400.0, 1.5, 30.0, 50.0}, {3600.0, 0.97, 10.0, 50.0}};
  r.xobs = {1000.0};
  return r;
}

TEST(Weather, BalancesCloseAndTheSitesShowTheRatesInEffect) {
  // A closed pool settling onto its bed, with storage exchange and decay.
  // Settling counted at each step's starting concentrations, taken at the
  // new ones, leaves both balances open in proportion to the concentration's
  // drop: per unit of it they must close as tightly as without weather.
  Reach pool;
  pool.NTr = 1;
  pool.aL = 2.0, pool.Vs = 1e-5, pool.f = 0.2, pool.Alfa = 1e-4, pool.Kdw = 1e-4;
  pool.Kds = 1e-5;
  // The inlet node is held at the inlet's 0 even behind a wall.
  pool.conc_rows = {{0.0, 0.0, 0.5}, {100.0, 1.0, 0.5}, {1000.0, 1.0, 0.5}};
  pool.tout = {1800.0, 3600.0};
  const Balances a = read_balances(run_with(pool, Forcing{}).results);
  const WeatherRun summer_pool = run_with(pool, summer());
  ASSERT_EQ(summer_pool.error, "");
  const Balances b = read_balances(summer_pool.results);
  ASSERT_EQ(b.solute_ER_R.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) {  // stream water and bed, at both reports
    const double drop_a = a.Ctoti[k / 2] - a.Ctotf[k / 2];
    const double drop_b = b.Ctoti[k / 2] - b.Ctotf[k / 2];
    EXPECT_GT(drop_b, 2 * drop_a) << k;  // the warm, sunlit water decays faster
    EXPECT_LE(b.solute_ER_R[k] / drop_b, 1.1 * a.solute_ER_R[k] / drop_a) << k;
  }

  // A flood: the weather moves no water; the site rows carry the weather
  // at each step's start (within a step of the record's time) and the rates
  // of the second segment at the site's node, whose depth the site shows.
  const WeatherRun plain = run_with(flood(), Forcing{});
  const WeatherRun run = run_with(flood(), summer());
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(read_balances(run.results).water_ER_R, read_balances(plain.results).water_ER_R);
  const std::vector<std::string> rows = lines_of(run.csv);
  ASSERT_GT(rows.size(), 50u);
  EXPECT_NE(rows[0].find(",load_per_s,temperature_C,irradiance_W_per_m2,k_water_per_s,"
                         "k_bed_per_s"), std::string::npos) << rows[0];
  const EnvironmentSeries env = summer().environment;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    double v[18];
    const char* p = rows[i].c_str();
    for (double& x : v) {
      char* end = nullptr;
      x = std::strtod(p, &end);
      p = *end == ',' ? end + 1 : end;
    }
    ASSERT_EQ(*p, '\0') << rows[i];
    const double t = v[0], h = v[3], T = v[14], I0 = v[15];
    EXPECT_NEAR(T, series_value(env.t, env.T, t), 0.005 * 20) << t;
    EXPECT_NEAR(I0, series_value(env.t, env.I0, t), 0.75 * 20) << t;
    const double Ibar = I0 * (1 - std::exp(-3.0 * h)) / (3.0 * h);
    EXPECT_NEAR(v[16], 1e-4 * std::pow(1.05, T - 20) + 5e-6 * Ibar, 1e-9 * v[16]) << t;
    EXPECT_NEAR(v[17], 1e-5 * std::pow(1.1, T - 20), 1e-12 * v[17]) << t;
  }

  // At 20 degrees C in the dark the rates are the deck's, to the last digit.
  Forcing still = summer();
  still.environment.T.assign(4, 20.0);
  still.environment.I0.assign(4, 0.0);
  const WeatherRun same = run_with(flood(), still);
  EXPECT_EQ(same.results, plain.results);
  EXPECT_EQ(same.obs, plain.obs);
}

TEST(Weather, ARecordedFlowReplaysUnderAnotherWeather) {
  char tmpl[] = "/tmp/quarno-weather-record-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string record = std::string(tmpl) + "/flow.qflow";
  const WeatherRun recorded = run_with(flood(), summer(), record);
  ASSERT_EQ(recorded.error, "");
  Forcing other;  // colder, brighter, other rates, one segment
  other.environment = {1, "", {0.0, 3600.0}, {8.0, 10.0}, {300.0, 1000.0}};
  other.rates = {1, {0.0}, {1.1}, {1.2}, {8e-6}, {0.5}};
  const WeatherRun replayed = run_with(flood(), other, "", record);
  const WeatherRun solved = run_with(flood(), other);
  EXPECT_EQ(replayed.warnings, "");  // no note of another set-up's record
  EXPECT_EQ(replayed.results, solved.results);
  EXPECT_EQ(replayed.obs, solved.obs);
  EXPECT_EQ(replayed.csv, solved.csv);
  EXPECT_NE(solved.results, recorded.results);  // the weather shows in the transport
  EXPECT_EQ(run_with(flood(), Forcing{}, "", record).warnings, "");  // nor without weather
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace quarno::test
