// The program around the model, run as a user runs it: the command line,
// scripting in shell loops, the full-precision CSV results, the quiet switch
// and the plausibility warnings. Without options everything stays as the
// plain batch program writes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "Results.hpp"
#include "RunDeck.hpp"
#include "run/Options.hpp"
#include "solver/ManningPower.hpp"

namespace quarno::test {
namespace {

namespace fs = std::filesystem;

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// The rows of a CSV file, each split at its commas; the header row first.
std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : lines_of(text)) {
    std::vector<std::string> fields;
    std::stringstream s(line);
    std::string field;
    while (std::getline(s, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    rows.push_back(fields);
  }
  return rows;
}

// The CSV value agrees with the printed one to the printed digits.
void expect_printed(double csv, double printed, int digits, const std::string& what) {
  EXPECT_LE(std::fabs(csv - printed), half_unit(csv, digits) * 1.000001)
      << what << ": CSV " << csv << ", printed " << printed;
}

TEST(CommandLine, HelpVersionAndBadOptionsTouchNothing) {
  ScratchFolder f("", "");
  EXPECT_EQ(f.sh("\"$Q\" --help >out.txt 2>err.txt"), 0);
  EXPECT_TRUE(has(f.get("out.txt"), "Usage: quarno [OPTIONS] [FOLDER]"));
  EXPECT_TRUE(has(f.get("out.txt"), "--csv"));
  EXPECT_EQ(f.sh("\"$Q\" --version >out.txt 2>err.txt"), 0);
  EXPECT_TRUE(std::regex_match(f.get("out.txt"), std::regex("quarno [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << f.get("out.txt");
  EXPECT_EQ(f.sh("\"$Q\" --bogus >out.txt 2>err.txt"), 1);
  EXPECT_EQ(f.get("err.txt"),
            "quarno: The following argument was not expected: --bogus\n"
            "Run 'quarno --help' for the options.\n");
  EXPECT_EQ(f.sh("\"$Q\" --threads 0 >out.txt 2>err.txt"), 1);
  EXPECT_TRUE(has(f.get("err.txt"), "--threads")) << f.get("err.txt");
  EXPECT_EQ(f.sh("\"$Q\" no-such-folder >out.txt 2>err.txt"), 1);
  EXPECT_TRUE(has(f.get("err.txt"), "no-such-folder")) << f.get("err.txt");
  for (const char* file : {"crOutput.txt", "crObsNode.txt", "crObsNode.csv"})
    EXPECT_FALSE(f.exists(file)) << file;
}

// Everything a plan holds, as one line: two plans compare field by field.
std::string describe(const RunPlan& p) {
  const RunSettings& s = p.settings;
  std::ostringstream t;
  t << p.csv << p.quiet << p.progress << p.no_pause << '|' << s.threads << '|'
    << pow_path_name(s.pow_path) << '|' << s.lift_capacities << s.steady_flow << '|'
    << s.record_interval << '|' << s.flow_state << '|' << p.save_state << '|' << p.initial_state
    << '|' << p.save_flow << '|' << p.replay_flow << '|' << p.flow_compression << '|'
    << p.start_date.set << ',' << p.start_date.seconds << ',' << p.start_date.nanos;
  return t.str();
}

TEST(CommandLine, OptionsResolveToOnePlan) {
  // Lines of options against the plan each must give (the changes to the
  // default plan): the switches, the environment's thread count, the saved
  // files named from the working directory, a saved steady flow freezing it.
  const std::string here = fs::current_path().string() + "/";
  const struct {
    std::vector<const char*> args;
    const char* threads_env;  // QUARNO_THREADS; nullptr: not set
    std::function<void(RunPlan&)> expect;
  } cases[] = {
      {{}, nullptr, [](RunPlan&) {}},
      {{}, "2", [](RunPlan& p) { p.settings.threads = 2; }},
      {{"--threads", "3"}, "2", [](RunPlan& p) { p.settings.threads = 3; }},
      {{"--csv", "--quiet", "--progress", "--no-pause", "--lift-capacities", "--record-interval",
        "15", "--pow-path", "scalar", "--start-date", "2024-06-01T00:00:01Z"},
       nullptr,
       [](RunPlan& p) {
         p.csv = p.quiet = p.progress = p.no_pause = p.settings.lift_capacities = true;
         p.settings.record_interval = 15.0;
         p.settings.pow_path = PowPath::scalar;
         p.start_date = {true, 1717200001, 0};
       }},
      {{"--flow-state", "f.csv"}, nullptr,
       [&](RunPlan& p) { p.settings.flow_state = here + "f.csv", p.settings.steady_flow = true; }},
      {{"--save-state", "s.txt", "--initial-state", "/abs/i.txt", "--save-flow", "d/r.qfr",
        "--replay-flow", "../p.qfr", "--flow-compression", "0"},
       nullptr,
       [&](RunPlan& p) {
         p.save_state = here + "s.txt", p.initial_state = "/abs/i.txt";
         p.save_flow = here + "d/r.qfr", p.replay_flow = here + "../p.qfr";
         p.flow_compression = 0;
       }},
  };
  unsetenv("QUARNO_POW_PATH");  // the processor's best path unless the options name one
  const char* kept = std::getenv("QUARNO_THREADS");
  const std::string kept_threads = kept != nullptr ? kept : "";
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"quarno"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    if (c.threads_env != nullptr) setenv("QUARNO_THREADS", c.threads_env, 1);
    else unsetenv("QUARNO_THREADS");
    Options got;
    EXPECT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), got), -1);
    RunPlan want;
    want.settings.threads = 1;
    want.settings.pow_path = best_pow_path();
    c.expect(want);
    EXPECT_EQ(describe(got.plan), describe(want)) << c.args.size() << " options";
  }
  if (kept != nullptr) setenv("QUARNO_THREADS", kept_threads.c_str(), 1);
  else unsetenv("QUARNO_THREADS");
}

TEST(CommandLine, RunsInTheNamedFolder) {
  const Reach r = small_reach();
  ScratchFolder f("", "");
  f.sh("mkdir deck");
  f.put("deck/crparam.txt", param_text(r));
  f.put("deck/crbicond.txt", bicond_text(r));
  EXPECT_EQ(f.sh("\"$Q\" deck </dev/null >console.txt 2>errors.txt"), 0) << f.get("errors.txt");
  EXPECT_TRUE(has(f.get("deck/crOutput.txt"), "RESULTS"));
  EXPECT_FALSE(f.exists("crOutput.txt"));
  EXPECT_FALSE(f.exists("deck/crObsNode.csv"));  // CSV only when asked for
}

TEST(CommandLine, AScriptsInputIsNeverConsumed) {
  // Four decks run from a list read line by line: every run must leave the
  // list alone, so all four run.
  const Reach r = small_reach();
  ScratchFolder f("", "");
  for (const char* d : {"a", "b", "c", "d"}) {
    f.sh(std::string("mkdir ") + d);
    f.put(std::string(d) + "/crparam.txt", param_text(r));
    f.put(std::string(d) + "/crbicond.txt", bicond_text(r));
  }
  f.put("list", "a\nb\nc\nd\n");
  EXPECT_EQ(f.sh("while read d; do (cd \"$d\" && \"$Q\" >console.txt); done <list"), 0);
  for (const char* d : {"a", "b", "c", "d"}) {
    EXPECT_TRUE(has(f.get(std::string(d) + "/crOutput.txt"), "RESULTS")) << d;
    EXPECT_EQ(f.get(std::string(d) + "/console.txt").substr(0, 11), "Time (sec)=") << d;
  }
}

TEST(CommandLine, ThePauseDoesNotWaitOnAnOpenPipe) {
  // Standard input is a pipe that never sends anything nor closes while the
  // run goes on: the run must end by itself.
  const Reach r = small_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  EXPECT_EQ(f.sh("mkfifo pipe; sleep 600 >pipe 2>/dev/null & writer=$!; "
                 "\"$Q\" <pipe >console.txt 2>errors.txt; s=$?; kill $writer; exit $s"),
            0);
  EXPECT_TRUE(has(f.get("console.txt"), "press ENTER to exit code\n"));
}

TEST(CommandLine, QuietDropsOnlyTheProgressLines) {
  const Reach r = small_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.run(), 0);
  const std::string console = f.get("console.txt"), results = f.get("crOutput.txt");
  ASSERT_TRUE(has(console, "Time (sec)="));
  EXPECT_EQ(f.sh("\"$Q\" --quiet --no-pause --progress </dev/null >quiet.txt 2>errors.txt"), 0);
  EXPECT_EQ(f.get("quiet.txt"), "press ENTER to exit code\n");
  EXPECT_EQ(f.get("crOutput.txt"), results);
}

TEST(CsvResults, AgreeWithTheFixedColumnFilesOnEveryGoldenDeck) {
  for (const auto& entry : fs::directory_iterator(QUARNO_TEST_DATA "/golden")) {
    const std::string dir = entry.path().string();
    SCOPED_TRACE(dir);
    ScratchFolder f(read_file(dir + "/crparam.txt"), read_file(dir + "/crbicond.txt"));
    ASSERT_EQ(f.sh("\"$Q\" --csv --no-pause </dev/null >console.txt 2>errors.txt; "
                   "echo \"exit $?\" >>console.txt"),
              0);
    // The fixed-column files and the console stay byte for byte as without options.
    const std::string results = f.get("crOutput.txt"), obs = f.get("crObsNode.txt");
    EXPECT_TRUE(results == read_file(dir + "/crOutput.txt"));
    EXPECT_TRUE(obs == read_file(dir + "/crObsNode.txt"));
    EXPECT_TRUE(f.get("console.txt") == read_file(dir + "/console.txt"));

    // Observation records: one CSV row per record and position.
    const auto obs_csv = csv_rows(f.get("crObsNode.csv"));
    ASSERT_FALSE(obs_csv.empty());
    EXPECT_EQ(obs_csv[0][0], "time_s");
    const std::size_t positions = obs_csv.size() > 1 ? std::stoul(obs_csv.back()[1]) : 0;
    if (positions > 0) {
      const std::vector<ObsRow> records = read_obs(obs, static_cast<int>(positions));
      ASSERT_EQ(obs_csv.size() - 1, records.size() * positions);
      std::size_t row = 1;
      for (const ObsRow& rec : records) {
        for (std::size_t j = 0; j < positions; ++j, ++row) {
          const auto& c = obs_csv[row];
          ASSERT_EQ(c.size(), 14u);
          expect_printed(std::stod(c[0]), rec.t, 5, "t");
          expect_printed(std::stod(c[3]), rec.h[j], 5, "h");
          expect_printed(std::stod(c[4]), rec.u[j], 5, "u");
          expect_printed(std::stod(c[5]), rec.Q[j], 5, "Q");
          expect_printed(std::stod(c[6]), rec.C[j], 5, "C");
          expect_printed(std::stod(c[7]), rec.Cb[j], 5, "Cb");
        }
      }
    }

    // Profiles: the cell rows of each block agree with the printed block.
    const auto prof_csv = csv_rows(f.get("crProfiles.csv"));
    std::vector<std::vector<std::string>> cell_rows;
    for (const auto& row : prof_csv)
      if (row.size() > 1 && row[1] == "cell") cell_rows.push_back(row);
    if (!cell_rows.empty()) {
      // The cells of a block are the rows with the first block's time.
      const auto cells = static_cast<std::size_t>(std::count_if(
          cell_rows.begin(), cell_rows.end(), [&](const auto& row) { return row[0] == cell_rows[0][0]; }));
      const std::vector<Profile> blocks = read_profiles(results, static_cast<int>(cells));
      ASSERT_EQ(cell_rows.size(), blocks.size() * cells);
      for (std::size_t b = 0; b < blocks.size(); ++b) {
        expect_printed(std::stod(cell_rows[b * cells][0]), blocks[b].t, 7, "Time");
        for (std::size_t i = 0; i < cells; ++i) {
          const auto& c = cell_rows[b * cells + i];
          expect_printed(std::stod(c[4]), blocks[b].h[i], 4, "h");
          expect_printed(std::stod(c[5]), blocks[b].u[i], 4, "u");
          expect_printed(std::stod(c[6]), blocks[b].q[i], 4, "q");
          expect_printed(std::stod(c[7]), blocks[b].Q[i], 4, "Q");
          expect_printed(std::stod(c[8]), blocks[b].C[i], 4, "C");
          expect_printed(std::stod(c[9]), blocks[b].Cb[i], 4, "Cb");
          expect_printed(std::stod(c[10]), blocks[b].Cs[i], 4, "Cs");
        }
      }
    }

    // Balances: every printed balance value, in order, is a CSV row.
    const auto bal_csv = csv_rows(f.get("crBalance.csv"));
    std::vector<double> printed;
    const std::regex value_line(R"(^ .*[A-Za-z0-9_]= *(\S+)$)");
    bool after_banner = false;
    for (const std::string& line : lines_of(results)) {
      after_banner = after_banner || line == "          RESULTS";
      std::smatch mt;
      if (after_banner && std::regex_match(line, mt, value_line))
        printed.push_back(read_number(mt[1]));
    }
    std::vector<double> csv_values;
    for (std::size_t k = 1; k < bal_csv.size(); ++k)
      if (bal_csv[k][1] != "inlet") csv_values.push_back(std::stod(bal_csv[k][3]));
    ASSERT_EQ(csv_values.size(), printed.size());
    for (std::size_t k = 0; k < printed.size(); ++k)
      expect_printed(csv_values[k], printed[k], 3, "balance value " + std::to_string(k));
  }
}

TEST(Warnings, UnitMistakesAreFlaggedWithoutChangingTheRun) {
  Reach r = small_reach();
  r.slope = 0.5;                               // a slope in percent
  r.schedule = {{10.0, 1.0, 10000.0, 0.0}};    // minutes, and L/s
  r.tout = {300.0};
  ScratchFolder f(param_text(r), bicond_text(r));
  EXPECT_EQ(f.run(), 0);
  EXPECT_EQ(f.get("errors.txt"),
            "warning: crparam.txt, line 14: Slope(1) = 0.5 is steeper than 0.1 m/m (a slope in "
            "percent? 0.2% is 0.002)\n"
            "warning: crparam.txt, line 15: Slope(2) = 0.5 is steeper than 0.1 m/m (a slope in "
            "percent? 0.2% is 0.002)\n"
            "warning: crbicond.txt, line 9: the inflow of schedule row 1 gives a mean velocity of "
            "1000 m/s, over 10 m/s (discharge in L/s instead of m3/s?)\n"
            "warning: crbicond.txt, line 13: TOut(1) = 300 s lies after the end of the schedule "
            "(10 s), so neither its profile nor any later one, the final one included, is written "
            "(schedule in minutes?)\n");

  // A decimal comma splits a value in two.
  ScratchFolder g(with_line(param_text(small_reach()), 14, "0. 0,001"), bicond_text(r));
  g.run();
  EXPECT_TRUE(has(g.get("errors.txt"),
                  "warning: crparam.txt, line 14: a comma between two digits separates two "
                  "values; the decimal sign is a point (0.002, not 0,002)\n"))
      << g.get("errors.txt");
}

TEST(Warnings, AShiftedLineIsTracedToItsCause) {
  const Reach r = small_reach();
  // A blank line before the slope table's heading.
  std::string param = param_text(r);
  param.insert(param.find("NSlope"), "\n");
  RunResult run = run_deck(param, bicond_text(r));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "crparam.txt, line 12: expected an integer for NSlope, found \"NSlope\"; a word "
            "where a value belongs means the lines have shifted: line 11, read as a heading "
            "line, is blank; is a line missing or extra above it?\n");
  // A width table with one row fewer than its count says.
  run = run_deck(with_line(param_text(r), 7, "3"), bicond_text(r));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "crparam.txt, line 11: expected a real number for XWidth(3), found \"NSlope\"; a "
            "word where a value belongs means the lines have shifted: check the count NWidth = "
            "3 on line 7 against the rows of its table, and look for a missing or extra line "
            "above\n");
}

}  // namespace
}  // namespace quarno::test
