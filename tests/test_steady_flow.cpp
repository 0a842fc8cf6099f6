// Runs on a frozen steady flow (--steady-flow, --flow-state): the state the
// flow converges to, transport on it against the full run, reuse of a saved
// state, and the runs it must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "Results.hpp"
#include "RunDeck.hpp"
#include "model/Errors.hpp"
#include "run/SteadyFlow.hpp"

namespace quarno::test {
namespace {

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

struct SavedFlow {
  std::string key;
  double change = NAN;
  std::vector<double> h, q;
};

// The four fields of a state row: cell, x_m, h_m, q_m2_per_s.
std::vector<std::string> row_fields(const std::string& line) {
  std::vector<std::string> fields(4);
  std::stringstream in(line);
  for (std::string& field : fields) std::getline(in, field, ',');
  return fields;
}

SavedFlow read_saved_flow(const std::string& text) {
  SavedFlow s;
  bool rows = false;
  for (const std::string& line : lines_of(text)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("key,", 0) == 0) s.key = line.substr(4);
    if (line.rfind("largest_relative_change,", 0) == 0) s.change = std::stod(line.substr(24));
    if (rows) {
      const std::vector<std::string> f = row_fields(line);
      s.h.push_back(std::stod(f[2]));
      s.q.push_back(std::stod(f[3]));
    }
    if (line == "cell,x_m,h_m,q_m2_per_s") rows = true;
  }
  return s;
}

// A tracer reach: 5 m3/s in a channel 8 m wide on a slope of 0.002 with
// groundwater inflow, starting from a rough guess of the depth, a
// concentration step at the inlet after 20 minutes, dispersion and a
// storage zone.
Reach tracer_reach() {
  Reach r = flowing_channel(41, 800.0, 0.6);
  r.width0 = r.width1 = 8.0;
  r.slope = 0.002;
  r.Q = 5.0;
  r.gw = 2e-4;
  r.cgw = 1.0;
  r.NTr = 1;
  r.aL = 2.0;
  r.f = 0.3;
  r.Alfa = 2e-4;
  r.C = 1.0;
  r.schedule = {{1200.0, 0.6, 5.0, 1.0}, {3000.0, 0.6, 5.0, 9.0}, {4800.0, 0.6, 5.0, 1.0}};
  r.tout = {1800.0, 3600.0};
  r.xobs = {200.0, 500.0, 780.0};
  return r;
}

std::string run_in(const std::string& options) {
  return "\"$Q\" --no-pause " + options + " </dev/null >console.txt 2>errors.txt";
}

TEST(SteadyFlow, ConvergesToTheDischargeOfInletAndGroundwaterAndStaysThere) {
  const Reach r = tracer_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh(run_in("--steady-flow")), 0) << f.get("errors.txt");
  EXPECT_TRUE(has(f.get("console.txt"), "Steady flow: ")) << f.get("console.txt");
  EXPECT_TRUE(has(f.get("console.txt"), "saved in crSteadyFlow.csv"));
  const SavedFlow s = read_saved_flow(f.get("crSteadyFlow.csv"));
  ASSERT_EQ(s.h.size(), 40u);
  EXPECT_LT(s.change, 1e-12);
  EXPECT_EQ(s.key.size(), 16u);
  // Steady: the discharge of each cell is the inflow plus the groundwater
  // that entered above the cell's centre, to far better than the scheme's
  // truncation error.
  const double dx = 20.0;
  for (std::size_t i = 0; i < s.q.size(); ++i) {
    const double Q = 5.0 + 2e-4 * dx * (static_cast<double>(i) + 0.5);
    EXPECT_NEAR(s.q[i] * 8.0, Q, 2e-3 * Q) << "cell " << i + 1;
    EXPECT_GT(s.h[i], 0.3);
    EXPECT_LT(s.h[i], 1.0);
  }
  // The frozen flow is the same at every output time, and the water balance
  // closes: in = out + storage change, the storage constant.
  const std::string results = f.get("crOutput.txt");
  const std::vector<Profile> p = read_profiles(results, 40);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].h, p[2].h);
  EXPECT_EQ(p[0].q, p[2].q);
  // With groundwater the balance counts the upwelling node by node while
  // the flow takes it cell by cell, a steady offset that must not grow.
  const Balances b = read_balances(results);
  ASSERT_EQ(b.water_ER_R.size(), 3u);
  EXPECT_EQ(b.water_ER_R[0], b.water_ER_R[2]);
  Reach closed = r;
  closed.gw = 0.0;
  ScratchFolder g(param_text(closed), bicond_text(closed));
  ASSERT_EQ(g.sh(run_in("--steady-flow")), 0) << g.get("errors.txt");
  for (double e : read_balances(g.get("crOutput.txt")).water_ER_R) EXPECT_LT(e, 1e-4);  // percent
}

TEST(SteadyFlow, TransportOnTheFrozenFlowFollowsTheFullRun) {
  // Started at the converged depths, the full run keeps its flow steady, so
  // the two runs differ only by round-off in the flow: the concentrations
  // must agree closely at every record of both.
  Reach r = tracer_reach();
  ScratchFolder first(param_text(r), bicond_text(r));
  ASSERT_EQ(first.sh(run_in("--steady-flow")), 0) << first.get("errors.txt");
  const SavedFlow s = read_saved_flow(first.get("crSteadyFlow.csv"));
  r.flow_rows.clear();
  for (std::size_t i = 0; i < s.h.size(); ++i)
    r.flow_rows.push_back({20.0 * (static_cast<double>(i) + 0.5), s.h[i], s.q[i] * 8.0});
  ScratchFolder full(param_text(r), bicond_text(r)), frozen(param_text(r), bicond_text(r));
  ASSERT_EQ(full.sh(run_in("")), 0) << full.get("errors.txt");
  ASSERT_EQ(frozen.sh(run_in("--steady-flow")), 0) << frozen.get("errors.txt");
  const std::vector<ObsRow> a = read_obs(full.get("crObsNode.txt"), 3);
  const std::vector<ObsRow> c = read_obs(frozen.get("crObsNode.txt"), 3);
  ASSERT_GT(a.size(), 70u);
  ASSERT_GT(c.size(), 70u);
  // Records fall on whole outer steps, which differ a little between the
  // runs: compare at the frozen run's record times, interpolating the full
  // run linearly.
  double largest = 0.0;
  std::size_t j = 0;
  for (const ObsRow& rc : c) {
    while (j + 2 < a.size() && a[j + 1].t < rc.t) ++j;
    const double w = std::clamp((rc.t - a[j].t) / (a[j + 1].t - a[j].t), 0.0, 1.0);
    for (int k = 0; k < 3; ++k) {
      const double ca = a[j].C[k] + w * (a[j + 1].C[k] - a[j].C[k]);
      largest = std::max(largest, std::fabs(ca - rc.C[k]));
    }
  }
  EXPECT_LT(largest, 0.01 * 8.0) << "largest difference of C, against a rise of 8";
  EXPECT_GT(c.back().C[0], 1.05);  // the pulse has passed and left its tail
}

TEST(SteadyFlow, ASavedStateIsReusedForTheSameFlowAndComputedAgainForAnother) {
  Reach r = tracer_reach();
  ScratchFolder f("", "");
  f.sh("mkdir a b c d");
  for (const char* dir : {"a", "b"}) {
    f.put(std::string(dir) + "/crparam.txt", param_text(r));
    f.put(std::string(dir) + "/crbicond.txt", bicond_text(r));
  }
  ASSERT_EQ(f.sh("\"$Q\" --no-pause --csv --steady-flow a </dev/null >a.txt 2>a.err"), 0)
      << f.get("a.err");
  // Named relative to where the program starts, not to the run's folder.
  ASSERT_EQ(f.sh("\"$Q\" --no-pause --csv --flow-state a/crSteadyFlow.csv b </dev/null "
                 ">b.txt 2>b.err"),
            0)
      << f.get("b.err");
  EXPECT_TRUE(has(f.get("b.txt"), "Steady flow from ")) << f.get("b.txt");
  EXPECT_FALSE(f.exists("b/crSteadyFlow.csv"));
  for (const char* file : {"crOutput.txt", "crObsNode.txt", "crObsNode.csv"})
    EXPECT_EQ(f.get(std::string("a/") + file), f.get(std::string("b/") + file)) << file;

  // The transport parameters do not enter the flow: the state is reused.
  Reach other_transport = r;
  other_transport.aL = 7.0;
  f.put("c/crparam.txt", param_text(other_transport));
  f.put("c/crbicond.txt", bicond_text(other_transport));
  ASSERT_EQ(f.sh("cd c && \"$Q\" --no-pause --flow-state ../a/crSteadyFlow.csv </dev/null "
                 ">../c.txt 2>../c.err"),
            0);
  EXPECT_TRUE(has(f.get("c.txt"), "Steady flow from ")) << f.get("c.txt");
  EXPECT_EQ(f.get("c.err"), "");

  // A rougher channel has another steady flow: noted, computed, saved, and
  // the same as computing it outright.
  Reach rough = r;
  rough.rough = 0.05;
  f.put("d/crparam.txt", param_text(rough));
  f.put("d/crbicond.txt", bicond_text(rough));
  ASSERT_EQ(f.sh("\"$Q\" --no-pause --flow-state a/crSteadyFlow.csv d </dev/null >d.txt "
                 "2>d.err"),
            0);
  EXPECT_TRUE(has(f.get("d.err"), "note: ")) << f.get("d.err");
  EXPECT_TRUE(has(f.get("d.err"), "computing the steady flow again"));
  EXPECT_TRUE(has(f.get("d.txt"), "saved in crSteadyFlow.csv"));
  EXPECT_NE(read_saved_flow(f.get("d/crSteadyFlow.csv")).key,
            read_saved_flow(f.get("a/crSteadyFlow.csv")).key);
  const std::string d_results = f.get("d/crOutput.txt");
  ASSERT_EQ(f.sh("cd d && \"$Q\" --no-pause --steady-flow </dev/null >/dev/null 2>&1"), 0);
  EXPECT_EQ(f.get("d/crOutput.txt"), d_results);
}

TEST(SteadyFlow, RefusesAChangingScheduleAndDamagedOrMissingStates) {
  Reach r = tracer_reach();
  r.schedule[1].Q = 6.0;
  {
    ScratchFolder f(param_text(r), bicond_text(r));
    EXPECT_EQ(f.sh(run_in("--steady-flow")), 1);
    EXPECT_TRUE(has(f.get("errors.txt"),
                    "crbicond.txt: --steady-flow needs one discharge and one inlet depth "
                    "throughout the schedule, but row 2 has h = 0.6 m and Q = 6 m3/s"))
        << f.get("errors.txt");
    EXPECT_FALSE(f.exists("crSteadyFlow.csv"));
    EXPECT_EQ(f.sh(run_in("")), 0);  // without the option the deck runs
  }
  // A first row that ends at time 0 is skipped by the run, and so here.
  r = tracer_reach();
  r.schedule.insert(r.schedule.begin(), Row{0.0, 0.3, 1.0, 1.0});
  {
    ScratchFolder g(param_text(r), bicond_text(r));
    EXPECT_EQ(g.sh(run_in("--steady-flow")), 0) << g.get("errors.txt");
    const SavedFlow s = read_saved_flow(g.get("crSteadyFlow.csv"));
    ASSERT_FALSE(s.q.empty());
    EXPECT_NEAR(s.q[0] * 8.0, 5.0, 0.05);  // the discharge of the rows that run
  }
  r = tracer_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh(run_in("--steady-flow")), 0);
  const std::string saved = f.get("crSteadyFlow.csv");
  f.put("cut.csv", first_lines(saved, 20));
  EXPECT_EQ(f.sh(run_in("--flow-state cut.csv")), 1);
  EXPECT_TRUE(has(f.get("errors.txt"), "cut.csv: the file ends before the last cell"))
      << f.get("errors.txt");
  f.put("bad.csv", with_line(saved, 15, "6,110,0.5,x"));
  EXPECT_EQ(f.sh(run_in("--flow-state bad.csv")), 1);
  EXPECT_TRUE(has(f.get("errors.txt"), "bad.csv, line 15: q_m2_per_s is not a number: 'x'"))
      << f.get("errors.txt");
  EXPECT_EQ(f.sh(run_in("--flow-state none.csv")), 1);
  EXPECT_TRUE(has(f.get("errors.txt"), "none.csv: cannot read the saved flow state"))
      << f.get("errors.txt");
}

// The rows of a saved state, each passed through `change` (cell, h, q).
template <class Change>
std::string with_rows_changed(const std::string& saved, Change change) {
  std::string out;
  bool rows = false;
  for (const std::string& line : lines_of(saved)) {
    if (!rows) {
      out += line + "\n";
      rows = line == "cell,x_m,h_m,q_m2_per_s";
      continue;
    }
    const std::vector<std::string> f = row_fields(line);
    double hv = std::stod(f[2]), qv = std::stod(f[3]);
    change(std::stoi(f[0]), hv, qv);
    char row[128];
    std::snprintf(row, sizeof row, "%s,%s,%.17g,%.17g\n", f[0].c_str(), f[1].c_str(), hv, qv);
    out += row;
  }
  return out;
}

TEST(SteadyFlow, ASavedStateIsUsedOnlyWhenItIsStillSteadyForTheDeck) {
  // Each state below has the deck's own key. One that is not steady here is
  // noted and the steady flow computed again: the run's files are then those
  // of the run that computed it, byte for byte. A damaged one ends the run
  // before any result file is touched.
  const Reach r = tracer_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh(run_in("--steady-flow")), 0) << f.get("errors.txt");
  const std::string saved = f.get("crSteadyFlow.csv");
  const std::string results = f.get("crOutput.txt"), obs = f.get("crObsNode.txt");
  const std::string key_line = "key," + read_saved_flow(saved).key;
  std::string escapes = saved;
  escapes.replace(escapes.find(key_line), key_line.size(),
                  "key,\x1b[2J\x1b]0;owned\x07" + std::string(900000, 'k'));
  struct Case {
    const char* what;
    std::string state;
    int status;
    std::string message;  // standard error, whole
  };
  const std::string not_steady = "does not hold a steady flow of this deck";
  const std::vector<Case> cases = {
      {"no discharge anywhere", with_rows_changed(saved, [](int, double&, double& q) { q = 0; }),
       0, not_steady},
      {"discharges scaled by 0.7",
       with_rows_changed(saved, [](int, double&, double& q) { q *= 0.7; }), 0, not_steady},
      {"a depth of 1e20",
       with_rows_changed(saved, [](int i, double& h, double&) { h = i == 7 ? 1e20 : h; }), 0,
       not_steady},
      {"a depth of 2.1e9",
       with_rows_changed(saved, [](int i, double& h, double&) { h = i == 7 ? 2.1e9 : h; }), 0,
       not_steady},
      {"a depth of 2.2e16: the step controller would take millions of inner steps",
       with_rows_changed(saved, [](int i, double& h, double&) { h = i == 7 ? 2.2e16 : h; }), 0,
       "one outer step from it fails or takes more than 100 inner steps"},
      {"a key of escape sequences", escapes, 1,
       "state.csv, line 4: the key must be 16 hexadecimal digits, found "
       "'\\x1B[2J\\x1B]0;owned\\x07kkkkkkkkkkkkkk...'\n"},
      {"escape sequences in a row", with_line(saved, 14, "5,90,0.5,\x1b[31m\x9b"), 1,
       "state.csv, line 14: q_m2_per_s is not a number: '\\x1B[31m\\x9B'\n"},
      {"a depth of 0",
       with_rows_changed(saved, [](int i, double& h, double&) { h = i == 3 ? 0.0 : h; }), 1,
       "state.csv, line 12: the depth must be positive, found '0'\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    f.put("state.csv", c.state);
    f.put("crSteadyFlow.csv", "earlier state\n");
    f.put("crOutput.txt", "earlier results\n");
    EXPECT_EQ(f.sh("timeout -s KILL 120 " + run_in("--flow-state state.csv")), c.status)
        << "137: killed after 120 s";
    const std::string errors = f.get("errors.txt");
    if (c.status == 0) {
      EXPECT_TRUE(has(errors, "note: ") && has(errors, c.message)) << errors;
      EXPECT_TRUE(has(errors, "computing the steady flow again.\n")) << errors;
      EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
      EXPECT_EQ(f.get("crSteadyFlow.csv"), saved);
      EXPECT_EQ(f.get("crOutput.txt"), results);
      EXPECT_EQ(f.get("crObsNode.txt"), obs);
    } else {
      EXPECT_EQ(errors, f.dir + "/" + c.message);
      EXPECT_EQ(f.get("crSteadyFlow.csv"), "earlier state\n");
      EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");
    }
  }
}

TEST(SteadyFlow, HeunStepsReachTheStateOfTheRunsOwnSteps) {
  // From the same state (the end of a short run), the march with Heun's steps
  // first and the march with the run's own steps only end in the same
  // steady state, to well within what the tolerance allows.
  // A run of 10 s leaves the flow near its rough initial guess.
  Reach r = tracer_reach();
  r.schedule = {{10.0, 0.6, 5.0, 1.0}};
  r.tout = {10.0};
  InProcessRun a = run_in_process(r), b = run_in_process(r);
  ASSERT_EQ(a.status, 0) << a.error;
  ASSERT_EQ(b.status, 0) << b.error;
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  const SteadyLimits limits{1e-12, 1e9, 10000000};
  march_to_steady_flow_with_run_steps(*a.model, out, limits);
  march_to_steady_flow(*b.model, out, limits);
  EXPECT_LT(a.model->steady.change, 1e-12);
  EXPECT_LT(b.model->steady.change, 1e-12);
  EXPECT_EQ(a.model->steady.heun_steps, 0);
  // Heun steps nearly all the way, the run's own steps at the end.
  EXPECT_GT(b.model->steady.heun_steps, b.model->steady.steps / 2);
  EXPECT_LT(b.model->steady.heun_steps, b.model->steady.steps);
  const Array<double>& ya = a.model->flow.y;
  const Array<double>& yb = b.model->flow.y;
  double largest = 0.0;
  for (int i = 1; i <= a.model->grid.n; ++i)
    largest = std::max(largest, std::fabs(ya(i) - yb(i)) / std::fabs(ya(i)));
  EXPECT_LT(largest, 1e-9);
  EXPECT_GT(largest, 0.0);  // the two paths are not the same computation
}

TEST(SteadyFlow, TheMarchGivesUpAtItsBound) {
  InProcessRun run = run_in_process(small_reach());
  ASSERT_EQ(run.status, 0) << run.error;
  Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
  try {
    march_to_steady_flow(*run.model, out, SteadyLimits{1e-12, 1e9, 3});
    FAIL() << "no failure";
  } catch (const NumericalFailure& e) {
    EXPECT_TRUE(has(e.what(), "The flow did not reach a steady state within")) << e.what();
    EXPECT_TRUE(has(e.what(), "after 3 steps")) << e.what();
  }
}

}  // namespace
}  // namespace quarno::test
