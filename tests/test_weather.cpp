// Die-off that follows the weather: the balances close under a changing
// temperature and light as tightly as without them, the sites' CSV rows
// carry the weather and the rates in effect, a temperature of 20 degrees C
// in the dark is today's model to the last digit, and a recorded flow
// replays under any weather.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "Decks.hpp"
#include "Results.hpp"
#include "input/Deck.hpp"
#include "output/Csv.hpp"
#include "run/FlowSource.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "run/Sources.hpp"
#include "run/TimeLoop.hpp"
#include "run/Weather.hpp"

namespace quarno::test {
namespace {

struct WeatherRun {
  std::unique_ptr<Model> m = std::make_unique<Model>();
  std::string results, obs, csv, error, key;  // key: the flow record's
  bool replayed = false;
  int status = 0;
};

// The steps of run_model with `forcing` in the model once the deck is read,
// the site rows in CSV; the flow recorded to or replayed from `record`.
WeatherRun run_with(const Reach& r, const Forcing& forcing, const std::string& record = "",
                    bool replay = false) {
  WeatherRun run;
  Model& m = *run.m;
  Reader param = Reader::from_text("crparam.txt", param_text(r));
  Reader bicond = Reader::from_text("crbicond.txt", bicond_text(r));
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  out.results.capture_to(&run.results);
  out.obs.capture_to(&run.obs);
  out.csv = true;
  out.obs_csv.capture_to(&run.csv);
  out.weather = forcing.weather();
  try {
    write_csv_heads(out.obs_csv, out.profiles_csv, out.balance_csv, out.start_date, false,
                    out.weather);
    read_deck(m, param, bicond, out);
    m.forcing = forcing;
    build_grid(m);
    locate_observations(m);
    map_tables(m);
    initial_state(m);
    locate_sources(m);
    locate_weather(m);
    record_initial_storages(balance_view(m), m.bal);
    std::unique_ptr<FlowRecordReader> reader;
    FlowRecording flow;
    if (replay) reader = std::make_unique<FlowRecordReader>(record);
    flow.replay_from = reader.get();
    flow.save_path = replay ? "" : record;
    run.key = flow_record_key(m);
    FlowSource src(m, out, flow);
    run.replayed = src.kind() == FlowSource::Kind::replayed;
    run_schedule(m, out, src);
    src.commit();
  } catch (const std::exception& e) {
    run.status = 1;
    run.error = e.what();
  }
  return run;
}

// A flood over a loaded bed (resuspension, settling, storage exchange, decay
// in the water and the bed), one site at 1000 m, a node.
Reach flood() {
  Reach r = flowing_channel(31, 1500.0, 0.97);
  r.NTr = 1;
  r.aL = 3.0;
  r.Re = 1e-4;
  r.TauCR = 4.0;
  r.Vs = 1e-4;
  r.f = 0.2;
  r.Alfa = 1e-4;
  r.Kdw = 1e-4;
  r.Kds = 1e-5;
  r.C = 50.0;
  r.Cb = 1e3;
  r.schedule = {{900.0, 0.97, 10.0, 50.0}, {2400.0, 1.5, 30.0, 50.0}, {3600.0, 0.97, 10.0, 50.0}};
  r.tout = {1800.0, 3600.0};
  r.xobs = {1000.0};
  return r;
}

// A summer hour: warming from 12 to 24 degrees C and cooling, the sun rising
// to 900 W/m2; two segments of rates from 0 and 700 m.
Forcing summer() {
  Forcing f;
  f.environment.t = {0.0, 1200.0, 2400.0, 3600.0};
  f.environment.T = {12.0, 18.0, 24.0, 16.0};
  f.environment.I0 = {0.0, 600.0, 900.0, 100.0};
  f.rates.x = {0.0, 700.0};
  f.rates.theta_w = {1.07, 1.05};
  f.rates.theta_b = {1.04, 1.1};
  f.rates.light_alpha = {2e-6, 5e-6};
  f.rates.extinction = {1.5, 3.0};
  return f;
}

std::vector<double> fields(const std::string& line) {
  std::vector<double> v;
  std::stringstream s(line);
  for (std::string cell; std::getline(s, cell, ',');) v.push_back(std::stod(cell));
  return v;
}

TEST(Weather, BalancesCloseAndTheSitesShowTheRatesInEffect) {
  // A closed pool settling onto its bed, with storage exchange and decay in
  // the water and the bed. Decay closes to roundoff; the settling is counted
  // at the concentrations of each step's start, the step takes it at the
  // new ones, and what that leaves open, in both balances, follows the drop
  // of the concentration. Per unit of the drop the balances must close as
  // tightly in the summer as without weather; counting the decay of the
  // deck's rates instead of those that removed it would leave tens of per
  // cent open.
  Reach pool;
  pool.NTr = 1;
  pool.aL = 2.0, pool.Vs = 1e-5, pool.f = 0.2, pool.Alfa = 1e-4, pool.Kdw = 1e-4,
  pool.Kds = 1e-5;
  // The inlet node takes the inlet concentration even behind a wall: it
  // starts and stays at 0.
  pool.conc_rows = {{0.0, 0.0, 0.5}, {100.0, 1.0, 0.5}, {1000.0, 1.0, 0.5}};
  pool.tout = {1800.0, 3600.0};
  const Balances a = read_balances(run_with(pool, Forcing{}).results);
  const WeatherRun pool_run = run_with(pool, summer());
  ASSERT_EQ(pool_run.status, 0) << pool_run.error;
  const Balances b = read_balances(pool_run.results);
  ASSERT_EQ(b.solute_ER_R.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) {  // stream water and bed, at both reports
    const double drop_a = a.Ctoti[k / 2] - a.Ctotf[k / 2];
    const double drop_b = b.Ctoti[k / 2] - b.Ctotf[k / 2];
    EXPECT_GT(drop_b, 2 * drop_a) << k;  // the warm, sunlit water decays faster
    EXPECT_LE(b.solute_ER_R[k] / drop_b, 1.1 * a.solute_ER_R[k] / drop_a) << k;
  }

  // A flood: the weather moves no water; the site rows carry the weather.
  const WeatherRun plain = run_with(flood(), Forcing{});
  const WeatherRun run = run_with(flood(), summer());
  ASSERT_EQ(run.status, 0) << run.error;
  EXPECT_EQ(read_balances(run.results).water_ER_R, read_balances(plain.results).water_ER_R);
  const std::vector<std::string> rows = lines_of(run.csv);
  ASSERT_GT(rows.size(), 50u);
  EXPECT_NE(rows[0].find(",load_per_s,temperature_C,irradiance_W_per_m2,k_water_per_s,"
                         "k_bed_per_s"),
            std::string::npos)
      << rows[0];
  EXPECT_EQ(lines_of(plain.csv)[0].find("temperature_C"), std::string::npos);
  const Forcing f = summer();
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::vector<double> v = fields(rows[i]);
    ASSERT_EQ(v.size(), 18u) << rows[i];
    const double t = v[0], h = v[3], T = v[14], I0 = v[15];
    // The environment at the start of the step that ended at t: within a
    // few seconds of t on the series.
    EXPECT_NEAR(T, series_value(f.environment.t, f.environment.T, t), 0.005 * 20) << t;
    EXPECT_NEAR(I0, series_value(f.environment.t, f.environment.I0, t), 0.75 * 20) << t;
    // The rates of the second segment at the site's node, whose depth the
    // site shows.
    const double Ibar = I0 * (1 - std::exp(-3.0 * h)) / (3.0 * h);
    EXPECT_NEAR(v[16], 1e-4 * std::pow(1.05, T - 20) + 5e-6 * Ibar, 1e-9 * v[16]) << t;
    EXPECT_NEAR(v[17], 1e-5 * std::pow(1.1, T - 20), 1e-12 * v[17]) << t;
  }

  // At 20 degrees C in the dark the rates are the deck's: today's model to
  // the last digit, but for the weather's columns.
  Forcing still = summer();
  still.environment.T.assign(4, 20.0);
  still.environment.I0.assign(4, 0.0);
  const WeatherRun same = run_with(flood(), still);
  EXPECT_EQ(same.results, plain.results);
  EXPECT_EQ(same.obs, plain.obs);
}

TEST(Weather, ARecordedFlowReplaysUnderAnotherWeather) {
  const Reach r = flood();
  char tmpl[] = "/tmp/quarno-weather-record-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string record = std::string(tmpl) + "/flow.qflow";
  const WeatherRun recorded = run_with(r, summer(), record);
  ASSERT_EQ(recorded.status, 0) << recorded.error;

  Forcing other = summer();  // colder, brighter, other rates, no second segment
  other.environment.T = {8.0, 10.0};
  other.environment.I0 = {300.0, 1000.0};
  other.environment.t = {0.0, 3600.0};
  other.rates.x = {0.0};
  other.rates.theta_w = {1.1};
  other.rates.theta_b = {1.2};
  other.rates.light_alpha = {8e-6};
  other.rates.extinction = {0.5};
  const WeatherRun replayed = run_with(r, other, record, true);
  const WeatherRun solved = run_with(r, other);
  EXPECT_TRUE(replayed.replayed) << replayed.error;
  EXPECT_EQ(replayed.key, recorded.key);
  EXPECT_EQ(run_with(r, Forcing{}).key, recorded.key);  // the weather is not in the key
  EXPECT_EQ(replayed.results, solved.results);
  EXPECT_EQ(replayed.obs, solved.obs);
  EXPECT_EQ(replayed.csv, solved.csv);
  EXPECT_NE(solved.results, recorded.results);  // the weather shows in the transport
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace quarno::test
