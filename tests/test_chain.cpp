// Chained runs (--save-state, --initial-state): a record split into runs
// that continue each other gives the unsplit run's results to the last
// digit, and a state that does not fit is refused before any result file is
// touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "input/StateText.hpp"

namespace quarno::test {
namespace {

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// Transport on a loaded bed under a flood: resuspension at the peak,
// deposition at base flow, storage exchange, decay, groundwater inflow with
// solute; four schedule rows, five output times, three sites.
Reach flood_on_a_loaded_bed() {
  Reach r = flowing_channel(31, 1500.0, 0.97);
  r.NTr = 1;
  r.aL = 3.0;
  r.Re = 1e-4;
  r.TauCR = 4.0;
  r.Vs = 1e-4;
  r.f = 0.2;
  r.Alfa = 1e-4;
  r.Kdw = 1e-5;
  r.Kds = 1e-6;
  r.gw = 1e-4;
  r.cgw = 2.0;
  r.C = 1.0;
  r.Cb = 1e3;
  r.schedule = {{600.0, 0.97, 10.0, 1.0}, {1500.0, 1.5, 30.0, 5.0},
                {2400.0, 1.2, 20.0, 2.0}, {3600.0, 0.97, 10.0, 1.0}};
  r.tout = {600.0, 1200.0, 2400.0, 3000.0, 3600.0};
  r.xobs = {0.0, 700.0, 1500.0};
  return r;
}

// The deck cut after schedule row `rows`, with the output times up to its end.
Reach cut(Reach r, std::size_t rows) {
  r.schedule.resize(rows);
  const double end = r.schedule.back().T;
  std::vector<double> tout;
  for (double t : r.tout)
    if (t <= end) tout.push_back(t);
  r.tout = tout;
  return r;
}

// The leading number of a line (fields separated by blanks or commas), or
// NAN when the line does not start with one.
double leading_number(const std::string& line) {
  const char* p = line.c_str();
  char* end = nullptr;
  const double v = std::strtod(p, &end);
  return end != p && (*end == ' ' || *end == ',' || *end == '\0') ? v : NAN;
}

// The rows of an observation or CSV file whose time lies in (from, to].
std::string rows_between(const std::string& text, double from, double to) {
  std::string kept;
  for (const std::string& line : lines_of(text)) {
    const double t = leading_number(line);
    if (t > from && t <= to) kept += line + "\n";
  }
  return kept;
}

// The profile blocks of crOutput.txt, each with its balance report, whose
// time lies in (from, to].
std::string blocks_between(const std::string& results, double from, double to) {
  static const std::string kHead = "\n \nTime=";
  std::string kept;
  std::size_t at = results.find(kHead);
  while (at != std::string::npos) {
    const std::size_t next = results.find(kHead, at + 1);
    const double t = std::stod(results.substr(at + kHead.size(), 14));
    const std::size_t end = next == std::string::npos ? results.size() : next + 1;
    if (t > from && t <= to) kept += results.substr(at + 1, end - at - 1);
    at = next;
  }
  return kept;
}

std::string run_in(const std::string& dir, const std::string& options) {
  return "\"$Q\" --no-pause --csv " + options + " " + dir + " </dev/null >" + dir +
         ".out 2>" + dir + ".err";
}

// Sources that change in time across the links (an overflow, an abstraction)
// and die-off that follows the weather: a chain with a forcing file must give
// the unsplit run just the same.
const char kChainForcing[] =
    "[[source]]\nname = \"overflow\"\nx = 400.0\ntimes = [0.0, 900.0, 2000.0]\n"
    "discharge = [0.0, 2.0, 0.0]\nconcentration = [50.0, 50.0, 50.0]\n"
    "[[source]]\nname = \"intake\"\nx = 1000.0\nx_to = 1200.0\ntimes = [0.0]\n"
    "discharge = [-1.5]\nconcentration = [0.0]\n"
    "[environment]\ntimes = [0.0, 3600.0]\ntemperature_C = [14.0, 18.0]\n"
    "irradiance_W_per_m2 = [100.0, 600.0]\n"
    "[rates]\nx = [0.0]\ntheta_w = [1.07]\ntheta_b = [1.04]\nlight_alpha = [2.0e-7]\n";

class Chain : public ::testing::TestWithParam<const char*> {};

TEST_P(Chain, ThreeChainedRunsGiveTheUnsplitRunToTheLastDigit) {
  const Reach r = flood_on_a_loaded_bed();
  ScratchFolder f("", "");
  f.sh("mkdir whole one two three");
  const std::pair<const char*, Reach> decks[] = {
      {"whole", r}, {"one", cut(r, 1)}, {"two", cut(r, 3)}, {"three", r}};
  for (const auto& [dir, deck] : decks) {
    f.put(std::string(dir) + "/crparam.txt", param_text(deck));
    f.put(std::string(dir) + "/crbicond.txt", bicond_text(deck));
    if (*GetParam() != '\0') f.put(std::string(dir) + "/crforcing.toml", GetParam());
  }
  ASSERT_EQ(f.sh(run_in("whole", "")), 0) << f.get("whole.err");
  ASSERT_EQ(f.sh(run_in("one", "--save-state s1")), 0) << f.get("one.err");
  ASSERT_EQ(f.sh(run_in("two", "--initial-state s1 --save-state s2")), 0) << f.get("two.err");
  ASSERT_EQ(f.sh(run_in("three", "--initial-state s2")), 0) << f.get("three.err");
  EXPECT_TRUE(has(f.get("s2"), "\nt_s,2400\n"));

  // Each link holds exactly the unsplit run's records and blocks of its span.
  const struct {
    const char* dir;
    double from, to;
  } links[] = {{"one", -1.0, 600.0}, {"two", 600.0, 2400.0}, {"three", 2400.0, 3600.0}};
  for (const auto& link : links) {
    SCOPED_TRACE(link.dir);
    const std::string dir = std::string(link.dir) + "/";
    for (const char* file : {"crObsNode.txt", "crObsNode.csv", "crProfiles.csv", "crBalance.csv"}) {
      const std::string whole = rows_between(f.get(std::string("whole/") + file), link.from, link.to);
      EXPECT_GT(lines_of(whole).size(), 5u) << file;
      EXPECT_EQ(rows_between(f.get(dir + file), -1.0, 1e9), whole) << file;
    }
    const std::string blocks = blocks_between(f.get("whole/crOutput.txt"), link.from, link.to);
    EXPECT_TRUE(has(blocks, "SOLUTE BALANCE: BED SEDIMENT"));
    EXPECT_EQ(blocks_between(f.get(dir + "crOutput.txt"), -1.0, 1e9), blocks);
  }
  // The flood moved the bed both ways, so the states carried real sums.
  const std::string balance = f.get("whole/crBalance.csv");
  if (*GetParam() != '\0') {  // and the forcing file was at work in the links
    EXPECT_TRUE(has(balance, ",water,QSrc,"));
    EXPECT_TRUE(has(f.get("two/crObsNode.csv"), ",k_water_per_s,"));
  }
  // Deposition at base flow before the first split, resuspension by the
  // flood before the second.
  for (const char* term : {"\n600,bed-sediment solute,CDepos,", "\n2400,bed-sediment solute,CResus,"}) {
    const std::size_t at = balance.find(term);
    ASSERT_NE(at, std::string::npos) << term;
    EXPECT_GT(std::stod(balance.substr(at + std::string(term).size())), 1.0) << term;
  }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutForcing, Chain, ::testing::Values("", kChainForcing));

// A link whose end has no exact single-precision value (1500.2 s ends the
// loop at 1500.199951171875 s) and is an output time: saving its state, it
// writes that profile and balance where it ended, and hands on the state the
// loop left, so that the next link still writes the block of 1500.2 s when
// it reaches it, as the unsplit run does. Without --save-state the block is
// missed with a warning, as before.
TEST(ChainLink, EndingJustShortOfItsLastOutputTimeWritesItsBlockThere) {
  Reach r = flood_on_a_loaded_bed();
  r.schedule[1].T = 1500.2;
  r.tout = {600.0, 1200.0, 1500.2, 2400.0, 3600.0};
  ScratchFolder f("", "");
  f.sh("mkdir whole one plain two");
  const std::pair<const char*, Reach> decks[] = {
      {"whole", r}, {"one", cut(r, 2)}, {"plain", cut(r, 2)}, {"two", r}};
  for (const auto& [dir, deck] : decks) {
    f.put(std::string(dir) + "/crparam.txt", param_text(deck));
    f.put(std::string(dir) + "/crbicond.txt", bicond_text(deck));
  }
  ASSERT_EQ(f.sh(run_in("whole", "")), 0) << f.get("whole.err");
  ASSERT_EQ(f.sh(run_in("one", "--save-state s1")), 0) << f.get("one.err");
  ASSERT_EQ(f.sh(run_in("plain", "")), 0) << f.get("plain.err");
  ASSERT_EQ(f.sh(run_in("two", "--initial-state s1")), 0) << f.get("two.err");
  const double end = 1500.199951171875, split = 1500.2;
  EXPECT_EQ(f.get("one.err"), "");
  EXPECT_EQ(f.get("plain.err"), "warning: the run ended at t = 1500.199951171875 s; the profile "
                                "and balance of the output time 1500.2 s were not written.\n");
  const std::string state = f.get("s1");
  EXPECT_TRUE(has(state, "\noutput_index,3\n"));  // 1500.2 s still to be written
  for (const char* file : {"crObsNode.txt", "crObsNode.csv", "crProfiles.csv", "crBalance.csv"}) {
    SCOPED_TRACE(file);
    const std::string one = rows_between(f.get(std::string("one/") + file), -1.0, end - 1e-9);
    const std::string whole = f.get(std::string("whole/") + file);
    // Up to the end, link one is the run without a saved state and the whole run.
    EXPECT_EQ(one, rows_between(f.get(std::string("plain/") + file), -1.0, 1e9));
    EXPECT_EQ(one, rows_between(whole, -1.0, end));
    // After the split, link two is the whole run to the last digit.
    const std::string after = rows_between(whole, split, 1e9);
    EXPECT_GT(lines_of(after).size(), 5u);
    EXPECT_EQ(rows_between(f.get(std::string("two/") + file), -1.0, 1e9), after);
  }
  // The end block: profile rows and balance terms at the end time, its
  // storage that of the whole run's block just after the split.
  const std::string end_rows =
      rows_between(f.get("one/crProfiles.csv") + f.get("one/crBalance.csv"), end - 1e-9, 1e9);
  EXPECT_GT(lines_of(end_rows).size(), 40u);
  for (const std::string& line : lines_of(end_rows))
    EXPECT_EQ(line.rfind("1500.199951171875,", 0), 0u) << line;
  auto storages = [&](const std::string& file) {  // Wfin of each block
    std::vector<std::string> v;
    for (const std::string& line : lines_of(f.get(file)))
      if (has(line, ",water,Wfin,")) v.push_back(line.substr(line.rfind(',') + 1));
    return v;
  };
  const std::vector<std::string> one = storages("one/crBalance.csv"),
                                 whole = storages("whole/crBalance.csv");
  ASSERT_TRUE(one.size() == 3 && whole.size() >= 3);
  EXPECT_NEAR(std::stod(one[2]), std::stod(whole[2]), 1e-3 * std::stod(whole[2]));
  // The state keeps the final storage of the last block the loop wrote.
  EXPECT_NE(one[2], one[1]);
  EXPECT_TRUE(has(state, "\nWfin," + one[1] + "\n"));
}

// The state with field `column` (0: the name or row number) of its first
// line that starts with `line` after `after` set to `value`, and its
// checksum made again: a state edited on purpose that passes every check of
// form.
std::string edited(const std::string& state, const std::string& after, const std::string& line,
                   int column, const std::string& value) {
  std::string text = state;
  std::size_t at = text.find("\n" + line, text.find(after)) + 1;
  for (int c = 0; c < column; ++c) at = text.find(',', at) + 1;
  const std::size_t end = std::min(text.find(',', at), text.find('\n', at));
  text.replace(at, end - at, value);
  const std::size_t sum = text.rfind("\nchecksum,") + 1;
  KeyHash hash;
  hash.add(text.data(), sum);
  return text.substr(0, sum) + "checksum," + hash.hex() + "\n";
}

TEST(ChainState, AStateThatDoesNotFitIsRefusedAndNoResultIsTouched) {
  const Reach r = flood_on_a_loaded_bed();
  ScratchFolder f(param_text(cut(r, 1)), bicond_text(cut(r, 1)));
  ASSERT_EQ(f.sh("\"$Q\" --no-pause --save-state good.state </dev/null >/dev/null 2>&1"), 0);
  const std::string good = f.get("good.state");
  const std::size_t wini = good.find("\nWini,") + 8;
  std::string damaged = good;
  damaged[wini] = damaged[wini] == '7' ? '8' : '7';
  std::string version2 = good;
  version2.replace(good.find("version 1"), 9, "version 2");
  Reach more_nodes = r, wider = r;
  more_nodes.Nfdn = 41;
  wider.width1 = 12.0;
  f.sh("mkdir folder");
  const struct Case {
    const char* what;
    std::string state;   // written to the state file, when not empty
    Reach deck;
    const char* options;
    const char* message;
  } cases[] = {
      {"a changed digit", damaged, r, "", "the checksum does not match"},
      {"cut short", first_lines(good, 30), r, "", "cut short"},
      {"another version", version2, r, "", "version '2'; this program reads version 1"},
      {"another grid", good, more_nodes, "", "saved for another deck"},
      {"another width", good, wider, "", "saved for another deck"},
      {"no file", "", r, "", "cannot read the saved run state (No such file"},
      {"a folder", "", r, "", "not a regular file"},
      {"a frozen flow", good, r, "--steady-flow", "cannot freeze its flow"},
      {"nothing left to run", good, cut(r, 1), "", "at or past the end of this deck"},
      // Values out of their ranges, the checksum made again.
      {"a time before the start", edited(good, "", "t_s,", 1, "-1e9"), r, "",
       "t_s must be at least 0, found '-1e9'"},
      {"a record clock far back", edited(good, "", "record_clock_s,", 1, "-1e300"), r, "",
       "record_clock_s must be at least 0"},
      {"a record clock past the time", edited(good, "", "record_clock_s,", 1, "1e9"), r, "",
       "record_clock_s must not exceed t_s (600 s)"},
      {"a step of zero", edited(good, "", "dt_s,", 1, "0"), r, "", "dt_s must be above 0"},
      {"an inlet depth below zero", edited(good, "", "h0,", 1, "-0.5"), r, "",
       "h0 must be at least 0"},
      {"no initial storage", edited(good, "", "Wini,", 1, "0"), r, "", "Wini must be above 0"},
      {"a record flag of 2", edited(good, "", "record_flag,", 1, "2"), r, "",
       "record_flag must be 0 or 1"},
      {"a cell's depth below zero", edited(good, "\ncells,", "3,", 1, "-0.05"), r, "",
       "h_m must be at least 0, found '-0.05'"},
      {"a node's old area below zero", edited(good, "\nnodes,", "5,", 9, "-1"), r, "",
       "An_old_m2 must be at least 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = std::string(c.what) == "a folder" ? "folder" : "x.state";
    f.sh("rm -f x.state crObsNode.txt");
    if (!c.state.empty()) f.put(name, c.state);
    f.put("crparam.txt", param_text(c.deck));
    f.put("crbicond.txt", bicond_text(c.deck));
    f.put("crOutput.txt", "earlier results\n");
    EXPECT_EQ(f.sh("\"$Q\" --no-pause --initial-state " + name + " " + c.options +
                   " </dev/null >out.txt 2>err.txt"),
              1);
    const std::string errors = f.get("err.txt");
    EXPECT_TRUE(has(errors, name) && has(errors, c.message)) << errors;
    EXPECT_EQ(lines_of(errors).size(), 1u) << errors;
    if (!c.state.empty()) {
      EXPECT_EQ(f.get(name), c.state);
    }
    EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");
    EXPECT_FALSE(f.exists("crObsNode.txt"));
  }
  // A run that fails saves no state.
  f.put("crbicond.txt", with_line(bicond_text(r), 2, "  1"));
  EXPECT_EQ(f.sh("\"$Q\" --no-pause --save-state failed.state </dev/null >/dev/null 2>&1"), 1);
  EXPECT_FALSE(f.exists("failed.state"));
}

}  // namespace
}  // namespace quarno::test
