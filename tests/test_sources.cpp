// Sources along the reach: the balances close with them as tightly as
// without, a steady point source gives the fully mixed jump below it, and a
// recorded flow replays under another strength of a source but not under
// another discharge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "Decks.hpp"
#include "Results.hpp"
#include "input/Deck.hpp"
#include "model/Errors.hpp"
#include "run/FlowReplay.hpp"
#include "run/FlowSource.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "run/Sources.hpp"
#include "run/SteadyFlow.hpp"
#include "run/TimeLoop.hpp"

namespace quarno::test {
namespace {

SourceSeries source(const std::string& name, double x, std::vector<double> t,
                    std::vector<double> Q, std::vector<double> C) {
  SourceSeries s;
  s.name = name;
  s.x = x;
  s.t = std::move(t);
  s.Q = std::move(Q);
  s.C = std::move(C);
  return s;
}

struct SourceRun {
  std::unique_ptr<Model> m = std::make_unique<Model>();
  std::string results, obs, warnings;
  std::string key;  // the flow record's key
  bool replayed = false;
  int status = 0;
  std::string error;
};

// The steps of a run of the program, with the sources of `forcing` in the
// model once the deck is read.
SourceRun run_with(const Reach& r, const Forcing& forcing, bool steady = false,
                   const std::string& save_flow = "", const std::string& replay_flow = "") {
  SourceRun run;
  Model& m = *run.m;
  Reader param = Reader::from_text("crparam.txt", param_text(r));
  Reader bicond = Reader::from_text("crbicond.txt", bicond_text(r));
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  out.results.capture_to(&run.results);
  out.obs.capture_to(&run.obs);
  out.warnings.capture_to(&run.warnings);
  std::unique_ptr<FlowRecordReader> reader;
  try {
    m.settings.steady_flow = steady;
    read_deck(m, param, bicond, out);
    m.forcing = forcing;
    build_grid(m);
    locate_observations(m);
    map_tables(m);
    initial_state(m);
    locate_sources(m);
    if (steady) establish_steady_flow(m, out, nullptr);
    record_initial_storages(balance_view(m), m.bal);
    FlowRecording flow;
    flow.save_path = save_flow;
    if (!replay_flow.empty()) {
      reader = std::make_unique<FlowRecordReader>(replay_flow);
      flow.replay_from = reader.get();
    }
    run.key = flow_record_key(m);
    FlowSource src(m, out, flow);
    run.replayed = src.kind() == FlowSource::Kind::replayed;
    run_schedule(m, out, src);
    src.commit();
  } catch (const InputError& e) {
    run.status = 1;
    run.error = e.what();
  } catch (const NumericalFailure& e) {
    run.status = 2;
    run.error = e.what();
  }
  return run;
}

// A temporary folder as the working folder for as long as it lives.
class InTempFolder {
 public:
  InTempFolder() : before_(std::filesystem::current_path()) {
    char tmpl[] = "/tmp/quarno-sources-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::filesystem::current_path(dir_);
  }
  ~InTempFolder() {
    std::filesystem::current_path(before_);
    std::filesystem::remove_all(dir_);
  }

 private:
  std::filesystem::path before_, dir_;
};

// A storm on a 2 km reach with transport (dispersion, storage exchange,
// decay): the inlet discharge rises from 10 to 25 m3/s and falls back.
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

// An overflow during the storm (a point source), ditches along 500 m with a
// load, and an abstraction.
Forcing storm_sources() {
  Forcing f;
  f.path = "crforcing.toml";
  f.sources.push_back(source("overflow", 600.0, {600.0, 1200.0, 2400.0}, {0.0, 3.0, 0.0},
                             {2e4, 2e4, 2e4}));
  SourceSeries ditches = source("ditches", 1000.0, {0.0}, {0.5}, {40.0});
  ditches.distributed = true;
  ditches.x_to = 1500.0;
  ditches.load = true;
  f.sources.push_back(ditches);
  f.sources.push_back(source("intake", 1800.0, {0.0}, {-2.0}, {0.0}));
  return f;
}

TEST(Sources, BalancesCloseAsTightlyAsWithoutSources) {
  const Reach r = storm_reach();
  const SourceRun plain = run_with(r, Forcing{});
  const SourceRun with = run_with(r, storm_sources());
  ASSERT_EQ(plain.status, 0) << plain.error;
  ASSERT_EQ(with.status, 0) << with.error;
  EXPECT_EQ(with.warnings, "");
  const Balances a = read_balances(plain.results);
  const Balances b = read_balances(with.results);
  ASSERT_EQ(a.water_ER_R.size(), 2u);
  ASSERT_EQ(b.water_ER_R.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    // Relative errors (%) at each report: with sources of the size the
    // storm alone leaves (counting the end faces by their discharge after
    // each step). A source term left out or counted twice would be
    // thousands of m3 and a good part of the solute.
    EXPECT_LE(b.water_ER_R[k], std::max(3 * a.water_ER_R[k], 0.1));
    EXPECT_LE(b.solute_ER_R[2 * k], std::max(3 * a.solute_ER_R[2 * k], 1.0));
  }
  // The report shows the sources' terms only when there are sources.
  EXPECT_EQ(values_after(plain.results, "QSrc=").size(), 0u);
  EXPECT_EQ(values_after(plain.results, "QCSrcIn=").size(), 0u);
  ASSERT_EQ(values_after(with.results, "QSrc=").size(), 2u);
  // By the end the sources brought 0.5*3*1800 + 0.5*3600 - 2*3600 m3 of
  // water, the ditches 40*3600 of solute, the overflow 2e4*2700; the
  // abstraction took water at the stream's concentration.
  const Model& m = *with.m;
  EXPECT_NEAR(m.bal.QSrc, 2700.0 + 1800.0 - 7200.0, 1e-3 * 2700.0);
  EXPECT_NEAR(m.bal.QCSrcIn, 40.0 * 3600.0 + 2e4 * 2700.0, 1e-3 * 2e4 * 2700.0);
  EXPECT_GT(m.bal.QCSrcOut, 2.0 * 3600.0 * 40.0);
  EXPECT_NEAR(values_after(with.results, "QSrc=").back(), m.bal.QSrc, 1e-3 * 2700.0);
}

TEST(Sources, AnAbstractionBeyondTheStreamDriesItsCellAndIsNamedOnce) {
  Reach r = storm_reach();
  Forcing f;
  f.sources.push_back(source("pump", 1400.0, {0.0}, {-30.0}, {0.0}));
  const SourceRun run = run_with(r, f);
  ASSERT_EQ(run.status, 0) << run.error;
  EXPECT_EQ(run.warnings.find("warning: the abstraction \"pump\" takes more water than the "
                              "stream holds at t = "),
            0u)
      << run.warnings;
  EXPECT_EQ(lines_of(run.warnings).size(), 1u) << run.warnings;
  const Model& m = *run.m;
  const int cell = m.src.cell(1);
  // It takes what reaches it, about the 10 m3/s of the inlet, not the 30
  // m3/s asked for, and little passes it; the water balance counts what it
  // took.
  EXPECT_GT(m.src.Qnow(1), -11.0);
  EXPECT_LT(m.src.Qnow(1), -9.0);
  EXPECT_LT(m.flow.Q(cell + 1), 1.0);
  const Balances b = read_balances(run.results);
  EXPECT_LT(b.water_ER_R.back(), 0.1);
}

// 10 m3/s at C = 100 on a uniform reach, 2 m3/s at C = 1000 entering at 500
// m: below it Qu + Qs = 12 m3/s and (Qu Cu + Qs Cs)/(Qu + Qs) = 250 once
// steady. Dispersion, no decay, no exchange.
TEST(Sources, SteadyPointSourceGivesTheFullyMixedJump) {
  Reach r = flowing_channel(101, 2000.0, 1.1);
  r.NTr = 1;
  r.aL = 5.0;
  r.C = 100.0;
  r.schedule = {{10800.0, 1.1, 10.0, 100.0}};
  r.tout = {10800.0};
  Forcing f;
  f.sources.push_back(source("outfall", 500.0, {0.0}, {2.0}, {1000.0}));
  InTempFolder folder;  // the steady flow is saved in the working folder
  for (const bool steady : {false, true}) {
    SCOPED_TRACE(steady ? "steady flow" : "solved flow");
    const SourceRun run = run_with(r, f, steady);
    ASSERT_EQ(run.status, 0) << run.error;
    const Model& m = *run.m;
    const int at = m.src.cell(1);
    ASSERT_EQ(at, 26);  // 500 m starts cell 26 of 20 m cells
    const double Qu = 10.0, Cu = 100.0;  // the inlet's
    const double Q = Qu + 2.0, C = (Qu * Cu + 2.0 * 1000.0) / Q;
    // From ten cells below the source to ten above the outlet, whose last
    // node has no advection.
    for (int i = at + 10; i <= m.grid.M - 10; ++i) {
      SCOPED_TRACE(i);
      EXPECT_NEAR(m.flow.Q(i), Q, 1e-3 * Q);
      EXPECT_NEAR(m.nodes.CN(i), C, 1e-3 * C);
    }
  }
  // A discharge that changes in time cannot be frozen.
  f.sources[0].t = {0.0, 3600.0};
  f.sources[0].Q = {2.0, 4.0};
  f.sources[0].C = {1000.0, 1000.0};
  const SourceRun refused = run_with(r, f, true);
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
  const SourceRun replayed = run_with(r, stronger, false, "", record);
  const SourceRun solved = run_with(r, stronger);
  ASSERT_EQ(replayed.status, 0) << replayed.error;
  EXPECT_TRUE(replayed.replayed) << replayed.warnings;
  EXPECT_EQ(replayed.key, recorded.key);
  EXPECT_EQ(replayed.results, solved.results);
  EXPECT_EQ(replayed.obs, solved.obs);
  EXPECT_NE(solved.results, recorded.results);  // the strength shows in the transport

  // Another discharge, place or time moves water: another key, and the flow
  // is solved.
  Forcing changed = storm_sources();
  changed.sources[2].Q = {-2.5};
  const SourceRun other = run_with(r, changed, false, "", record);
  EXPECT_NE(other.key, recorded.key);
  EXPECT_FALSE(other.replayed);
  changed = storm_sources();
  changed.sources[0].x = 650.0;
  EXPECT_NE(run_with(r, changed).key, recorded.key);
  changed = storm_sources();
  changed.sources[0].t[1] = 1300.0;
  EXPECT_NE(run_with(r, changed).key, recorded.key);
  // Without sources the key does not depend on them at all.
  EXPECT_NE(run_with(r, Forcing{}).key, recorded.key);
  std::filesystem::remove_all(tmpl);
}

}  // namespace
}  // namespace quarno::test

