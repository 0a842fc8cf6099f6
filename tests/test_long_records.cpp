// Decks larger than any fixed table size: long schedules, many output times,
// many sites, fine grids and long tables run through the real program, and
// their files have the shape their counts give.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"

namespace quarno::test {
namespace {

struct Case {
  const char* what;
  int nodes, segment_rows, initial_rows, schedule_rows, output_times, sites;
};

// A flowing channel with nodes 5 m apart for 600 s, its tables, schedule,
// output times and sites spread evenly.
Reach long_deck(const Case& c) {
  const double L = 5.0 * (c.nodes - 1), end = 600.0;
  Reach r = flowing_channel(c.nodes, L, 1.0);
  auto spread = [&](int rows, double a, double b) {
    std::vector<TableRow> t;
    for (int k = 0; k < rows; ++k) t.push_back({L * k / (rows - 1), a, b});
    return t;
  };
  if (c.segment_rows > 2) {
    r.slope_rows = spread(c.segment_rows, 0.001, 0.0);
    r.rough_rows = spread(c.segment_rows, 0.03, 0.0);
  }
  if (c.initial_rows > 2) r.flow_rows = spread(c.initial_rows, 1.0, 10.0);
  r.schedule.clear();
  for (int k = 1; k <= c.schedule_rows; ++k)
    r.schedule.push_back({end * k / c.schedule_rows, 1.0, 10.0 + (k % 7), 0.0});
  r.tout.clear();
  for (int k = 1; k <= c.output_times; ++k) r.tout.push_back(end * k / c.output_times);
  for (int j = 1; j <= c.sites; ++j) r.xobs.push_back((j - 0.5) * L / c.sites);
  return r;
}

int fields(const std::string& line) {
  std::istringstream s(line);
  std::string f;
  int n = 0;
  while (s >> f) ++n;
  return n;
}

TEST(LongRecords, DecksPastTheOldTableSizesRunAndTheirFilesHaveTheirShape) {
  const Case cases[] = {
      {"2,001 nodes", 2001, 2, 2, 3, 2, 1},
      {"120 segment rows and 1,200 initial rows", 201, 120, 1200, 3, 2, 1},
      {"1,200 schedule rows and 150 output times", 11, 2, 2, 1200, 150, 2},
      {"12 sites", 11, 2, 2, 3, 2, 12},
      {"25 sites", 11, 2, 2, 3, 2, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reach r = long_deck(c);
    ScratchFolder f(param_text(r), bicond_text(r));
    // A plain run keeps the standard capacities and refuses the deck.
    ASSERT_EQ(f.sh("\"$Q\" </dev/null >console.txt 2>errors.txt"), 1);
    EXPECT_NE(f.get("errors.txt").find(" must be at most "), std::string::npos)
        << f.get("errors.txt");
    ASSERT_EQ(f.sh("\"$Q\" --lift-capacities --csv </dev/null >console.txt 2>errors.txt"), 0)
        << f.get("errors.txt");
    EXPECT_EQ(f.get("errors.txt"), "");
    const std::string results = f.get("crOutput.txt");
    EXPECT_EQ(values_after(results, "NTInt="), std::vector<double>{double(c.schedule_rows)});
    EXPECT_EQ(values_after(results, "NInCW="), std::vector<double>{double(c.initial_rows)});

    // One complete profile of every cell at every output time.
    const std::vector<Profile> profiles = read_profiles(results, c.nodes - 1);
    ASSERT_EQ(profiles.size(), static_cast<std::size_t>(c.output_times));
    EXPECT_EQ(profiles.back().t, 600.0);

    // A record is the time and five values per site: 26 values on its first
    // line, then 25 per line.
    const std::vector<std::string> obs = lines_of(f.get("crObsNode.txt"));
    const int values = 1 + 5 * c.sites;
    std::vector<int> per_line = {std::min(values, 26)};
    for (int left = values - 26; left > 0; left -= 25) per_line.push_back(std::min(left, 25));
    const std::size_t records = (obs.size() - 11) / per_line.size();
    ASSERT_GE(records, 9u);
    ASSERT_EQ(11 + records * per_line.size(), obs.size());
    for (std::size_t k = 11; k < obs.size(); ++k)
      ASSERT_EQ(fields(obs[k]), per_line[(k - 11) % per_line.size()]) << "line " << k + 1;
    EXPECT_EQ(read_obs(f.get("crObsNode.txt"), c.sites).size(), records);
    // The CSV file: its head, then one row per site and record.
    EXPECT_EQ(lines_of(f.get("crObsNode.csv")).size(), 1 + records * c.sites);
  }
}

}  // namespace
}  // namespace quarno::test
