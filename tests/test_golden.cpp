// Runs the program on decks whose output an independent implementation of the
// same model wrote, and compares.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "CompareOutput.hpp"
#include "RunDeck.hpp"

namespace quarno::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> golden_decks() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(QUARNO_TEST_DATA "/golden"))
    if (e.is_directory()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kBanner = "\n          RESULTS\n          *******\n\n";

// The input echo: everything up to and including the RESULTS banner.
std::string echo_part(const std::string& results) {
  const std::size_t at = results.find(kBanner);
  return at == std::string::npos ? results : results.substr(0, at + kBanner.size());
}

class GoldenDeck : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenDeck, AllOutputAgrees) {
  const std::string dir = std::string(QUARNO_TEST_DATA "/golden/") + GetParam();
  const std::string param = read_file(dir + "/crparam.txt");
  const std::string bicond = read_file(dir + "/crbicond.txt");
  const RunResult r = run_deck(param, bicond);
  ASSERT_EQ(r.status, 0) << r.errors;

  const std::string want_results = read_file(dir + "/crOutput.txt");
  const std::string want_obs = read_file(dir + "/crObsNode.txt");
  const std::string want_console = read_file(dir + "/console.txt");
  ASSERT_NE(want_results.find(kBanner), std::string::npos) << "reference has no RESULTS banner";
  // The input echo and the head of the observation file byte for byte.
  EXPECT_EQ(echo_part(r.results), echo_part(want_results));
  EXPECT_EQ(first_lines(r.obs, 11), first_lines(want_obs, 11));
  // Everything, each number within one unit of its last printed digit.
  EXPECT_EQ(compare_output(want_results, r.results), "") << "crOutput.txt";
  EXPECT_EQ(compare_output(want_obs, r.obs), "") << "crObsNode.txt";
  const std::string console = r.console + "exit " + std::to_string(r.status) + "\n";
  EXPECT_EQ(compare_output(want_console, console), "") << "console";
  // This program has agreed with the reference byte for byte on every deck;
  // optimisations must keep it so, not merely stay within the last digit.
  EXPECT_TRUE(r.results == want_results) << "crOutput.txt is no longer byte-identical";
  EXPECT_TRUE(r.obs == want_obs) << "crObsNode.txt is no longer byte-identical";
  EXPECT_TRUE(console == want_console) << "the console output is no longer byte-identical";
}

TEST(CompareOutput, NumbersWithinOneUnitOfTheLastDigit) {
  EXPECT_EQ(compare_output("  0.1234E+01 x\n", "  0.1234E+01 x\n"), "");
  EXPECT_EQ(compare_output("  0.1234E+01\n", "  0.1235E+01\n"), "");
  EXPECT_EQ(compare_output("  0.9999E+00\n", "  0.1000E+01\n"), "");
  EXPECT_EQ(compare_output("  0.1500+101\n", "  0.1501+101\n"), "");
  EXPECT_EQ(compare_output("Time (sec)=   120.01\n", "Time (sec)=   120.00\n"), "");
  EXPECT_NE(compare_output("  0.1234E+01\n", "  0.1236E+01\n"), "");
  EXPECT_NE(compare_output("  0.1234E+01\n", "  0.1234E+02\n"), "");
  EXPECT_NE(compare_output("  0.1234E+01\n", " 0.12340E+01\n"), "");
  EXPECT_NE(compare_output(" NTr=   1\n", " NTr=   2\n"), "");
  EXPECT_NE(compare_output(" Wini=\n", " Wfin=\n"), "");
  EXPECT_NE(compare_output("a\nb\n", "a\n"), "");
  EXPECT_NE(compare_output("a\n", "a\n\n"), "");
  EXPECT_NE(compare_output("   NaN\n", "   0.1\n"), "");
}

INSTANTIATE_TEST_SUITE_P(ReferenceRuns, GoldenDeck, ::testing::ValuesIn(golden_decks()),
                         [](const auto& info) {
                           std::string s = info.param;
                           std::replace(s.begin(), s.end(), '-', '_');
                           return s;
                         });

}  // namespace
}  // namespace quarno::test
