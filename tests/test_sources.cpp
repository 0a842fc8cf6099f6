// Sources along the reach: the balances close with them as tightly as
// without, an abstraction beyond the stream dries its cell, a steady point
// source gives the fully mixed jump, and a recorded flow replays under
// another strength of a source but not under another discharge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "Decks.hpp"
#include "Results.hpp"
#include "input/Deck.hpp"
#include "model/Errors.hpp"
#include "run/FlowSource.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "run/Sources.hpp"
#include "run/SteadyFlow.hpp"
#include "run/TimeLoop.hpp"

namespace quarno::test {
namespace {

SourceSeries source(const char* name, double x, std::vector<double> t, std::vector<double> Q,
                    double C) {
  SourceSeries s;
  s.name = name;
  s.line = 1;
  s.x = x;
  s.t = std::move(t);
  s.Q = std::move(Q);
  s.C.assign(s.t.size(), C);
  return s;
}

struct SourceRun {
  std::unique_ptr<Model> m = std::make_unique<Model>();
  std::string results, obs, warnings, error, key;  // key: the flow record's
  bool replayed = false;
  int status = 0;
};

// The steps of run_model, with the sources of `forcing` in the model once
// the deck is read; the flow recorded to or replayed from `record`.
SourceRun run_with(const Reach& r, const Forcing& forcing, bool steady = false,
                   const std::string& record = "", bool replay = false) {
  SourceRun run;
  Model& m = *run.m;
  Reader param = Reader::from_text("crparam.txt", param_text(r));
  Reader bicond = Reader::from_text("crbicond.txt", bicond_text(r));
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  out.results.capture_to(&run.results);
  out.obs.capture_to(&run.obs);
  out.warnings.capture_to(&run.warnings);
  try {
    m.settings.steady_flow = steady;
    read_deck(m, param, bicond, out);
    m.forcing = forcing;
    build_grid(m);
    locate_observations(m);
    map_tables(m);
    initial_state(m);
    locate_sources(m);
    if (steady) establish_steady_flow(m, out, nullptr);  // saved in the working folder
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
  } catch (const InputError& e) {
    run.status = 1;
    run.error = e.what();
  }
  return run;
}

// A storm on a 2 km reach with transport (dispersion, storage exchange,
// decay): the inlet discharge rises from 10 to 25 m3/s and falls back. An
// overflow during it (0 to 3 m3/s and back), ditches along 500 m with a
// load, an intake of 2 m3/s.
Reach storm_reach() {
  Reach r = flowing_channel(81, 2000.0, 1.1);
  r.NTr = 1;
  r.aL = 2.0;
  r.Alfa = 1e-4;
  r.Kdw = 1e-5;
  r.C = 50.0;
  r.schedule = {{900.0, 1.1, 10.0, 50.0}, {1800.0, 1.1, 25.0, 80.0}, {3600.0, 1.1, 10.0, 50.0}};
  r.tout = {1800.0, 3600.0};
  return r;
}
Forcing storm_sources() {
  Forcing f;
  f.sources = {source("overflow", 600.0, {600.0, 1200.0, 2400.0}, {0.0, 3.0, 0.0}, 2e4),
               source("ditches", 1000.0, {0.0}, {0.5}, 40.0),
               source("intake", 1800.0, {0.0}, {-2.0}, 0.0)};
  f.sources[1].distributed = f.sources[1].load = true;
  f.sources[1].x_to = 1500.0;
  return f;
}

TEST(Sources, BalancesCloseAsTightlyAsWithoutSources) {
  Forcing pump;  // takes 30 m3/s: more than the stream brings
  pump.sources = {source("pump", 1400.0, {0.0}, {-30.0}, 0.0)};
  const SourceRun plain = run_with(storm_reach(), Forcing{});
  const Balances a = read_balances(plain.results);
  for (const Forcing& f : {storm_sources(), pump}) {
    SCOPED_TRACE(f.sources[0].name);
    const SourceRun run = run_with(storm_reach(), f);
    ASSERT_EQ(run.status, 0) << run.error;
    const Balances b = read_balances(run.results);
    ASSERT_EQ(b.water_ER_R.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
      // Relative errors (%) of the size the storm alone leaves (the end faces
      // are counted by their discharge after each step). A source term left
      // out or counted twice is thousands of m3 and most of the solute.
      EXPECT_LE(b.water_ER_R[k], std::max(3 * a.water_ER_R[k], 0.1)) << k;
      EXPECT_LE(b.solute_ER_R[2 * k], std::max(3 * a.solute_ER_R[2 * k], 1.0)) << k;
    }
    EXPECT_EQ(values_after(run.results, "QSrc=").size(), 2u);
    const Model& m = *run.m;
    if (f.sources.size() == 3) {
      // 0.5*3*1800 + 0.5*3600 - 2*3600 m3 of water, 40*3600 + 2e4*2700 of
      // solute in; the intake takes stream water at its concentration.
      EXPECT_EQ(run.warnings, "");
      EXPECT_NEAR(m.bal.QSrc, 2700.0 + 1800.0 - 7200.0, 1e-3 * 2700.0);
      EXPECT_NEAR(m.bal.QCSrcIn, 40.0 * 3600.0 + 2e4 * 2700.0, 1e-3 * 2e4 * 2700.0);
      EXPECT_GT(m.bal.QCSrcOut, 2.0 * 3600.0 * 40.0);
    } else {
      // The pump takes what reaches it, the inlet's 10 m3/s, and little
      // passes; it is named once.
      EXPECT_GT(m.src.Qnow(1), -11.0);
      EXPECT_LT(m.src.Qnow(1), -9.0);
      EXPECT_LT(m.flow.Q(m.src.cell(1) + 1), 1.0);
      EXPECT_EQ(run.warnings.find("warning: the abstraction \"pump\" takes more water than the "
                                  "stream holds at t = "), 0u) << run.warnings;
      EXPECT_EQ(lines_of(run.warnings).size(), 1u) << run.warnings;
    }
  }
  EXPECT_EQ(values_after(plain.results, "QSrc=").size(), 0u);
}

// 10 m3/s at C = 100 on a uniform reach, 2 m3/s at C = 1000 entering at 500
// m: below it Qu + Qs = 12 m3/s and (Qu Cu + Qs Cs)/(Qu + Qs) = 250 once
// steady, solved or frozen. Dispersion, no decay, no exchange.
TEST(Sources, SteadyPointSourceGivesTheFullyMixedJump) {
  Reach r = flowing_channel(101, 2000.0, 1.1);
  r.NTr = 1;
  r.aL = 5.0;
  r.C = 100.0;
  r.schedule = {{10800.0, 1.1, 10.0, 100.0}};
  r.tout = {10800.0};
  Forcing f;
  f.sources = {source("outfall", 500.0, {0.0}, {2.0}, 1000.0)};
  const auto here = std::filesystem::current_path();
  char tmpl[] = "/tmp/quarno-sources-XXXXXX";
  std::filesystem::current_path(mkdtemp(tmpl));  // the steady flow is saved there
  for (const bool steady : {false, true}) {
    const SourceRun run = run_with(r, f, steady);
    ASSERT_EQ(run.status, 0) << run.error;
    const Model& m = *run.m;
    ASSERT_EQ(m.src.cell(1), 26);  // 500 m starts cell 26 of 20 m cells
    // From ten cells below the source to ten above the outlet, whose last
    // node has no advection.
    for (int i = 36; i <= m.grid.M - 10; ++i) {
      EXPECT_NEAR(m.flow.Q(i), 12.0, 1e-3 * 12.0) << i << (steady ? " steady" : "");
      EXPECT_NEAR(m.nodes.CN(i), 250.0, 1e-3 * 250.0) << i << (steady ? " steady" : "");
    }
  }
  // A discharge that changes in time cannot be frozen.
  f.sources = {source("outfall", 500.0, {0.0, 3600.0}, {2.0, 4.0}, 1000.0)};
  const SourceRun refused = run_with(r, f, true);
  std::filesystem::current_path(here);
  std::filesystem::remove_all(tmpl);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.error.find("the discharge of the source \"outfall\""), std::string::npos)
      << refused.error;
}

TEST(Sources, RecordedFlowReplaysUnderAnotherStrengthNotAnotherDischarge) {
  const Reach r = storm_reach();
  char tmpl[] = "/tmp/quarno-sources-record-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string record = std::string(tmpl) + "/flow.qflow";
  const SourceRun recorded = run_with(r, storm_sources(), false, record);
  ASSERT_EQ(recorded.status, 0) << recorded.error;

  Forcing stronger = storm_sources();
  stronger.sources[0].strength = 3.0;
  stronger.sources[1].strength = 0.5;
  const SourceRun replayed = run_with(r, stronger, false, record, true);
  const SourceRun solved = run_with(r, stronger);
  EXPECT_TRUE(replayed.replayed) << replayed.warnings;
  EXPECT_EQ(replayed.results, solved.results);
  EXPECT_EQ(replayed.obs, solved.obs);
  EXPECT_NE(solved.results, recorded.results);  // the strength shows in the transport

  // Another discharge or place moves water: another key, and the flow
  // is solved. Without sources the key is another too.
  Forcing changed = storm_sources();
  changed.sources[2].Q = {-2.5};
  const SourceRun other = run_with(r, changed, false, record, true);
  EXPECT_NE(other.key, recorded.key);
  EXPECT_FALSE(other.replayed);
  changed = storm_sources();
  changed.sources[0].x = 650.0;
  EXPECT_NE(run_with(r, changed).key, recorded.key);
  EXPECT_NE(run_with(r, Forcing{}).key, recorded.key);
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace quarno::test
